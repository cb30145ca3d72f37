// The process-wide GPU backend: device, pipelines and buffer layer, created by orv_gpu_init and
// destroyed by orv_gpu_shutdown.
#ifndef ORVANE_GPU_BACKEND_H
#define ORVANE_GPU_BACKEND_H

#include <memory>

#include "gpu/caches.h"
#include "gpu/device.h"
#include "gpu/passes.h"
#include "gpu/pipelines.h"

namespace gpu {

struct Backend {
  std::unique_ptr<Device> device;
  std::unique_ptr<Pipelines> pipelines;
  std::unique_ptr<PassState> passes;  // device copies of the key/value caches, pass staging
  std::unique_ptr<Caches> caches;  // declared last: its buffers go before the device
  bool shaders_compiled = false;   // every catalogue kernel has its pipeline
};

// Null while the backend is not running.
Backend* backend();

}  // namespace gpu

#endif
