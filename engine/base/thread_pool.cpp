// The worker pool behind orv_parallel_for. Workers live from the first parallel call until the
// thread count changes or the process ends. A job is published by bumping a generation counter;
// workers poll it for a short while before sleeping on it, because the decoder step issues a few
// hundred short jobs back to back and a wake-up from sleep per job would cost more than the job.
#include "base/thread_pool.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/c_edge.h"
#include "orvane.h"

namespace {

// Polls of a shared counter before a thread goes to sleep on it: some tens of microseconds.
constexpr int kSpins = 4000;
// More threads than this are taken for a typing error.
constexpr int kMaxThreads = 256;
// Chunks per thread: enough that a core slowed by other work hands its share to the others.
constexpr size_t kChunksPerThread = 4;

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Waits until COUNTER no longer holds VALUE: polls first, then sleeps.
template <typename T>
T wait_change(const std::atomic<T> &counter, T value) {
  for (int i = 0;; ++i) {
    const T now = counter.load(std::memory_order_acquire);
    if (now != value) return now;
    if (i < kSpins)
      cpu_relax();
    else
      counter.wait(value, std::memory_order_acquire);
  }
}

int available_cores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? static_cast<int>(n) : 1;
}

// Set while a thread runs a chunk, so that a nested call runs inline instead of waiting for the
// pool it is part of.
thread_local bool t_in_job = false;

// A job's claim word: generation (upper 32 bits), chunk count (16 bits), next chunk (16 bits).
// A thread claims a chunk by advancing NEXT while the generation is still its job's, so a
// worker that wakes late finds the job over and claims nothing; the caller therefore waits for
// the chunks to be done, never for every worker to show up (a worker may not get a core for
// milliseconds on a busy machine).
constexpr uint64_t kChunkMask = 0xFFFF;
constexpr size_t kMaxChunks = kChunkMask;

class Pool {
 public:
  // Throws when a thread cannot be started (after stopping those that were).
  explicit Pool(int threads) {
    try {
      workers_.reserve(size_t(threads - 1));
      for (int i = 1; i < threads; ++i) workers_.emplace_back([this] { worker_loop(); });
    } catch (...) {
      stop();
      throw;
    }
  }

  ~Pool() { stop(); }

  Pool(const Pool &) = delete;
  Pool &operator=(const Pool &) = delete;

  // CHUNKS chunks of CHUNK indices cover [0, n); CHUNKS <= kMaxChunks.
  void run(size_t n, size_t chunk, size_t chunks, OrvRangeFn fn, void *ctx) {
    // The previous job is complete, so no thread reads these fields now.
    fn_ = fn;
    ctx_ = ctx;
    n_ = n;
    chunk_ = chunk;
    done_.store(0, std::memory_order_relaxed);
    const uint32_t gen = generation_.load(std::memory_order_relaxed) + 1;
    claim_.store(uint64_t{gen} << 32 | uint64_t{chunks} << 16, std::memory_order_release);
    generation_.store(gen, std::memory_order_release);
    generation_.notify_all();
    work(gen);
    for (uint32_t d = done_.load(std::memory_order_acquire); d < chunks;)
      d = wait_change(done_, d);
  }

 private:
  void stop() {
    stop_.store(true, std::memory_order_relaxed);
    generation_.fetch_add(1, std::memory_order_release);
    generation_.notify_all();
    for (std::thread &t : workers_) t.join();
  }

  void worker_loop() {
    uint32_t seen = 0;
    for (;;) {
      seen = wait_change(generation_, seen);
      if (stop_.load(std::memory_order_relaxed)) return;
      work(seen);
    }
  }

  // Runs chunks of job GEN until none is left to claim.
  void work(uint32_t gen) {
    t_in_job = true;
    uint64_t w = claim_.load(std::memory_order_acquire);
    for (;;) {
      const uint64_t next = w & kChunkMask, count = (w >> 16) & kChunkMask;
      if (w >> 32 != gen || next >= count) break;
      if (!claim_.compare_exchange_weak(w, w + 1, std::memory_order_acquire)) continue;
      // The job cannot end before this chunk is done, so its fields are this job's.
      const size_t begin = next * chunk_;
      fn_(ctx_, begin, std::min(n_, begin + chunk_));
      if (done_.fetch_add(1, std::memory_order_acq_rel) + 1 == count) done_.notify_one();
      w = claim_.load(std::memory_order_acquire);
    }
    t_in_job = false;
  }

  std::vector<std::thread> workers_;
  std::atomic<uint32_t> generation_{0};  // bumped per job; idle workers sleep on it
  std::atomic<uint64_t> claim_{0};
  std::atomic<uint32_t> done_{0};  // chunks of the current job finished
  std::atomic<bool> stop_{false};
  // The current job; written before its claim word is published.
  OrvRangeFn fn_ = nullptr;
  void *ctx_ = nullptr;
  size_t n_ = 0;
  size_t chunk_ = 1;
};

// The process-wide pool. BUSY is held for the duration of a job and while the pool is replaced;
// a caller that cannot take it runs inline.
struct PoolState {
  std::mutex busy;
  std::unique_ptr<Pool> pool;
  std::atomic<int> threads{0};  // 0 until first asked: all available cores
};

PoolState &state() {
  static PoolState s;
  return s;
}

}  // namespace

int orv_thread_count() {
  PoolState &s = state();
  int n = s.threads.load(std::memory_order_relaxed);
  if (n < 1) {
    n = available_cores();
    int unset = 0;
    if (!s.threads.compare_exchange_strong(unset, n)) n = unset;
  }
  return n;
}

void orv_parallel_for_fn(size_t n, size_t align, OrvRangeFn fn, void *ctx) {
  if (n == 0) return;
  align = std::max<size_t>(align, 1);
  const size_t units = (n + align - 1) / align;
  const size_t threads = size_t(orv_thread_count());
  PoolState &s = state();
  std::unique_lock<std::mutex> lock(s.busy, std::defer_lock);
  if (threads < 2 || units < 2 || t_in_job || !lock.try_lock()) {
    fn(ctx, 0, n);
    return;
  }
  if (!s.pool) {
    try {
      s.pool = std::make_unique<Pool>(static_cast<int>(threads));
    } catch (...) {  // no threads to be had: the work still gets done
      fn(ctx, 0, n);
      return;
    }
  }
  // Rounding the chunk down keeps a short range (ten panels on two threads) evenly shared.
  size_t chunk_units = std::max<size_t>(1, units / (threads * kChunksPerThread));
  while ((units + chunk_units - 1) / chunk_units > kMaxChunks) chunk_units *= 2;
  const size_t chunk = chunk_units * align;
  s.pool->run(n, chunk, (n + chunk - 1) / chunk, fn, ctx);
}

extern "C" {

void orv_set_threads(int n) {
  c_edge("orv_set_threads", [&] {
    PoolState &s = state();
    const int wanted = n < 1 ? available_cores() : std::min(n, kMaxThreads);
    std::lock_guard<std::mutex> lock(s.busy);
    if (wanted == s.threads.load(std::memory_order_relaxed) && s.pool) return;
    s.pool.reset();  // the next parallel call starts WANTED - 1 workers
    s.threads.store(wanted, std::memory_order_relaxed);
  });
}

int orv_get_threads(void) { return orv_thread_count(); }

}  // extern "C"
