// The worker pool: every index exactly once, aligned chunks, real parallelism, and no deadlock
// when calls nest or come from two threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "base/thread_pool.h"
#include "orvane.h"

namespace {

// Runs a parallel loop over N indices and reports whether each was visited exactly once and
// every chunk started on a multiple of ALIGN.
bool covers_once(size_t n, size_t align) {
  std::vector<std::atomic<int>> hits(n);
  std::atomic<int> misaligned{0};
  orv_parallel_for(n, align, [&](size_t begin, size_t end) {
    if (begin % align != 0 || end <= begin) misaligned++;
    for (size_t i = begin; i < end; ++i) hits[i]++;
  });
  for (const auto &h : hits)
    if (h != 1) return false;
  return misaligned == 0;
}

TEST(ThreadPool, EveryIndexOnceForAnyThreadCountAndAlignment) {
  for (int threads : {1, 2, 3, 7}) {
    orv_set_threads(threads);
    EXPECT_EQ(orv_get_threads(), threads);
    for (size_t n : {1, 2, 7, 64, 1000, 4099})
      for (size_t align : {1, 8, 16, 5000})
        EXPECT_TRUE(covers_once(n, align)) << threads << " threads, n " << n << " align " << align;
  }
  orv_set_threads(0);
  EXPECT_GE(orv_get_threads(), 1);
}

TEST(ThreadPool, ChunksRunOnSeveralThreads) {
  // The first chunk waits until another thread has taken a chunk: a pool that ran everything on
  // the calling thread would time out here.
  orv_set_threads(2);
  std::atomic<bool> other_ran{false};
  const std::thread::id caller = std::this_thread::get_id();
  bool waited_in_vain = false;
  orv_parallel_for(8, [&](size_t begin, size_t) {
    if (std::this_thread::get_id() != caller) other_ran = true;
    if (begin != 0) return;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!other_ran && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
    waited_in_vain = !other_ran;
  });
  EXPECT_FALSE(waited_in_vain);
  orv_set_threads(0);
}

TEST(ThreadPool, NestedAndConcurrentCallsComplete) {
  orv_set_threads(3);
  std::atomic<size_t> total{0};
  auto nested = [&total] {
    orv_parallel_for(50, [&](size_t b, size_t e) {
      orv_parallel_for(e - b, [&](size_t ib, size_t ie) { total += ie - ib; });
    });
  };
  std::vector<std::thread> callers;
  for (int t = 0; t < 3; ++t)
    callers.emplace_back([&] {
      for (int i = 0; i < 200; ++i) nested();
    });
  for (std::thread &t : callers) t.join();
  EXPECT_EQ(total, size_t{3 * 200 * 50});
  orv_set_threads(0);
}

}  // namespace
