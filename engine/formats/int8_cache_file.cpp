// Reading and writing int8_cache.bin.
// The file is untrusted input: every length is checked against the bytes that are really there
// before it is allocated or read.
#include "formats/int8_cache_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "orvane.h"

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

// Whether HEAD is a header this reader knows, written for the weight file as it is now; COUNT
// gets its entry count.
bool valid_header(const unsigned char* head, uint64_t source_size, uint64_t source_mtime,
                  uint32_t* count) {
  *count = get_u32(head + 16);
  if (std::memcmp(head, kMagic, sizeof kMagic) != 0 || get_u32(head + 8) != kVersion ||
      get_u32(head + 12) != ORV_INT8_GROUP || *count < 1 || *count > ORV_INT8_TABLE_CAP)
    return false;
  if (get_u64(head + 24) != source_size || get_u64(head + 32) != source_mtime) {
    if (orv_verbose >= 1) std::fprintf(stderr, "INT8 cache: stale, regenerating\n");
    return false;
  }
  return true;
}

// The entries of a whole cache file mapped at BASE (SIZE bytes), pointing into it: the file's
// pages are read when a step first touches them rather than all at load time. Little-endian
// hosts only, where the file's scales are already in memory order.
bool map_records(orv_int8_table_t* t, const unsigned char* base, uint64_t size, uint32_t count) {
  uint64_t at = ORV_INT8_CACHE_HEADER;
  for (uint32_t i = 0; i < count; i++) {
    if (size - at < ORV_INT8_CACHE_RECORD) return false;
    Int8Entry e;
    e.numel = get_u64(base + at);
    e.k = get_u32(base + at + 8);
    at += ORV_INT8_CACHE_RECORD;
    const uint64_t bytes = payload_bytes(e.numel, e.k);
    if (bytes == 0 || bytes > size - at) return false;
    e.file_weights = reinterpret_cast<const int8_t*>(base + at);
    e.file_scales = reinterpret_cast<const uint16_t*>(base + at + e.numel);  // even offset
    at += bytes;
    t->entries.push_back(std::move(e));
  }
  return at == size;
}

// Maps the cache file open on FD and binds T's entries to the mapping, which T keeps.
bool map_cache(orv_int8_table_t* t, int fd, uint64_t file_size, uint64_t source_size,
               uint64_t source_mtime) {
  if (file_size < ORV_INT8_CACHE_HEADER || file_size > SIZE_MAX) return false;
  // Private and writable, so the file on disk never changes through the mapping.
  const auto bytes = static_cast<size_t>(file_size);
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
  if (p == MAP_FAILED) return false;
  Mapping file(p, bytes);
  if (!orv_int8_cache_bind(t, file.bytes(), file_size, source_size, source_mtime)) return false;
  madvise(p, bytes, MADV_WILLNEED);  // read ahead in the background
  t->file = std::move(file);
  return true;
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
    if (std::fwrite(e.weight_data(), 1, e.numel, f) != e.numel) return false;
    const size_t n_scales = static_cast<size_t>(e.numel / ORV_INT8_GROUP);
    unsigned char le[2 * 4096];
    for (size_t j = 0; j < n_scales; j += 4096) {
      const size_t n = std::min<size_t>(4096, n_scales - j);
      for (size_t i = 0; i < n; i++) {
        le[2 * i] = static_cast<unsigned char>(e.scale_data()[j + i]);
        le[2 * i + 1] = static_cast<unsigned char>(e.scale_data()[j + i] >> 8);
      }
      if (std::fwrite(le, 2, n, f) != n) return false;
    }
  }
  return true;
}

// Replaces T's entries with those ADD_RECORDS appends: 1 when it took the whole file, else 0 with
// T left empty.
template <typename AddRecords>
int replace_entries(orv_int8_table_t* t, AddRecords add_records) {
  orv_int8_table_clear(t);
  bool ok = false;
  try {
    ok = add_records();
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
  uint32_t count = 0;
  if (!valid_header(head, source_size, source_mtime, &count)) return 0;
  return replace_entries(t, [&] { return read_records(t, f, file_size - sizeof head, count); });
}

int orv_int8_cache_bind(orv_int8_table_t* t, const unsigned char* bytes, uint64_t size,
                        uint64_t source_size, uint64_t source_mtime) {
  uint32_t count = 0;
  if (!t || !bytes || size < ORV_INT8_CACHE_HEADER ||
      !valid_header(bytes, source_size, source_mtime, &count))
    return 0;
  return replace_entries(t, [&] { return map_records(t, bytes, size, count); });
}

int orv_int8_cache_load(orv_int8_table_t* t, const char* model_dir) {
  uint64_t size = 0, mtime = 0;
  if (!t || !model_dir || !stat_source(model_dir, &size, &mtime)) return 0;
  const std::string path = cache_path(model_dir);
  FilePtr f(std::fopen(path.c_str(), "rb"));
  struct stat st;
  if (!f || fstat(fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  const auto file_size = static_cast<uint64_t>(st.st_size);
  const bool done = std::endian::native == std::endian::little
                        ? map_cache(t, fileno(f.get()), file_size, size, mtime)
                        : orv_int8_cache_read(t, f.get(), file_size, size, mtime) != 0;
  if (!done) return 0;
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

}  // extern "C"
