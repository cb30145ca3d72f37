// GPU backend entry points. No device backend is built yet: the backend never starts, every
// GPU branch of the engine reads orv_gpu_available() == 0 and the CPU paths run.
#include "gpu/gpu.h"

#include <cstdlib>

extern "C" {

int orv_gpu_init(void) { return 0; }

int orv_gpu_available(void) { return 0; }

void *orv_gpu_shared_alloc(size_t bytes) { return std::calloc(1, bytes); }

void orv_gpu_shared_free(void *ptr) { std::free(ptr); }

}  // extern "C"
