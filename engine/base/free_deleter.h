// Owner for malloc'd memory: std::unique_ptr<T, FreeDeleter> releases it with free().
#ifndef ORVANE_FREE_DELETER_H
#define ORVANE_FREE_DELETER_H

#include <cstdlib>

struct FreeDeleter {
  void operator()(void* p) const noexcept { std::free(p); }
};

#endif
