// The engine's worker threads: one process-wide pool, created on first use and kept, that splits
// an index range across the calling thread and its workers. A kernel calls
//
//     orv_parallel_for(n_rows, [&](size_t begin, size_t end) { ... rows begin .. end - 1 ... });
//
// and gets back once every index has been processed. Chunks are contiguous and handed out on
// demand, so a core slowed by other work takes fewer of them. The body must not throw. A call
// made while the pool is busy (from a worker, or from a second thread driving another context)
// runs its whole range inline on the calling thread, so nested and concurrent use is safe, only
// not parallel.
#ifndef ORVANE_THREAD_POOL_H
#define ORVANE_THREAD_POOL_H

#include <cstddef>
#include <type_traits>

// Threads the kernels use, the calling thread included (at least 1).
int orv_thread_count();

using OrvRangeFn = void (*)(void *ctx, size_t begin, size_t end);

// Runs FN over [0, n) in chunks whose boundaries are multiples of ALIGN (the last chunk ends at
// n). With one thread, or when n fits one chunk, FN runs once, inline, over the whole range.
void orv_parallel_for_fn(size_t n, size_t align, OrvRangeFn fn, void *ctx);

template <typename Body>
void orv_parallel_for(size_t n, size_t align, Body &&body) {
  using B = std::remove_reference_t<Body>;
  orv_parallel_for_fn(
      n, align, [](void *c, size_t b, size_t e) { (*static_cast<B *>(c))(b, e); },
      const_cast<void *>(static_cast<const void *>(&body)));
}

template <typename Body>
void orv_parallel_for(size_t n, Body &&body) {
  orv_parallel_for(n, 1, static_cast<Body &&>(body));
}

#endif
