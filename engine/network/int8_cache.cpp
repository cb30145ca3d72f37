// Reading and writing int8_cache.bin, and the load-time step that fills a context's INT8 table.
// The file is untrusted input: every length is checked against the bytes that are really there
// before it is allocated or read.
#include "network/int8_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "network/context.h"
#include "network/layer_buffers.h"

namespace {

constexpr char kMagic[8] = {'O', 'R', 'V', 'I', 'N', 'T', '8', '\0'};
constexpr uint32_t kVersion = 1;

uint32_t get_u32(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint64_t get_u64(const unsigned char* p) { return get_u32(p) | uint64_t{get_u32(p + 4)} << 32; }
void put_u32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void put_u64(unsigned char* p, uint64_t v) {
  put_u32(p, static_cast<uint32_t>(v));
  put_u32(p + 4, static_cast<uint32_t>(v >> 32));
}

struct FileCloser {
  void operator()(FILE* f) const noexcept { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

std::string source_path(const char* dir) { return std::string(dir) + "/consolidated.safetensors"; }
std::string cache_path(const char* dir) { return std::string(dir) + "/int8_cache.bin"; }

bool stat_source(const char* dir, uint64_t* size, uint64_t* mtime) {
  struct stat st;
  if (stat(source_path(dir).c_str(), &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  *mtime = static_cast<uint64_t>(st.st_mtime);
  return true;
}

// Bytes of weights and scales that follow a record header, or 0 for a size no table holds.
uint64_t payload_bytes(uint64_t numel, uint32_t k) {
  if (k < ORV_INT8_GROUP || k % ORV_INT8_GROUP || numel % k || numel / k > INT32_MAX) return 0;
  return numel + numel / ORV_INT8_GROUP * 2;
}

// The records after a valid header: exactly COUNT entries filling the rest of the stream.
bool read_records(orv_int8_table_t* t, FILE* f, uint64_t left, uint32_t count) {
  for (uint32_t i = 0; i < count; i++) {
    unsigned char rec[ORV_INT8_CACHE_RECORD];
    if (left < sizeof rec || std::fread(rec, 1, sizeof rec, f) != sizeof rec) return false;
    left -= sizeof rec;
    Int8Entry e;
    e.numel = get_u64(rec);
    e.k = get_u32(rec + 8);
    const uint64_t bytes = payload_bytes(e.numel, e.k);
    if (bytes == 0 || bytes > left) return false;
    left -= bytes;
    const size_t n_scales = static_cast<size_t>(e.numel / ORV_INT8_GROUP);
    e.weights = std::make_unique_for_overwrite<int8_t[]>(e.numel);
    e.scales = std::make_unique_for_overwrite<uint16_t[]>(n_scales);
    if (std::fread(e.weights.get(), 1, e.numel, f) != e.numel) return false;
    unsigned char* raw = reinterpret_cast<unsigned char*>(e.scales.get());
    if (std::fread(raw, 2, n_scales, f) != n_scales) return false;
    for (size_t j = 0; j < n_scales; j++)  // the file is little-endian whatever the host is
      e.scales[j] = static_cast<uint16_t>(raw[2 * j] | raw[2 * j + 1] << 8);
    t->entries.push_back(std::move(e));
  }
  return left == 0;
}

// Writes the header and every entry of T to F. False on any short write.
bool write_table(const orv_int8_table_t* t, FILE* f, uint64_t source_size, uint64_t source_mtime) {
  unsigned char head[ORV_INT8_CACHE_HEADER] = {};
  std::memcpy(head, kMagic, sizeof kMagic);
  put_u32(head + 8, kVersion);
  put_u32(head + 12, ORV_INT8_GROUP);
  put_u32(head + 16, static_cast<uint32_t>(t->entries.size()));
  put_u64(head + 24, source_size);
  put_u64(head + 32, source_mtime);
  if (std::fwrite(head, 1, sizeof head, f) != sizeof head) return false;
  for (const Int8Entry& e : t->entries) {
    unsigned char rec[ORV_INT8_CACHE_RECORD] = {};
    put_u64(rec, e.numel);
    put_u32(rec + 8, e.k);
    if (std::fwrite(rec, 1, sizeof rec, f) != sizeof rec) return false;
    if (std::fwrite(e.weights.get(), 1, e.numel, f) != e.numel) return false;
    const size_t n_scales = static_cast<size_t>(e.numel / ORV_INT8_GROUP);
    unsigned char le[2 * 4096];
    for (size_t j = 0; j < n_scales; j += 4096) {
      const size_t n = std::min<size_t>(4096, n_scales - j);
      for (size_t i = 0; i < n; i++) {
        le[2 * i] = static_cast<unsigned char>(e.scales[j + i]);
        le[2 * i + 1] = static_cast<unsigned char>(e.scales[j + i] >> 8);
      }
      if (std::fwrite(le, 2, n, f) != n) return false;
    }
  }
  return true;
}

// A new file beside the cache, unique within the process and across processes.
std::string temp_path(const char* dir) {
  static std::atomic<unsigned> serial{0};
  return cache_path(dir) + "." + std::to_string(getpid()) + "-" + std::to_string(serial++) + ".tmp";
}

}  // namespace

extern "C" {

int orv_int8_cache_read(orv_int8_table_t* t, FILE* f, uint64_t file_size, uint64_t source_size,
                        uint64_t source_mtime) {
  if (!t || !f) return 0;
  unsigned char head[ORV_INT8_CACHE_HEADER];
  if (file_size < sizeof head || std::fread(head, 1, sizeof head, f) != sizeof head) return 0;
  const uint32_t count = get_u32(head + 16);
  if (std::memcmp(head, kMagic, sizeof kMagic) != 0 || get_u32(head + 8) != kVersion ||
      get_u32(head + 12) != ORV_INT8_GROUP || count < 1 || count > ORV_INT8_TABLE_CAP)
    return 0;
  if (get_u64(head + 24) != source_size || get_u64(head + 32) != source_mtime) {
    if (orv_verbose >= 1) std::fprintf(stderr, "INT8 cache: stale, regenerating\n");
    return 0;
  }
  orv_int8_table_clear(t);
  bool ok = false;
  try {
    ok = read_records(t, f, file_size - sizeof head, count);
  } catch (const std::bad_alloc&) {
  }
  if (!ok) {
    orv_int8_table_clear(t);
    return 0;
  }
  t->loaded_from_file = true;
  t->match_index = 0;
  return 1;
}

int orv_int8_cache_load(orv_int8_table_t* t, const char* model_dir) {
  uint64_t size = 0, mtime = 0;
  if (!t || !model_dir || !stat_source(model_dir, &size, &mtime)) return 0;
  const std::string path = cache_path(model_dir);
  FilePtr f(std::fopen(path.c_str(), "rb"));
  struct stat st;
  if (!f || fstat(fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  if (!orv_int8_cache_read(t, f.get(), static_cast<uint64_t>(st.st_size), size, mtime)) return 0;
  if (orv_verbose >= 1)
    std::fprintf(stderr, "INT8 cache: loaded %u entries from %s\n",
                 static_cast<unsigned>(t->entries.size()), path.c_str());
  return 1;
}

int orv_int8_cache_save(const orv_int8_table_t* t, const char* model_dir) {
  uint64_t size = 0, mtime = 0;
  if (!t || !model_dir || t->entries.empty() || t->entries.size() > ORV_INT8_TABLE_CAP ||
      !stat_source(model_dir, &size, &mtime))
    return -1;
  const std::string tmp = temp_path(model_dir), path = cache_path(model_dir);
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (orv_verbose >= 1) std::fprintf(stderr, "INT8 cache: cannot write %s\n", path.c_str());
    return -1;
  }
  FILE* f = fdopen(fd, "wb");
  bool ok = f && write_table(t, f, size, mtime) && std::fflush(f) == 0 && fsync(fd) == 0;
  if (f) {
    ok = std::fclose(f) == 0 && ok;
  } else {
    close(fd);
  }
  ok = ok && std::rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) {
    unlink(tmp.c_str());
    if (orv_verbose >= 1) std::fprintf(stderr, "INT8 cache: cannot write %s\n", path.c_str());
    return -1;
  }
  if (orv_verbose >= 1)
    std::fprintf(stderr, "INT8 cache: saved %d entries to %s\n",
                 static_cast<int>(t->entries.size()), path.c_str());
  return 0;
}

int orv_int8_prepare(orv_ctx_t* ctx) {
  if (!ctx) return -1;
  const orv_block_shape_t& s = ctx->shape.decoder;
  const BlockWidths w(s);
  const uint64_t dim = uint64_t(w.dim), q = uint64_t(w.q_dim), kv = uint64_t(w.kv_dim),
                 hidden = uint64_t(w.hidden);
  struct Matrix {
    const uint16_t* w;
    uint64_t numel;
    uint64_t k;
  };
  std::vector<Matrix> order;
  for (const orv_dec_layer_t& l : ctx->decoder.layers) {
    order.push_back({l.wq_weight_bf16, q * dim, dim});
    order.push_back({l.wk_weight_bf16, kv * dim, dim});
    order.push_back({l.wv_weight_bf16, kv * dim, dim});
    order.push_back({l.wo_weight_bf16, dim * q, q});
    order.push_back({l.w1_weight_bf16, hidden * dim, dim});
    order.push_back({l.w2_weight_bf16, dim * hidden, hidden});
    order.push_back({l.w3_weight_bf16, hidden * dim, dim});
  }
  order.push_back({ctx->decoder.tok_embeddings_bf16, uint64_t(s.vocab) * dim, dim});

  const char* dir = ctx->model_dir.c_str();
  orv_int8_table_t* t = &ctx->int8;
  const auto in_table = [t](const Matrix& m) {
    orv_int8_matrix_t unused;
    return orv_int8_find(t, m.w, &unused) != 0;
  };
  if (std::all_of(order.begin(), order.end(), in_table)) return 0;  // prepared before
  const int loaded = orv_int8_cache_load(t, dir);
  for (const Matrix& m : order) orv_int8_register(t, m.w, m.numel, static_cast<uint32_t>(m.k));
  if (!loaded) orv_int8_cache_save(t, dir);
  // A mismatch in the file drops the entries bound before it: quantise those again.
  for (const Matrix& m : order) {
    orv_int8_matrix_t unused;
    if (!orv_int8_get(t, m.w, m.numel, static_cast<uint32_t>(m.k), &unused)) {
      std::fprintf(stderr,
                   "orv_int8_prepare: cannot quantise the decoder (widths must be multiples of "
                   "%d, at most %d matrices)\n",
                   ORV_INT8_GROUP, ORV_INT8_TABLE_CAP);
      return -1;
    }
  }
  return 0;
}

}  // extern "C"
