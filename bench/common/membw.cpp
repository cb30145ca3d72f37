#include "membw.h"

#include <emmintrin.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct FreeDeleter {
  void operator()(void *p) const { std::free(p); }
};

// Sums the buffer as 64-bit integers with four independent accumulators, so the loop is bound by
// memory rather than by the adds.
uint64_t sum_words(const __m128i *p, size_t count) {
  __m128i a0 = _mm_setzero_si128(), a1 = a0, a2 = a0, a3 = a0;
  for (size_t i = 0; i + 4 <= count; i += 4) {
    a0 = _mm_add_epi64(a0, _mm_load_si128(p + i));
    a1 = _mm_add_epi64(a1, _mm_load_si128(p + i + 1));
    a2 = _mm_add_epi64(a2, _mm_load_si128(p + i + 2));
    a3 = _mm_add_epi64(a3, _mm_load_si128(p + i + 3));
  }
  const __m128i s = _mm_add_epi64(_mm_add_epi64(a0, a1), _mm_add_epi64(a2, a3));
  uint64_t lanes[2];
  std::memcpy(lanes, &s, sizeof lanes);
  return lanes[0] + lanes[1];
}

}  // namespace

double orv_bench_read_bandwidth_gbs() {
  constexpr size_t kBytes = size_t{1} << 30;
  constexpr int kPasses = 5;
  std::unique_ptr<void, FreeDeleter> buf(std::aligned_alloc(64, kBytes));
  if (!buf) return 0.0;
  std::memset(buf.get(), 1, kBytes);  // maps every page before the timing starts
  const auto *words = static_cast<const __m128i *>(buf.get());
  double best = 0.0;
  volatile uint64_t sink = 0;
  for (int pass = 0; pass < kPasses; ++pass) {
    const auto t0 = std::chrono::steady_clock::now();
    sink = sink + sum_words(words, kBytes / sizeof(__m128i));
    const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
    const double gbs = static_cast<double>(kBytes) / dt.count() / 1e9;
    if (gbs > best) best = gbs;
  }
  return best;
}

namespace {

// Resident pages of this process from /proc/self/statm: all of them, and the file-backed ones
// (the mapped weight file among them). False when the file cannot be read.
bool read_statm(double *resident_mb, double *file_mb) {
  std::FILE *f = std::fopen("/proc/self/statm", "r");
  if (!f) return false;
  unsigned long size = 0, resident = 0, shared = 0;
  const int got = std::fscanf(f, "%lu %lu %lu", &size, &resident, &shared);
  std::fclose(f);
  if (got != 3) return false;
  const double page_mb = static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
  *resident_mb = static_cast<double>(resident) * page_mb;
  *file_mb = static_cast<double>(shared) * page_mb;
  return true;
}

}  // namespace

double orv_bench_rss_mb() {
  double resident = 0, file = 0;
  return read_statm(&resident, &file) ? resident : 0.0;
}

double orv_bench_rss_anon_mb() {
  double resident = 0, file = 0;
  return read_statm(&resident, &file) ? resident - file : 0.0;
}
