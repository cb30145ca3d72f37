// Arbitrary bytes as int8_cache.bin, with the weight file's size and time taken from the header so
// the records are reached: no crash, no read past the input, and a table that is accepted holds
// exactly what its header counts, each entry of a valid size. The reader and the binding to a
// mapped file accept the same inputs.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "formats/int8_cache_file.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  stderr = fopen("/dev/null", "w");  // libFuzzer and the sanitizers keep file 2
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint64_t source_size = 0, source_mtime = 0;
  if (size >= 40) {
    std::memcpy(&source_size, data + 24, 8);
    std::memcpy(&source_mtime, data + 32, 8);
  }
  FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (!f) return 0;
  orv_int8_table_t* t = orv_int8_table_new();
  orv_int8_table_t* bound = orv_int8_table_new();
  const int read = orv_int8_cache_read(t, f, size, source_size, source_mtime);
  if (orv_int8_cache_bind(bound, data, size, source_size, source_mtime) != read) __builtin_trap();
  if (read && orv_int8_table_count(bound) != orv_int8_table_count(t)) __builtin_trap();
  orv_int8_table_free(bound);
  if (read) {
    uint32_t count;
    std::memcpy(&count, data + 16, 4);
    if (static_cast<uint32_t>(orv_int8_table_count(t)) != count) __builtin_trap();
    for (const Int8Entry& e : t->entries)
      if (e.k % ORV_INT8_GROUP || e.numel % e.k || e.key) __builtin_trap();
  }
  orv_int8_table_free(t);
  std::fclose(f);
  return 0;
}
