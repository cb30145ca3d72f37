// The incremental encoder as one submission: every encoder layer and the final norm over a block
// of new positions, with half-precision weights and the encoder key/value cache on the device.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "gpu/backend.h"
#include "gpu/block_attention.h"
#include "gpu/gpu.h"
#include "gpu/matmul.h"
#include "gpu/passes.h"
#include "gpu/views.h"

namespace gpu {

namespace {

constexpr uint64_t kF32 = sizeof(float);

uint64_t count(int rows, int cols) { return uint64_t(rows) * uint64_t(cols); }

struct EncoderLayerBuffers {
  BufferRef qkv, wo, w13, w2;                                    // half
  BufferRef q_bias, v_bias, o_bias, ffn_bias, attn_norm, ffn_norm;  // float; biases may be null
};

// Device forms of every layer's weights; false when one is missing.
bool encoder_weights(Caches& c, const GpuEncoderWeights& ew, std::vector<EncoderLayerBuffers>* out) {
  const BlockWidths w(ew.shape);
  auto vec = [&](const float* a, int n) { return a ? c.get_f32(a, count(n, 1) * kF32) : nullptr; };
  for (const GpuEncoderLayer& l : ew.layers) {
    if (!l.w1 || !l.w3 || !l.w2) return false;
    EncoderLayerBuffers b{
        c.get_merged({{l.wq, count(w.q_dim, w.dim)}, {l.wk, count(w.kv_dim, w.dim)}, {l.wv, count(w.kv_dim, w.dim)}}),
        c.get_f16(l.wo, count(w.dim, w.q_dim)),
        c.get_merged({{l.w1, count(w.hidden, w.dim)}, {l.w3, count(w.hidden, w.dim)}}),
        c.get_f16(l.w2, count(w.dim, w.hidden)),
        vec(l.wq_bias, w.q_dim), vec(l.wv_bias, w.kv_dim), vec(l.wo_bias, w.dim), vec(l.w2_bias, w.dim),
        vec(l.attention_norm, w.dim), vec(l.ffn_norm, w.dim)};
    if (!b.qkv || !b.wo || !b.w13 || !b.w2 || !b.attn_norm || !b.ffn_norm) return false;
    out->push_back(std::move(b));
  }
  return true;
}

}  // namespace

}  // namespace gpu

