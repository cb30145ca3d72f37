// The GPU backend's entry points used inside the engine. orv_gpu_init and orv_gpu_available are
// public (orvane.h).
#ifndef ORVANE_GPU_H
#define ORVANE_GPU_H

#include <stddef.h>

#include "orvane.h"

#ifdef __cplusplus
extern "C" {
#endif

// Zeroed host-visible memory the GPU passes can use; NULL on failure. Falls back to plain heap
// memory while no backend runs. Release with orv_gpu_shared_free, which also accepts NULL.
ORV_API void *orv_gpu_shared_alloc(size_t bytes);
ORV_API void orv_gpu_shared_free(void *ptr);

#ifdef __cplusplus
}
#endif

#endif
