// What the fused whole-network passes share: device copies of the key/value caches, a host-visible
// staging buffer for their inputs and outputs, and the recording of the element-wise kernels.
//
// The engine keeps its key/value caches in GPU-shared host memory, where its CPU code slides,
// compacts and grows them. The passes work on device-local copies in half precision instead, so
// attention never reads across the bus and reads half the bytes: every row a pass adds goes into
// both the copy and the host array (as the float of the half it stored), and before a pass the
// device copy is brought level with the host arrays (nothing when only passes wrote them, a move
// on the device when the CPU dropped the oldest rows, a reload otherwise). The host arrays are
// therefore always complete, whatever runs next.
#ifndef ORVANE_GPU_PASSES_H
#define ORVANE_GPU_PASSES_H

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "gpu/buffer.h"
#include "gpu/caches.h"
#include "gpu/gpu.h"

namespace gpu {

// One key/value cache of the engine context as the passes see it.
struct CacheView {
  const float* host_k;  // [layers][capacity][kv_dim], GPU-shared
  const float* host_v;
  int layers, capacity, kv_dim;
  int rows;        // valid rows before the pass
  int pos_offset;  // absolute position of row 0
};

// What a recorded decoder step binds besides its own work buffers: when any of it changes, the
// step is recorded again.
struct StepKey {
  std::vector<const Buffer*> buffers;
  bool scores = false;  // the step copies its scores back
  bool operator==(const StepKey&) const = default;
};

// A decoder step recorded once for one cache copy and replayed at every position: the position
// and the split of the keys come from a buffer the host writes before each run.
struct StepPlan {
  StepPlan(Device& device, const Pipelines& pipelines) : rec(device, pipelines, Replay::many) {}
  Recorder rec;  // holds the step's work buffers
  StepKey key;
  int groups = 0;           // the most workgroups per key/value head its attention splits into
  uint64_t own_bytes = 0;   // device memory of its work buffers
};

// The device copy of one cache.
struct KvMirror {
  const float* host_k = nullptr;
  const float* host_v = nullptr;
  BufferRef shared_k, shared_v;  // the host arrays' buffers
  BufferRef k, v;                // device-local copies, half precision
  int layers = 0, capacity = 0, kv_dim = 0;
  int rows = 0, pos_offset = 0;  // what the copies hold
  bool valid = false;            // false: reload from the host arrays before use
  std::unique_ptr<StepPlan> step;  // the recorded decoder step on these copies

  // Rows and layers of the device copies (half) and of the host arrays (float).
  uint64_t row_bytes() const { return uint64_t(kv_dim) * 2; }
  uint64_t layer_offset(int l) const { return uint64_t(l) * capacity * row_bytes(); }
  uint64_t host_row_bytes() const { return uint64_t(kv_dim) * sizeof(float); }
  uint64_t host_layer_offset(int l) const { return uint64_t(l) * capacity * host_row_bytes(); }
};

class PassState {
 public:
  // The device copy of VIEW's cache, recorded into REC so that it equals the host rows
  // 0 .. rows - 1 when REC runs; null when the arrays are not GPU-shared or the device refuses
  // the memory. The copy counts as stale until commit().
  KvMirror* prepare(Device& device, Caches& caches, Recorder& rec, const CacheView& view);
  // The pass that used M ran: its copy now holds ROWS rows.
  static void commit(KvMirror* m, int rows) {
    m->rows = rows;
    m->valid = true;
  }
  // The CPU wrote the host array at HOST (or freed it: FREED drops the copy).
  void host_changed(const void* host, bool freed);
  // Drops the device copy of CACHE when its owner marked it stale, and clears the mark.
  void take_stale_flag(const GpuKvView& cache) {
    if (!cache.device_stale || !*cache.device_stale) return;
    host_changed(cache.k, false);
    *cache.device_stale = false;
  }

  // The device copy of the cache whose key array is HOST, or null.
  const KvMirror* find(const void* host) const;

  // A device copy of VALUES, uploaded again whenever they change (the delay conditioning, which
  // a new delay rewrites in place). Null when the device refuses.
  const Buffer* conditioning(Device& device, const Pipelines& pipelines, std::span<const float> values);

  // Device memory of the cache copies, their recorded steps and the conditioning.
  uint64_t memory_bytes() const;
  // Kernel dispatches and the rest of the recorded work of the last decoder step.
  uint32_t step_dispatches = 0;
  orv_gpu_step_work_t step_work{0, 0, 0};

  // Host-visible buffer of at least BYTES for a pass's inputs and outputs, kept between passes.
  const Buffer* staging(Device& device, uint64_t bytes);

 private:
  std::vector<std::unique_ptr<KvMirror>> mirrors_;
  BufferRef staging_;
  BufferRef conditioning_;
  std::vector<float> conditioning_values_;  // what conditioning_ holds
};

// Marks a cache's device copy stale when a pass declines after all, since the CPU then writes the
// host arrays.
class DeclineGuard {
 public:
  DeclineGuard(PassState& state, const void* host) : state_(state), host_(host) {}
  DeclineGuard(const DeclineGuard&) = delete;
  DeclineGuard& operator=(const DeclineGuard&) = delete;
  ~DeclineGuard() {
    if (host_) state_.host_changed(host_, false);
  }
  void dismiss() { host_ = nullptr; }

 private:
  PassState& state_;
  const void* host_;
};

// Element-wise and small kernels as the passes record them; sizes in elements.
void record_rms_norm(Recorder& rec, const Buffer& x, const Buffer& w, const Buffer& y, int rows, int dim);
void record_add(Recorder& rec, const Buffer& a, const Buffer& b, uint64_t n);
void record_bias(Recorder& rec, const Buffer& y, const Buffer& bias, int rows, int dim);
void record_rope(Recorder& rec, const Buffer& x, const Buffer& rope, int rows, int heads,
                 int head_dim);
// Rows of DATA (float) into layer L of the cache copy C (M's k or v) from row FIRST on, and into
// the same rows of its host array.
void record_cache_rows(Recorder& rec, const KvMirror& m, const Buffer& c, int l, int first,
                       const Buffer& data, int rows);

}  // namespace gpu

#endif
