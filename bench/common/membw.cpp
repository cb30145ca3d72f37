#include "membw.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/thread_pool.h"

namespace {

struct FreeDeleter {
  void operator()(void *p) const { std::free(p); }
};

// Sums the buffer as 64-bit integers with eight independent accumulators, so the loop is bound
// by memory rather than by the adds (the compiler turns the lanes into vectors).
uint64_t sum_words(const uint64_t *p, size_t count) {
  uint64_t acc[8] = {};
  for (size_t i = 0; i + 8 <= count; i += 8)
    for (size_t l = 0; l < 8; ++l) acc[l] += p[i + l];
  uint64_t s = 0;
  for (uint64_t a : acc) s += a;
  return s;
}

// Best rate of several passes over a 1 GiB buffer, each pass summed by SUM(words, count).
template <typename Sum>
double best_read_rate(Sum &&sum) {
  constexpr size_t kBytes = size_t{1} << 30;
  constexpr int kPasses = 5;
  std::unique_ptr<void, FreeDeleter> buf(std::aligned_alloc(64, kBytes));
  if (!buf) return 0.0;
  std::memset(buf.get(), 1, kBytes);  // maps every page before the timing starts
  const auto *words = static_cast<const uint64_t *>(buf.get());
  double best = 0.0;
  volatile uint64_t sink = 0;
  for (int pass = 0; pass < kPasses; ++pass) {
    const auto t0 = std::chrono::steady_clock::now();
    sink = sink + sum(words, kBytes / sizeof(uint64_t));
    const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
    const double gbs = static_cast<double>(kBytes) / dt.count() / 1e9;
    if (gbs > best) best = gbs;
  }
  return best;
}

}  // namespace

double orv_bench_read_bandwidth_gbs() { return best_read_rate(sum_words); }

double orv_bench_read_bandwidth_all_gbs() {
  return best_read_rate([](const uint64_t *words, size_t count) {
    std::atomic<uint64_t> total{0};
    orv_parallel_for(count, 4096, [&](size_t begin, size_t end) {
      total += sum_words(words + begin, end - begin);
    });
    return total.load();
  });
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
