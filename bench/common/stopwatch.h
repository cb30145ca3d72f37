// Elapsed wall-clock time for the benchmark programs, on the monotonic clock.
#ifndef ORVANE_BENCH_STOPWATCH_H
#define ORVANE_BENCH_STOPWATCH_H

#include <chrono>

inline double ms_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

inline double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

#endif
