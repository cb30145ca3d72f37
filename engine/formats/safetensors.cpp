// The weight file is mapped, never read: opening costs only the header, and the large BF16
// matrices are used in place for the life of the context.
#include "formats/safetensors.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "base/half.h"
#include "base/json_scan.h"
#include "base/mapping.h"

namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Indexed by enum safetensors_dtype.
const char* const kDtypeNames[] = {"F32", "F16", "BF16", "I32", "I64", "BOOL"};
constexpr int kDtypeCount = static_cast<int>(std::size(kDtypeNames));

int dtype_code(const std::string& name) {
  for (int i = 0; i < kDtypeCount; ++i)
    if (name == kDtypeNames[i]) return i;
  return SAFETENSORS_UNKNOWN;
}

// Reads the tensor's "shape" array. Numbers that do not fit in 64 bits are refused: no real
// dimension comes near, and a wrapped value would pass as a plausible one.
bool parse_shape(JsonScan& js, safetensors_tensor_t& t) {
  if (!js.eat('[')) return false;
  t.ndim = 0;
  for (;;) {
    js.skip_ws_commas();
    if (js.eat(']')) return true;
    if (js.at_end() || t.ndim == SAFETENSORS_MAX_DIMS) return false;
    int64_t v;
    if (js.read_int(&v) == JsonScan::Num::overflow) return false;
    t.shape[t.ndim++] = v;  // a position without digits reads as 0; nine of them end the loop
  }
}

// Reads "data_offsets": [begin, end]. A begin past the end leaves a size that wraps, which the
// bounds check at open refuses.
bool parse_offsets(JsonScan& js, safetensors_tensor_t& t) {
  if (!js.eat('[')) return false;
  int64_t begin, end;
  js.skip_ws();
  if (js.read_int(&begin) == JsonScan::Num::overflow) return false;
  js.skip_ws();
  js.eat(',');
  js.skip_ws();
  if (js.read_int(&end) == JsonScan::Num::overflow) return false;
  js.skip_ws();
  js.eat(']');
  t.data_offset = static_cast<uint64_t>(begin);
  t.size = static_cast<uint64_t>(end) - static_cast<uint64_t>(begin);
  return true;
}

bool parse_tensor(JsonScan& js, const std::string& name, safetensors_tensor_t& t) {
  t = safetensors_tensor_t{};
  std::memcpy(t.name, name.data(), name.size());
  t.dtype = SAFETENSORS_UNKNOWN;
  if (!js.eat('{')) return false;
  std::string field;
  for (;;) {
    js.skip_ws_commas();
    if (js.eat('}')) return true;
    field.clear();
    if (js.read_string(&field, 63, false) != JsonScan::Str::ok) return false;
    js.skip_ws();
    if (!js.eat(':')) return false;
    js.skip_ws();
    if (field == "dtype") {
      std::string type;
      JsonScan::Str got = js.read_string(&type, 31, false);
      if (got == JsonScan::Str::bad) return false;
      t.dtype = got == JsonScan::Str::ok ? dtype_code(type) : SAFETENSORS_UNKNOWN;
    } else if (field == "shape") {
      if (!parse_shape(js, t)) return false;
    } else if (field == "data_offsets") {
      if (!parse_offsets(js, t)) return false;
    } else if (!js.skip_value()) {
      return false;
    }
  }
}

size_t element_size(int dtype) { return dtype == SAFETENSORS_F32 ? 4 : 2; }

}  // namespace

struct safetensors_file_t {
  std::string path;
  Mapping map;
  uint64_t header_size = 0;
  std::vector<safetensors_tensor_t> tensors;

  const unsigned char* data_area() const { return map.bytes() + 8 + header_size; }
  uint64_t data_size() const { return map.size() - 8 - header_size; }
};

namespace {

// The tensor's NUMEL elements of ELEM bytes inside the data area, or null when the element count
// is not positive, overflows, or needs more bytes than the tensor or the file holds.
const unsigned char* tensor_elements(const safetensors_file_t* sf, const safetensors_tensor_t* t,
                                     size_t elem, int64_t* numel) {
  int64_t n = safetensors_numel(t);
  if (n < 1) return nullptr;
  if (static_cast<uint64_t>(n) > t->size / elem) return nullptr;
  if (t->size > sf->data_size() || t->data_offset > sf->data_size() - t->size) return nullptr;
  *numel = n;
  return sf->data_area() + t->data_offset;
}

}  // namespace

