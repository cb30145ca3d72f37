// The text decoder: grouped-query attention over a key/value cache that is compacted to the
// attention window when full and grown only when compaction is not enough, a SwiGLU block whose
// input is scaled by the delay conditioning, and greedy choice through the tied embedding.
#include "decoder.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "bf16.h"
#include "context.h"
#include "gpu/gpu.h"
#include "int8_weights.h"
#include "kernels.h"
#include "layer_buffers.h"

namespace {

size_t layer_stride(const orv_ctx_t* ctx) {
  const orv_block_shape_t& s = ctx->shape.decoder;
  return size_t(ctx->kv_cache_max) * s.kv_heads * s.head_dim;
}

// y [n][out] = x [n][k] W^T, with W's INT8 form while the context decodes in INT8.
void project(const orv_ctx_t* ctx, float* y, const float* x, const uint16_t* w, int n, int k,
             int out) {
  orv_int8_matrix_t q;
  if (ctx->use_int8 && orv_int8_find(&ctx->int8, w, &q)) {
    orv_linear_int8(y, x, &q, n);
    return;
  }
  orv_linear_nobias_bf16(y, x, w, n, k, out);
}

// One decoder layer over x [n][dim], in place, for cache rows kv_cache_len .. kv_cache_len + n - 1
// (written here; kv_cache_len itself is advanced by the caller after the last layer).
void decoder_layer(orv_ctx_t* ctx, int l, float* x, int n, const float* rope,
                   const LayerBuffers& b) {
  const orv_block_shape_t& s = ctx->shape.decoder;
  const orv_dec_layer_t& w = ctx->decoder.layers[l];
  const BlockWidths wd(s);
  const int start = ctx->kv_cache_len;
  float* cache_k = ctx->kv_cache_k.data() + l * layer_stride(ctx);
  float* cache_v = ctx->kv_cache_v.data() + l * layer_stride(ctx);
  const float scale = 1.0f / std::sqrt(static_cast<float>(s.head_dim));

  orv_rms_norm(b.x_norm, x, w.attention_norm.get(), n, wd.dim, ORV_NORM_EPS);
  project(ctx, b.q, b.x_norm, w.wq_weight_bf16, n, wd.dim, wd.q_dim);
  project(ctx, b.k, b.x_norm, w.wk_weight_bf16, n, wd.dim, wd.kv_dim);
  project(ctx, b.v, b.x_norm, w.wv_weight_bf16, n, wd.dim, wd.kv_dim);
  orv_apply_rope(b.q, rope, n, s.heads, s.head_dim);
  orv_apply_rope(b.k, rope, n, s.kv_heads, s.head_dim);
  const size_t rows_bytes = size_t(n) * wd.kv_dim * sizeof(float);
  std::memcpy(cache_k + size_t(start) * wd.kv_dim, b.k, rows_bytes);
  std::memcpy(cache_v + size_t(start) * wd.kv_dim, b.v, rows_bytes);
  orv_attention(b.attn_out, b.q, cache_k, cache_v, n, start + n, s.heads, s.kv_heads, s.head_dim,
                s.window, start, scale);
  project(ctx, b.proj_out, b.attn_out, w.wo_weight_bf16, n, wd.q_dim, wd.dim);
  orv_add_inplace(x, b.proj_out, n * wd.dim);

  orv_rms_norm(b.x_norm, x, w.ffn_norm.get(), n, wd.dim, ORV_NORM_EPS);
  // The delay conditioning scales only the feed-forward input: h * (1 + s_l).
  if (ctx->ada_scale.size() >= size_t(s.layers) * wd.dim) {
    const float* ada = ctx->ada_scale.data() + size_t(l) * wd.dim;
    for (int i = 0; i < n; i++) {
      float* h = b.x_norm + size_t(i) * wd.dim;
      for (int j = 0; j < wd.dim; j++) h[j] = std::fma(ada[j], h[j], h[j]);
    }
  }
  project(ctx, b.gate, b.x_norm, w.w1_weight_bf16, n, wd.dim, wd.hidden);
  orv_silu(b.gate, n * wd.hidden);
  project(ctx, b.up, b.x_norm, w.w3_weight_bf16, n, wd.dim, wd.hidden);
  orv_mul_inplace(b.gate, b.up, n * wd.hidden);
  project(ctx, b.ffn_out, b.gate, w.w2_weight_bf16, n, wd.hidden, wd.dim);
  orv_add_inplace(x, b.ffn_out, n * wd.dim);
}

// Keeps the latest `window` rows of a full cache. The window equals the rows kept, so no key
// that a later query could see is dropped; rotary positions stay kv_pos_offset + index.
void compact_cache(orv_ctx_t* ctx) {
  const orv_block_shape_t& s = ctx->shape.decoder;
  const int shift = ctx->kv_cache_len - s.window;
  if (shift <= 0) return;
  const size_t kv_dim = size_t(s.kv_heads) * s.head_dim;
  for (float* base : {ctx->kv_cache_k.data(), ctx->kv_cache_v.data()})
    drop_cache_rows(base, size_t(ctx->kv_cache_max), s.layers, kv_dim, shift, s.window);
  ctx->kv_pos_offset += shift;
  ctx->kv_cache_len = s.window;
}

bool reserve_step_buffers(orv_ctx_t* ctx) {
  const orv_block_shape_t& s = ctx->shape.decoder;
  const BlockWidths w(s);
  if (ctx->dec_x.size() == size_t(w.dim)) return true;
  try {
    ctx->dec_x_norm.assign(w.dim, 0.0f);
    ctx->dec_q.assign(w.q_dim, 0.0f);
    ctx->dec_k.assign(w.kv_dim, 0.0f);
    ctx->dec_v.assign(w.kv_dim, 0.0f);
    ctx->dec_attn_out.assign(w.q_dim, 0.0f);
    ctx->dec_proj_out.assign(w.dim, 0.0f);
    ctx->dec_gate.assign(w.hidden, 0.0f);
    ctx->dec_up.assign(w.hidden, 0.0f);
    ctx->dec_ffn_out.assign(w.dim, 0.0f);
    ctx->dec_rope_freqs.assign(s.head_dim, 0.0f);
    ctx->dec_logits.assign(s.vocab, 0.0f);
    ctx->dec_x.assign(w.dim, 0.0f);  // last: its size says that all of them exist
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

int argmax_lowest(const float* v, int n) {
  int best = 0;
  for (int i = 1; i < n; i++)
    if (v[i] > v[best]) best = i;
  return best;
}

void report_prefill_layer(int done, int layers) {
  if (orv_verbose >= 2 && (done % 8 == 0 || done == layers))
    std::fprintf(stderr, "  Decoder prefill layer %d/%d\n", done, layers);
}

}  // namespace

extern "C" {

int orv_kv_cache_init(orv_ctx_t* ctx, int capacity) {
  if (!ctx) return -1;
  if (ctx->kv_cache_k) return 0;
  if (capacity < 1) return -1;
  const orv_block_shape_t& s = ctx->shape.decoder;
  if (!alloc_cache_pair(s.layers, size_t(capacity), size_t(s.kv_heads) * s.head_dim,
                        &ctx->kv_cache_k, &ctx->kv_cache_v))
    return -1;
  ctx->kv_cache_len = 0;
  ctx->kv_cache_max = capacity;
  return 0;
}

int orv_kv_cache_grow(orv_ctx_t* ctx, int needed) {
  if (!ctx) return -1;
  if (ctx->kv_cache_k && ctx->kv_cache_max >= needed) return 0;
  // Without a cache there is nothing to double: allocate what is asked for.
  int64_t capacity = ctx->kv_cache_k ? ctx->kv_cache_max : std::max(needed, 1);
  while (capacity < needed) capacity *= 2;
  capacity = std::min<int64_t>(capacity, INT_MAX);
  const orv_block_shape_t& s = ctx->shape.decoder;
  const size_t kv_dim = size_t(s.kv_heads) * s.head_dim;
  FloatBlock k, v;
  if (!alloc_cache_pair(s.layers, size_t(capacity), kv_dim, &k, &v)) return -1;
  if (ctx->kv_cache_k) {
    const size_t old_capacity = size_t(ctx->kv_cache_max);
    copy_cache_rows(k.data(), size_t(capacity), ctx->kv_cache_k.data(), old_capacity, s.layers,
                    kv_dim, ctx->kv_cache_len);
    copy_cache_rows(v.data(), size_t(capacity), ctx->kv_cache_v.data(), old_capacity, s.layers,
                    kv_dim, ctx->kv_cache_len);
  } else {
    ctx->kv_cache_len = 0;
  }
  ctx->kv_cache_k = std::move(k);
  ctx->kv_cache_v = std::move(v);
  ctx->kv_cache_max = static_cast<int>(capacity);
  return 0;
}

int orv_decoder_prefill(orv_ctx_t* ctx, const float* embeds, int n) {
  if (!ctx || n < 0 || (n > 0 && !embeds)) return -1;
  if (n == 0) return 0;
  const orv_block_shape_t& s = ctx->shape.decoder;
  const BlockWidths w(s);
  if (!w.rows_fit(int64_t{ctx->kv_cache_len} + n)) return -1;

  if (ctx->kv_cache_k) {
    const int64_t need = int64_t{ctx->kv_cache_len} + n;
    if (need > ctx->kv_cache_max) {
      const int64_t target = need + ORV_DECODER_HEADROOM;
      if (target > INT_MAX || orv_kv_cache_grow(ctx, static_cast<int>(target)) != 0) return -1;
    }
  } else {
    const int64_t capacity = int64_t{n} + s.window + ORV_DECODER_HEADROOM;
    if (capacity > INT_MAX || orv_kv_cache_init(ctx, static_cast<int>(capacity)) != 0) return -1;
  }

  try {
    const size_t rows = size_t(n);
    std::vector<float> x(embeds, embeds + rows * w.dim);
    std::vector<int32_t> positions(rows);
    for (int i = 0; i < n; i++) positions[i] = ctx->kv_pos_offset + ctx->kv_cache_len + i;
    std::vector<float> rope(rows * s.head_dim);
    orv_rope_freqs(rope.data(), positions.data(), n, s.head_dim, ORV_ROPE_THETA);

    // The GPU prefill advances kv_cache_len itself; when it declines, the CPU runs the same rows
    // (restored, in case it used them as scratch).
    if (orv_gpu_available()) {
      if (orv_gpu_decoder_prefill(ctx, x.data(), n, rope.data()) >= 0) return 0;
      std::copy(embeds, embeds + rows * w.dim, x.begin());
    }

    OwnedLayerBuffers work(w, rows);
    const LayerBuffers b = work.view();
    for (int l = 0; l < s.layers; l++) {
      decoder_layer(ctx, l, x.data(), n, rope.data(), b);
      report_prefill_layer(l + 1, s.layers);
    }
  } catch (const std::bad_alloc&) {
    return -1;
  }
  ctx->kv_cache_len += n;
  return 0;
}

int orv_decoder_step(orv_ctx_t* ctx, const float* embed, float* logits) {
  if (!ctx || !embed || !reserve_step_buffers(ctx)) return ORV_TOKEN_EOS;
  const orv_block_shape_t& s = ctx->shape.decoder;
  const BlockWidths w(s);
  std::memcpy(ctx->dec_x.data(), embed, size_t(w.dim) * sizeof(float));

  if (!ctx->kv_cache_k || ctx->kv_cache_len >= ctx->kv_cache_max) {
    if (ctx->kv_cache_k && ctx->kv_cache_len > s.window) compact_cache(ctx);
    if (!ctx->kv_cache_k || ctx->kv_cache_len >= ctx->kv_cache_max) {
      const int64_t target = int64_t{ctx->kv_cache_len} + ORV_DECODER_HEADROOM;
      if (target > INT_MAX || orv_kv_cache_grow(ctx, static_cast<int>(target)) != 0)
        return ORV_TOKEN_EOS;
    }
  }

  const int32_t position = ctx->kv_pos_offset + ctx->kv_cache_len;
  float* rope = ctx->dec_rope_freqs.data();
  orv_rope_freqs(rope, &position, 1, s.head_dim, ORV_ROPE_THETA);

  if (orv_gpu_available()) {
    const int token = orv_gpu_decoder_step(ctx, ctx->dec_x.data(), rope, logits);
    if (token >= 0) return token;
    std::memcpy(ctx->dec_x.data(), embed, size_t(w.dim) * sizeof(float));
  }

  if (!logits) logits = ctx->dec_logits.data();
  const LayerBuffers b{ctx->dec_x_norm.data(), ctx->dec_q.data(),        ctx->dec_k.data(),
                       ctx->dec_v.data(),      ctx->dec_attn_out.data(), ctx->dec_proj_out.data(),
                       ctx->dec_gate.data(),   ctx->dec_up.data(),       ctx->dec_ffn_out.data()};
  for (int l = 0; l < s.layers; l++) decoder_layer(ctx, l, ctx->dec_x.data(), 1, rope, b);
  ctx->kv_cache_len += 1;

  orv_rms_norm(ctx->dec_x.data(), ctx->dec_x.data(), ctx->decoder.norm.get(), 1, w.dim,
               ORV_NORM_EPS);
  project(ctx, logits, ctx->dec_x.data(), ctx->decoder.tok_embeddings_bf16, 1, w.dim, s.vocab);
  return argmax_lowest(logits, s.vocab);
}

void orv_token_embedding(const orv_ctx_t* ctx, int id, float* out) {
  if (!ctx || !out) return;
  const orv_block_shape_t& s = ctx->shape.decoder;
  if (id < 0 || id >= s.vocab || !ctx->decoder.tok_embeddings_bf16) {
    std::fill_n(out, s.dim, 0.0f);
    return;
  }
  const uint16_t* row = ctx->decoder.tok_embeddings_bf16 + size_t(id) * s.dim;
  orv_bf16_widen(out, row, size_t(s.dim));
}

}  // extern "C"
