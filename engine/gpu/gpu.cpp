// Start-up and teardown of the process-wide backend, and the entry points that only consult it.
#include "gpu/gpu.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/c_edge.h"
#include "gpu/backend.h"

namespace gpu {

namespace {

std::unique_ptr<Backend> g_backend;

bool disabled_by_environment() {
  const char* v = std::getenv("ORVANE_GPU");
  return v && std::strcmp(v, "0") == 0;
}

void report_unavailable(const char* why) {
  if (orv_verbose >= 1)
    std::fprintf(stderr, "Vulkan: GPU acceleration not available: %s; running on the CPU\n", why);
}

}  // namespace

Backend* backend() { return g_backend.get(); }

}  // namespace gpu

using gpu::g_backend;

extern "C" {

int orv_gpu_init(void) {
  return c_edge("orv_gpu_init", 0, [&]() -> int {
    if (g_backend) return 1;
    if (gpu::disabled_by_environment()) {
      gpu::report_unavailable("ORVANE_GPU=0");
      return 0;
    }
    std::string reason;
    auto b = std::make_unique<gpu::Backend>();
    b->device = gpu::open_device(&reason);
    if (!b->device) {
      gpu::report_unavailable(reason.c_str());
      return 0;
    }
    if (orv_verbose >= 2)
      std::fprintf(stderr, "Vulkan: GPU acceleration enabled (%s)\n", b->device->props.deviceName);
    b->pipelines = std::make_unique<gpu::Pipelines>(*b->device);
    b->pipelines->build();
    b->shaders_compiled = b->pipelines->catalogue_complete();
    b->caches = std::make_unique<gpu::Caches>(*b->device, *b->pipelines);
    b->passes = std::make_unique<gpu::PassState>();
    if (orv_verbose >= 2) {
      // The first six kernels, each named only when its pipeline exists.
      static const char* const kLabels[6] = {"rms_norm ", "silu ", "gelu ", "add ", "mul ", "causal_softmax "};
      std::string names;
      for (int i = 0; i < 6; i++)
        if (b->pipelines->get(gpu::Kernel(i))) names += kLabels[i];
      std::fprintf(stderr, "Vulkan: compute shaders compiled (%s)\n", names.c_str());
    }
    g_backend = std::move(b);
    return 1;
  });
}

int orv_gpu_available(void) { return g_backend ? 1 : 0; }

void orv_gpu_shutdown(void) { g_backend.reset(); }

// The shared tables change under the passes' lock: streams on other threads may be in a pass.
void* orv_gpu_shared_alloc(size_t bytes) {
  if (!g_backend) return std::calloc(1, bytes);
  const std::lock_guard serial(g_backend->device->submit_lock);
  return g_backend->caches->shared_alloc(bytes);
}

void orv_gpu_shared_free(void* ptr) {
  if (!ptr) return;
  if (!g_backend) return std::free(ptr);
  const std::lock_guard serial(g_backend->device->submit_lock);
  g_backend->passes->host_changed(ptr, true);
  if (!g_backend->caches->shared_free(ptr)) std::free(ptr);
}

uint64_t orv_gpu_memory_bytes(void) {
  return g_backend ? g_backend->caches->memory_bytes() + g_backend->passes->memory_bytes() : 0;
}

uint64_t orv_gpu_allocated_bytes(void) { return gpu::device_bytes(); }

int orv_gpu_step_dispatches(void) { return g_backend ? int(g_backend->passes->step_dispatches) : 0; }

orv_gpu_step_work_t orv_gpu_step_work(void) {
  return g_backend ? g_backend->passes->step_work : orv_gpu_step_work_t{0, 0, 0};
}

double orv_gpu_copy_bandwidth_gbs(void) {
  if (!g_backend) return 0;
  constexpr uint64_t kBytes = uint64_t{64} << 20;
  gpu::Device& d = *g_backend->device;
  const gpu::BufferRef src = gpu::Buffer::create(d, kBytes, gpu::Memory::device);
  const gpu::BufferRef dst = gpu::Buffer::create(d, kBytes, gpu::Memory::device);
  if (!src || !dst) return 0;
  double best = 0;
  for (int run = 0; run < 4; run++) {  // the first run warms up
    gpu::Recorder rec(d, *g_backend->pipelines);
    for (int i = 0; i < 8; i++) rec.copy(*src, 0, *dst, 0, kBytes);
    const auto t0 = std::chrono::steady_clock::now();
    if (!rec.run()) return 0;
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (run > 0) best = std::max(best, 2.0 * 8 * kBytes / s / 1e9);  // read plus write
  }
  return best;
}

}  // extern "C"