int orv_gpu_encoder_pass(const GpuEncoderWeights& ew, const GpuKvView& cache, float* x, int n, const float* rope) {
  using namespace gpu;
  Backend* b = backend();
  if (!b || !b->shaders_compiled || !cache.k || !x || !rope || n < 1) return -1;
  const std::lock_guard serial(b->device->submit_lock);  // the staging and cache copies are shared
  const int cache_start = cache.len;
  const orv_block_shape_t& s = ew.shape;
  const BlockWidths w(s);
  b->passes->take_stale_flag(cache);
  // Whatever happens below, a declined pass leaves the cache to the CPU, which then writes it.
  DeclineGuard guard(*b->passes, cache.k);
  Caches& c = *b->caches;
  std::vector<EncoderLayerBuffers> layers;
  const BufferRef final_norm = ew.norm ? c.get_f32(ew.norm, count(w.dim, 1) * kF32) : nullptr;
  if (!final_norm || !encoder_weights(c, ew, &layers)) return -1;

  const uint64_t x_bytes = count(n, w.dim) * kF32, rope_bytes = count(n, s.head_dim) * kF32;
  const int qkv_width = w.q_dim + 2 * w.kv_dim;
  ScratchLease xs(c, x_bytes), xn(c, x_bytes), qkv(c, count(n, qkv_width) * kF32),
      q(c, count(n, w.q_dim) * kF32), k(c, count(n, w.kv_dim) * kF32), v(c, count(n, w.kv_dim) * kF32),
      attn(c, count(n, w.q_dim) * kF32), proj(c, x_bytes), gate_up(c, count(n, 2 * w.hidden) * kF32),
      freqs(c, rope_bytes);
  const Buffer* io = b->passes->staging(*b->device, x_bytes + rope_bytes);
  if (!xs || !xn || !qkv || !q || !k || !v || !attn || !proj || !gate_up || !freqs || !io) return -1;

  const auto t0 = std::chrono::steady_clock::now();
  Recorder rec(*b->device, *b->pipelines);
  KvMirror* m = b->passes->prepare(*b->device, c, rec,
                                   {cache.k, cache.v, s.layers, cache.capacity, w.kv_dim, cache_start,
                                    cache.pos_offset});
  if (!m) return -1;
  std::memcpy(io->mapped(), x, x_bytes);
  std::memcpy(static_cast<char*>(io->mapped()) + x_bytes, rope, rope_bytes);
  rec.copy(*io, 0, *xs.get(), 0, x_bytes);
  rec.copy(*io, x_bytes, *freqs.get(), 0, rope_bytes);

  struct Deinterleave {
    int32_t src_stride, chunk_cols, col_offset, total;
  };
  struct SiluMul {
    int32_t hidden, total;
  };
  const int seq_k = cache_start + n;
  const BlockAttention attention{s.heads, s.kv_heads, s.head_dim, n, seq_k,
                                 1.0f / std::sqrt(float(s.head_dim)), s.window, cache_start};
  // One buffer for every layer's partial attention results (none when the keys are not split).
  const ScratchLease partial(c, std::max<uint64_t>(attention_partial_bytes(attention), 4));
  if (!partial) return -1;
  for (int l = 0; l < s.layers; l++) {
    const EncoderLayerBuffers& lw = layers[size_t(l)];
    record_rms_norm(rec, *xs.get(), *lw.attn_norm, *xn.get(), n, w.dim);
    record_linear(rec, *xn.get(), *lw.qkv, false, *qkv.get(), n, qkv_width, w.dim);
    const int cols[3] = {w.q_dim, w.kv_dim, w.kv_dim}, offsets[3] = {0, w.q_dim, w.q_dim + w.kv_dim};
    const Buffer* parts[3] = {q.get(), k.get(), v.get()};
    for (int i = 0; i < 3; i++) {
      const uint64_t total = count(n, cols[i]);
      rec.dispatch_elements(Kernel::deinterleave,
                            {{qkv.get(), 0, count(n, qkv_width) * kF32}, {parts[i], 0, total * kF32}},
                            Deinterleave{qkv_width, cols[i], offsets[i], int32_t(total)}, total);
    }
    if (lw.q_bias) record_bias(rec, *q.get(), *lw.q_bias, n, w.q_dim);
    if (lw.v_bias) record_bias(rec, *v.get(), *lw.v_bias, n, w.kv_dim);
    record_rope(rec, *q.get(), *freqs.get(), n, s.heads, s.head_dim);
    record_rope(rec, *k.get(), *freqs.get(), n, s.kv_heads, s.head_dim);
    record_cache_rows(rec, *m, *m->k, l, cache_start, *k.get(), n);
    record_cache_rows(rec, *m, *m->v, l, cache_start, *v.get(), n);
    const uint64_t cache_bytes = uint64_t(seq_k) * m->row_bytes();
    record_block_attention(rec, Kernel::encoder_attention_kv16, attention, {q.get(), 0, count(n, w.q_dim) * kF32},
                           {m->k.get(), m->layer_offset(l), cache_bytes}, {m->v.get(), m->layer_offset(l), cache_bytes},
                           {attn.get(), 0, count(n, w.q_dim) * kF32}, partial.get());
    record_linear(rec, *attn.get(), *lw.wo, false, *proj.get(), n, w.dim, w.q_dim);
    if (lw.o_bias) record_bias(rec, *proj.get(), *lw.o_bias, n, w.dim);
    record_add(rec, *xs.get(), *proj.get(), count(n, w.dim));

    record_rms_norm(rec, *xs.get(), *lw.ffn_norm, *xn.get(), n, w.dim);
    record_linear(rec, *xn.get(), *lw.w13, false, *gate_up.get(), n, 2 * w.hidden, w.dim);
    const uint64_t hidden_total = count(n, w.hidden);
    rec.dispatch_elements(Kernel::silu_mul_merged, {{gate_up.get(), 0, 2 * hidden_total * kF32}},
                          SiluMul{w.hidden, int32_t(hidden_total)}, hidden_total);
    // The gated half of each [gate | up] row is the input of the down projection.
    record_linear(rec, *gate_up.get(), *lw.w2, false, *proj.get(), n, w.dim, w.hidden, 2 * w.hidden);
    if (lw.ffn_bias) record_bias(rec, *proj.get(), *lw.ffn_bias, n, w.dim);
    record_add(rec, *xs.get(), *proj.get(), count(n, w.dim));
  }
  record_rms_norm(rec, *xs.get(), *final_norm, *xn.get(), n, w.dim);
  rec.copy(*xn.get(), 0, *io, 0, x_bytes);
  const auto t1 = std::chrono::steady_clock::now();
  if (!rec.run()) return -1;
  const auto t2 = std::chrono::steady_clock::now();
  std::memcpy(x, io->mapped(), x_bytes);
  PassState::commit(m, seq_k);
  guard.dismiss();
  if (orv_verbose >= 2) {
    using ms = std::chrono::duration<double, std::milli>;
    std::fprintf(stderr, "[encoder] recording: %.1f ms, submit+wait: %.1f ms\n", ms(t1 - t0).count(),
                 ms(t2 - t1).count());
  }
  return 0;
}
