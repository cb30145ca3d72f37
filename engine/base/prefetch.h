// Software prefetch for the weight streams. A core's hardware prefetchers stop at every 4 KB page,
// which held a thread's sequential read of the mapped weight file to about half of the memory
// rate; asking for the lines a few pages ahead brings it back. The multi-row products read W in
// short row pieces, which the hardware prefetchers hardly follow at all; they ask for the next
// panel's pieces while the current one is multiplied.
#ifndef ORVANE_PREFETCH_H
#define ORVANE_PREFETCH_H

#include <cstddef>

inline constexpr size_t kOrvPrefetchAhead = 8192;

// Asks for the BYTES that start at P, or kOrvPrefetchAhead bytes past P. Addresses past the end
// of the weights are harmless: a prefetch never faults.
inline void orv_prefetch_span(const void *p, size_t bytes) {
  const char *at = static_cast<const char *>(p);
  for (size_t line = 0; line < bytes; line += 64) __builtin_prefetch(at + line, 0, 3);
}

inline void orv_prefetch_ahead(const void *p, size_t bytes) {
  orv_prefetch_span(static_cast<const char *>(p) + kOrvPrefetchAhead, bytes);
}

#endif
