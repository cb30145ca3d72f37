// Speed of the GPU backend's matrix products on the device it picks (ORVANE_GPU_ALLOW_CPU=1
// lets it take Mesa's CPU implementation): the INT8 matrix-vector product on the decoder's
// shapes in GB/s of weights read, beside the device's copy bandwidth; the half-weight matrix
// product on the encoder's shapes at 64, 128 and 200 rows in GFLOP/s, beside the best rate the
// same kernel reaches on a large square product; the encoder's attention over its half-precision
// cache (750-key window) for a streaming block of 8 new rows and for blocks of 64 and 256, in
// milliseconds and dispatches per layer. Each figure is the best of several runs of
// back-to-back dispatches in one submission, so submission overhead is not counted.
// --scale S divides every dimension by S (for slow devices).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <list>
#include <vector>

#include "gpu/backend.h"
#include "gpu/block_attention.h"
#include "gpu/gpu.h"
#include "gpu/matmul.h"
#include "kernels/int8_weights.h"
#include "stopwatch.h"

namespace {

using Clock = std::chrono::steady_clock;
gpu::Backend* g;

// Seconds per repetition of RECORD, the best of 3 submissions of REPS repetitions each.
double time_per_rep(const std::function<void(gpu::Recorder&)>& record, int reps) {
  double best = 1e30;
  for (int run = 0; run < 4; run++) {  // the first run warms up and is not counted
    gpu::Recorder rec(*g->device, *g->pipelines);
    for (int r = 0; r < reps; r++) record(rec);
    const auto t0 = Clock::now();
    if (!rec.run()) {
      std::fprintf(stderr, "gpu-speed: submission failed\n");
      std::exit(1);
    }
    if (run > 0) best = std::min(best, seconds_since(t0) / reps);
  }
  return best;
}

gpu::BufferRef device_buffer(uint64_t bytes) {
  gpu::BufferRef b = gpu::Buffer::create(*g->device, bytes, gpu::Memory::device);
  if (!b) {
    std::fprintf(stderr, "gpu-speed: cannot allocate %llu bytes\n", (unsigned long long)bytes);
    std::exit(1);
  }
  return b;
}

// Reps that make one submission last about 0.2 s, from a single timed repetition.
int reps_for(const std::function<void(gpu::Recorder&)>& record) {
  const double once = time_per_rep(record, 1);
  return std::clamp(int(0.2 / std::max(once, 1e-6)), 1, 200);
}

// Random BF16 weights that live until the program ends: the backend keys its weight copies by
// address, so a freed matrix's memory reused for the next one must not be taken for it.
const std::vector<uint16_t>& random_bf16(size_t n) {
  static std::list<std::vector<uint16_t>> kept;
  std::vector<uint16_t>& w = kept.emplace_back(n);
  uint32_t s = 12345;
  for (auto& v : w) {
    s = s * 1664525u + 1013904223u;
    v = uint16_t(((s >> 16) & 0x807F) | ((120 + ((s >> 8) & 3)) << 7));  // 2^-7 .. 2^-3
  }
  return w;
}

// Bytes read plus bytes written per second by a buffer copy. Its buffers go before the
// backend does (a buffer outliving the device aborts in the driver).
double copy_bandwidth_gbs(int scale) {
  const uint64_t bytes = (uint64_t{256} << 20) / uint64_t(scale);
  const gpu::BufferRef src = device_buffer(bytes), dst = device_buffer(bytes);
  auto copy = [&](gpu::Recorder& rec) { rec.copy(*src, 0, *dst, 0, bytes); };
  return 2.0 * double(bytes) / time_per_rep(copy, reps_for(copy)) / 1e9;
}

// The encoder's attention for N new rows after a full window of cached ones.
void encoder_attention_speed(int scale) {
  const int heads = std::max(1, 32 / scale), head_dim = 64, window = 750, cached = 750;
  for (int n : {8, 64, 256}) {
    const int seq_k = cached + n;
    const uint64_t q_bytes = uint64_t(n) * heads * head_dim * 4, kv_bytes = uint64_t(seq_k) * heads * head_dim * 2;
    const gpu::BufferRef q = device_buffer(q_bytes), k = device_buffer(kv_bytes), v = device_buffer(kv_bytes),
                         out = device_buffer(q_bytes);
    {  // zeros: defined scores and values (the time does not depend on them)
      const std::vector<char> zeros(std::max(q_bytes, kv_bytes), 0);
      gpu::Recorder rec(*g->device, *g->pipelines);
      rec.upload(*q, 0, zeros.data(), q_bytes);
      rec.upload(*k, 0, zeros.data(), kv_bytes);
      rec.upload(*v, 0, zeros.data(), kv_bytes);
      if (!rec.run()) std::exit(1);
    }
    const gpu::BlockAttention a{heads, heads, head_dim, n, seq_k, 0.125f, window, cached};
    uint32_t dispatches = 0;
    auto attend = [&](gpu::Recorder& rec) {
      const uint32_t before = rec.dispatches();
      gpu::record_block_attention(rec, *g->caches, gpu::Kernel::encoder_attention_kv16, a, {q.get(), 0, q_bytes},
                                  {k.get(), 0, kv_bytes}, {v.get(), 0, kv_bytes}, {out.get(), 0, q_bytes});
      dispatches = rec.dispatches() - before;
    };
    const double ms = time_per_rep(attend, reps_for(attend)) * 1e3;
    std::printf("encoder_attention rows=%d keys=%d heads=%d: %.3f ms, %u dispatches\n", n, seq_k, heads, ms,
                dispatches);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // figures appear as they are measured
  int scale = 1;
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--scale") == 0 && i + 1 < argc) scale = std::max(1, std::atoi(argv[++i]));
    else {
      std::fprintf(stderr, "usage: gpu-speed [--scale S]\n");
      return 2;
    }
  }
  if (!orv_gpu_init()) {
    std::fprintf(stderr, "gpu-speed: no usable Vulkan device (ORVANE_GPU_ALLOW_CPU=1 accepts a CPU one)\n");
    return 1;
  }
  g = gpu::backend();
  std::printf("device: %s\n", g->device->props.deviceName);
  std::printf("scale: 1/%d\n", scale);

  const double copy_gbs = copy_bandwidth_gbs(scale);
  std::printf("copy_bandwidth_gbs: %.1f\n", copy_gbs);
  encoder_attention_speed(scale);

  // Best half-weight GEMM rate: a large square product.
  const int sq = 4096 / scale;
  {
    const std::vector<uint16_t>& w = random_bf16(size_t(sq) * sq);
    const gpu::BufferRef wb = g->caches->get_f16(w.data(), w.size());
    const gpu::BufferRef x = device_buffer(uint64_t(sq) * sq * 4), y = device_buffer(uint64_t(sq) * sq * 4);
    auto gemm = [&](gpu::Recorder& rec) { gpu::record_linear(rec, *x, *wb, false, *y, sq, sq, sq); };
    const double best_gflops = 2.0 * sq * sq * sq / time_per_rep(gemm, reps_for(gemm)) / 1e9;
    std::printf("gemm_f16_best_gflops: %.1f (M=N=K=%d)\n", best_gflops, sq);

    const int shapes[4][2] = {{6144, 1280}, {1280, 2048}, {10240, 1280}, {1280, 5120}};
    for (const auto& nk : shapes) {
      const int n = nk[0] / scale, k = nk[1] / scale;
      const std::vector<uint16_t>& we = random_bf16(size_t(n) * k);
      const gpu::BufferRef web = g->caches->get_f16(we.data(), we.size());
      for (int m : {64, 128, 200}) {
        auto enc = [&](gpu::Recorder& rec) { gpu::record_linear(rec, *x, *web, false, *y, m, n, k); };
        const double gflops = 2.0 * m * n * k / time_per_rep(enc, reps_for(enc)) / 1e9;
        std::printf("gemm_f16 M=%d N=%d K=%d: %.1f GFLOP/s (%.0f%% of best)\n", m, n, k, gflops,
                    100.0 * gflops / best_gflops);
      }
    }
  }

  // INT8 matrix-vector products on the decoder's shapes.
  const int int8_shapes[3][2] = {{9216, 3072}, {3072, 9216}, {131072, 3072}};
  for (const auto& nk : int8_shapes) {
    const int n = nk[0] / scale, k = std::max(128, nk[1] / scale / 128 * 128);
    const std::vector<uint16_t>& w = random_bf16(size_t(n) * k);
    std::vector<int8_t> weights(w.size());
    std::vector<uint16_t> scales(w.size() / ORV_INT8_GROUP);
    orv_int8_quantize(w.data(), n, k, weights.data(), scales.data());
    gpu::Int8Matrix q;
    if (!g->caches->int8_upload({{w.data(), {weights.data(), scales.data(), n, k}}}, &q)) {
      std::fprintf(stderr, "gpu-speed: cannot quantise %d x %d\n", n, k);
      return 1;
    }
    const gpu::BufferRef x = device_buffer(uint64_t(k) * 4), y = device_buffer(uint64_t(n) * 4);
    auto matvec = [&](gpu::Recorder& rec) { gpu::record_int8_matmul(rec, q, *x, *y, 0, 1, n, k); };
    const double bytes = double(n) * k + double(n) * (k / 128) * 2;
    const double gbs = bytes / time_per_rep(matvec, reps_for(matvec)) / 1e9;
    std::printf("int8_matvec N=%d K=%d: %.1f GB/s (%.0f%% of copy bandwidth)\n", n, k, gbs,
                100.0 * gbs / copy_gbs);
  }
  orv_gpu_shutdown();
  return 0;
}
