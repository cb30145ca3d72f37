// Software prefetch for the weight streams of the single-row products. A core's hardware
// prefetchers stop at every 4 KB page, which held a thread's sequential read of the mapped weight
// file to about half of the memory rate; asking for the lines a few pages ahead brings it back.
#ifndef ORVANE_PREFETCH_H
#define ORVANE_PREFETCH_H

#include <cstddef>

inline constexpr size_t kOrvPrefetchAhead = 8192;

// Asks for the BYTES (a multiple of 64) that start kOrvPrefetchAhead bytes past P. Addresses past
// the end of the weights are harmless: a prefetch never faults.
inline void orv_prefetch_ahead(const void *p, size_t bytes) {
  const char *at = static_cast<const char *>(p) + kOrvPrefetchAhead;
  for (size_t line = 0; line < bytes; line += 64) __builtin_prefetch(at + line, 0, 3);
}

#endif
