// Where a block of memory comes from: a pair of functions that hand out zero-filled memory and
// take it back, and whether the GPU passes can use it in place. The owner of a block picks one
// (plain heap memory by default) and hands it to the code that allocates.
#ifndef ORVANE_BLOCK_MEMORY_H
#define ORVANE_BLOCK_MEMORY_H

#include <cstddef>
#include <cstdlib>

struct BlockMemory {
  void* (*alloc)(size_t bytes);  // zero-filled, or null
  void (*release)(void* p);      // accepts null
  bool gpu_shared;
};

inline void* heap_block_alloc(size_t bytes) { return std::calloc(1, bytes); }
inline void heap_block_release(void* p) { std::free(p); }
inline constexpr BlockMemory kHeapMemory{heap_block_alloc, heap_block_release, false};

#endif