extern "C" {

int safetensors_parse_header(const char* json, size_t len, safetensors_tensor_t* out) {
  if (!out || (!json && len)) return -1;
  // The header ends at a NUL wherever one appears.
  JsonScan js(json, JsonScan::c_length(json, len));
  js.skip_ws();
  if (!js.eat('{')) return -1;
  int count = 0;
  std::string key;
  try {
    while (count < SAFETENSORS_MAX_TENSORS) {
      js.skip_ws_commas();
      if (js.eat('}')) return count;
      key.clear();
      if (js.read_string(&key, SAFETENSORS_NAME_MAX - 1, false) != JsonScan::Str::ok) return -1;
      js.skip_ws();
      if (!js.eat(':')) return -1;
      js.skip_ws();
      if (key == "__metadata__") {
        if (js.peek() != '{' || !js.skip_value()) return -1;
        continue;
      }
      if (!parse_tensor(js, key, out[count])) return -1;
      ++count;
    }
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return count;  // entries past the table's capacity are ignored
}

safetensors_file_t* safetensors_open(const char* path) {
  if (!path) {
    errno = EINVAL;
    perror("safetensors_open: open failed");
    return nullptr;
  }
  Mapping map;
  {
    Fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
      perror("safetensors_open: open failed");
      return nullptr;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
      perror("safetensors_open: fstat failed");
      return nullptr;
    }
    if (st.st_size <= 7) {
      fprintf(stderr, "safetensors_open: file too small\n");
      return nullptr;
    }
    auto len = static_cast<size_t>(st.st_size);
    void* base = mmap(nullptr, len, PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (base == MAP_FAILED) {
      perror("safetensors_open: mmap failed");
      return nullptr;
    }
    map = Mapping(base, len);
  }
  uint64_t header_size = 0;
  for (int i = 7; i >= 0; --i) header_size = header_size << 8 | map.bytes()[i];
  if (header_size > map.size() - 8) {
    fprintf(stderr, "safetensors_open: invalid header size\n");
    return nullptr;
  }
  try {
    auto sf = std::make_unique<safetensors_file_t>();
    sf->path = path;
    sf->header_size = header_size;
    sf->tensors.resize(SAFETENSORS_MAX_TENSORS);
    int count = safetensors_parse_header(reinterpret_cast<const char*>(map.bytes() + 8),
                                         static_cast<size_t>(header_size), sf->tensors.data());
    if (count < 0) {
      fprintf(stderr, "safetensors_open: failed to parse header\n");
      return nullptr;
    }
    sf->tensors.resize(static_cast<size_t>(count));
    sf->tensors.shrink_to_fit();
    sf->map = std::move(map);
    const uint64_t data_size = sf->data_size();
    for (const safetensors_tensor_t& t : sf->tensors) {
      if (t.size > data_size || t.data_offset > data_size - t.size) {
        fprintf(stderr, "safetensors_open: data out of bounds for %s\n", t.name);
        return nullptr;
      }
    }
    return sf.release();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void safetensors_close(safetensors_file_t* sf) { delete sf; }

int safetensors_count(const safetensors_file_t* sf) {
  return sf ? static_cast<int>(sf->tensors.size()) : 0;
}

const safetensors_tensor_t* safetensors_tensor(const safetensors_file_t* sf, int index) {
  if (!sf || index < 0 || static_cast<size_t>(index) >= sf->tensors.size()) return nullptr;
  return &sf->tensors[static_cast<size_t>(index)];
}

uint64_t safetensors_file_size(const safetensors_file_t* sf) { return sf ? sf->map.size() : 0; }

uint64_t safetensors_header_size(const safetensors_file_t* sf) { return sf ? sf->header_size : 0; }

const safetensors_tensor_t* safetensors_find(const safetensors_file_t* sf, const char* name) {
  if (!sf || !name) return nullptr;
  for (const safetensors_tensor_t& t : sf->tensors)
    if (std::strcmp(t.name, name) == 0) return &t;
  return nullptr;
}

const void* safetensors_data(const safetensors_file_t* sf, const safetensors_tensor_t* t) {
  if (!sf || !t) return nullptr;
  return sf->data_area() + t->data_offset;
}

int64_t safetensors_numel(const safetensors_tensor_t* t) {
  if (!t || t->ndim < 0 || t->ndim > SAFETENSORS_MAX_DIMS) return -1;
  int64_t n = 1;
  for (int i = 0; i < t->ndim; ++i) {
    int64_t d = t->shape[i];
    if (d < 0) return -1;
    if (__builtin_mul_overflow(n, d, &n)) return -1;
  }
  return n;
}

float* safetensors_get_f32(const safetensors_file_t* sf, const safetensors_tensor_t* t) {
  if (!sf || !t) return nullptr;
  int64_t n = 0;
  const unsigned char* src = tensor_elements(sf, t, element_size(t->dtype), &n);
  if (!src) return nullptr;
  if (t->dtype != SAFETENSORS_F32 && t->dtype != SAFETENSORS_F16 && t->dtype != SAFETENSORS_BF16) {
    fprintf(stderr, "safetensors_get_f32: unsupported dtype\n");
    return nullptr;
  }
  auto count = static_cast<size_t>(n);
  auto* out = static_cast<float*>(std::malloc(count * sizeof(float)));
  if (!out) return nullptr;
  if (t->dtype == SAFETENSORS_F32) {
    std::memcpy(out, src, count * sizeof(float));
    return out;
  }
  // The data area has no alignment guarantee: read each half through memcpy.
  for (size_t i = 0; i < count; ++i) {
    uint16_t h;
    std::memcpy(&h, src + 2 * i, 2);
    out[i] = t->dtype == SAFETENSORS_BF16 ? orv_bf16_to_f32(h) : orv_f16_to_f32(h);
  }
  return out;
}

uint16_t* safetensors_get_bf16(const safetensors_file_t* sf, const safetensors_tensor_t* t) {
  if (!sf || !t) return nullptr;
  if (t->dtype != SAFETENSORS_BF16) {
    fprintf(stderr, "safetensors_get_bf16: tensor is not BF16 (dtype=%d)\n", t->dtype);
    return nullptr;
  }
  int64_t n = 0;
  const unsigned char* src = tensor_elements(sf, t, 2, &n);
  if (!src) return nullptr;
  auto* out = static_cast<uint16_t*>(std::malloc(static_cast<size_t>(n) * 2));
  if (out) std::memcpy(out, src, static_cast<size_t>(n) * 2);
  return out;
}

const uint16_t* safetensors_get_bf16_direct(const safetensors_file_t* sf,
                                            const safetensors_tensor_t* t) {
  if (!sf || !t || t->dtype != SAFETENSORS_BF16) return nullptr;
  int64_t n = 0;
  const unsigned char* src = tensor_elements(sf, t, 2, &n);
  // Callers index the result as uint16_t: an odd address would make every read misaligned.
  if (!src || reinterpret_cast<uintptr_t>(src) % alignof(uint16_t) != 0) return nullptr;
  return reinterpret_cast<const uint16_t*>(src);
}

int safetensors_is_bf16(const safetensors_tensor_t* t) { return t && t->dtype == SAFETENSORS_BF16; }

int safetensors_read_mapped(const safetensors_file_t* sf, const void* mapped, size_t bytes,
                            void* dst) {
  if (!sf || !mapped || !dst) return -1;
  const auto* at = static_cast<const unsigned char*>(mapped);
  if (at < sf->map.bytes() || bytes > sf->map.size() || size_t(at - sf->map.bytes()) > sf->map.size() - bytes)
    return -1;
  const int fd = open(sf->path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  auto* out = static_cast<unsigned char*>(dst);
  off_t offset = at - sf->map.bytes();
  for (size_t left = bytes; left > 0;) {
    const ssize_t got = pread(fd, out, left, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {  // an error, or the file shrank under us
      close(fd);
      return -1;
    }
    out += got;
    offset += got;
    left -= size_t(got);
  }
  close(fd);
  return 0;
}

const char* safetensors_dtype_name(int dtype) {
  return dtype >= 0 && dtype < kDtypeCount ? kDtypeNames[dtype] : "UNKNOWN";
}

void safetensors_print_tensor(const safetensors_tensor_t* t) {
  if (!t) return;
  printf("%s: dtype=%s, shape=[", t->name, safetensors_dtype_name(t->dtype));
  int ndim = t->ndim < 0 ? 0 : t->ndim > SAFETENSORS_MAX_DIMS ? SAFETENSORS_MAX_DIMS : t->ndim;
  for (int i = 0; i < ndim; ++i) printf("%" PRId64 "%s", t->shape[i], i + 1 < ndim ? ", " : "");
  printf("], offset=%" PRIu64 ", size=%" PRIu64 "\n", t->data_offset, t->size);
}

void safetensors_print_info(const safetensors_file_t* sf) {
  if (!sf) return;
  printf("Safetensors file: %s\n", sf->path.c_str());
  printf("File size: %zu bytes\n", sf->map.size());
  printf("Header size: %" PRIu64 " bytes\n", sf->header_size);
  printf("Number of tensors: %zu\n\n", sf->tensors.size());
  for (const safetensors_tensor_t& t : sf->tensors) safetensors_print_tensor(&t);
}

}  // extern "C"
