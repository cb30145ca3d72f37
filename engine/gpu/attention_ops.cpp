// The standalone attention operations: the block kernel (the encoder's per-operation path) and
// the form through a stored score matrix.
#include <cstdint>

#include "gpu/backend.h"
#include "gpu/block_attention.h"
#include "gpu/gpu.h"
#include "gpu/matmul.h"

namespace {

using gpu::ScratchLease;

bool valid_heads(int seq_q, int seq_k, int n_heads, int n_kv_heads, int head_dim) {
  return seq_q > 0 && seq_k > 0 && n_heads > 0 && n_kv_heads > 0 && n_heads % n_kv_heads == 0 &&
         head_dim > 0 && head_dim <= 128;
}

// Q, K, V uploaded into scratch buffers; OUT the size of Q.
struct AttentionBuffers {
  AttentionBuffers(gpu::Caches& c, uint64_t q_bytes, uint64_t kv_bytes)
      : q(c, q_bytes), k(c, kv_bytes), v(c, kv_bytes), out(c, q_bytes) {}
  explicit operator bool() const { return q && k && v && out; }
  ScratchLease q, k, v, out;
};

}  // namespace

extern "C" {

int orv_gpu_encoder_attention(float* out, const float* q, const float* k, const float* v,
                              int seq_q, int seq_k, int n_heads, int n_kv_heads, int head_dim,
                              float scale, int window_size, int q_offset) {
  gpu::Backend* b = gpu::backend();
  if (!b || !b->pipelines->get(gpu::Kernel::encoder_attention) || !out || !q || !k || !v ||
      !valid_heads(seq_q, seq_k, n_heads, n_kv_heads, head_dim))
    return -1;
  const uint64_t q_bytes = uint64_t(seq_q) * n_heads * head_dim * sizeof(float);
  const uint64_t kv_bytes = uint64_t(seq_k) * n_kv_heads * head_dim * sizeof(float);
  AttentionBuffers s(*b->caches, q_bytes, kv_bytes);
  if (!s) return -1;
  gpu::Recorder rec(*b->device, *b->pipelines);
  rec.upload(*s.q.get(), 0, q, q_bytes);
  rec.upload(*s.k.get(), 0, k, kv_bytes);
  rec.upload(*s.v.get(), 0, v, kv_bytes);
  const gpu::BlockAttention args{n_heads, n_kv_heads, head_dim, seq_q, seq_k, scale, window_size, q_offset};
  gpu::record_block_attention(rec, *b->caches, gpu::Kernel::encoder_attention, args, {s.q.get(), 0, q_bytes},
                              {s.k.get(), 0, kv_bytes}, {s.v.get(), 0, kv_bytes}, {s.out.get(), 0, q_bytes});
  rec.download(*s.out.get(), 0, out, q_bytes);
  return rec.run() ? 0 : -1;
}

int orv_gpu_attention(float* out, const float* q, const float* k, const float* v, int seq_q,
                      int seq_k, int n_heads, int n_kv_heads, int head_dim, float scale,
                      int window_size, int q_offset) {
  gpu::Backend* b = gpu::backend();
  if (!b || !b->pipelines->get(gpu::Kernel::causal_softmax) || !out || !q || !k || !v ||
      !valid_heads(seq_q, seq_k, n_heads, n_kv_heads, head_dim))
    return -1;
  const uint64_t q_bytes = uint64_t(seq_q) * n_heads * head_dim * sizeof(float);
  const uint64_t kv_bytes = uint64_t(seq_k) * n_kv_heads * head_dim * sizeof(float);
  const uint64_t rows = uint64_t(n_heads) * seq_q;
  const uint64_t score_bytes = rows * seq_k * sizeof(float);
  AttentionBuffers s(*b->caches, q_bytes, kv_bytes);
  ScratchLease scores(*b->caches, score_bytes);
  if (!s || !scores) return -1;
  const int group = n_heads / n_kv_heads, q_stride = n_heads * head_dim,
            kv_stride = n_kv_heads * head_dim;
  const gpu::Pipeline* gemm = b->pipelines->get(gpu::Kernel::gemm_f32);
  if (!gemm) return -1;
  auto tiles = [&](int m, int n) {
    return uint64_t((m + gemm->tile_m - 1) / gemm->tile_m) * ((n + gemm->tile_n - 1) / gemm->tile_n);
  };
  gpu::Recorder rec(*b->device, *b->pipelines);
  rec.upload(*s.q.get(), 0, q, q_bytes);
  rec.upload(*s.k.get(), 0, k, kv_bytes);
  rec.upload(*s.v.get(), 0, v, kv_bytes);
  for (int h = 0; h < n_heads; h++) {  // scores_h = scale * Q_h K_kv^T
    const gpu::GemmArgs a{seq_q, seq_k, head_dim, q_stride, kv_stride, seq_k, h * head_dim,
                          (h / group) * head_dim, h * seq_q * seq_k, 1, scale};
    rec.dispatch(gpu::Kernel::gemm_f32,
                 {{s.q.get(), 0, q_bytes}, {s.k.get(), 0, kv_bytes}, {scores.get(), 0, score_bytes}},
                 a, tiles(seq_q, seq_k));
  }
  struct SoftmaxArgs {
    int32_t seq_q, seq_k, window_size, q_offset, rows;
  };
  rec.dispatch(gpu::Kernel::causal_softmax, {{scores.get(), 0, score_bytes}},
               SoftmaxArgs{seq_q, seq_k, window_size, q_offset, int32_t(rows)}, rows);
  for (int h = 0; h < n_heads; h++) {  // out_h = P_h V_kv
    const gpu::GemmArgs a{seq_q, head_dim, seq_k, seq_k, kv_stride, q_stride, h * seq_q * seq_k,
                          (h / group) * head_dim, h * head_dim, 0, 1.0f};
    rec.dispatch(gpu::Kernel::gemm_f32,
                 {{scores.get(), 0, score_bytes}, {s.v.get(), 0, kv_bytes}, {s.out.get(), 0, q_bytes}},
                 a, tiles(seq_q, head_dim));
  }
  rec.download(*s.out.get(), 0, out, q_bytes);
  return rec.run() ? 0 : -1;
}

}  // extern "C"
