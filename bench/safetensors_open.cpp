// safetensors-open PATH [TENSOR]: what opening a weight file costs in time and resident memory,
// and what one lookup costs (by default of the last tensor, the longest scan). The file is
// mapped, so both should stay near the header's size however large the file is.
#include <chrono>
#include <cstdio>

#include "formats/safetensors.h"
#include "membw.h"
#include "stopwatch.h"

namespace {

// Whole pages, so the product is exact.
long resident_kb() { return static_cast<long>(orv_bench_rss_mb() * 1024.0); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: safetensors-open PATH [TENSOR]\n");
    return 2;
  }
  long rss_start = resident_kb();
  auto start = std::chrono::steady_clock::now();
  safetensors_file_t* sf = safetensors_open(argv[1]);
  double open_ms = ms_since(start);
  if (!sf) return 1;
  long rss_open = resident_kb();

  int count = safetensors_count(sf);
  const char* name = argc == 3 ? argv[2] : count > 0 ? safetensors_tensor(sf, count - 1)->name : "";
  start = std::chrono::steady_clock::now();
  const safetensors_tensor_t* t = safetensors_find(sf, name);
  double find_ms = ms_since(start);
  long rss_find = resident_kb();

  printf("file: %s, %.3f GB, header %llu bytes, %d tensors\n", argv[1],
         static_cast<double>(safetensors_file_size(sf)) / 1e9,
         static_cast<unsigned long long>(safetensors_header_size(sf)), count);
  printf("open: %.3f ms, resident +%ld kB\n", open_ms, rss_open - rss_start);
  printf("lookup %s: %.4f ms (%s), resident +%ld kB\n", name, find_ms, t ? "found" : "not found",
         rss_find - rss_start);
  safetensors_close(sf);
  return t || argc == 2 ? 0 : 1;
}
