// The text decoder: grouped-query attention over a key/value cache that is compacted to the
// attention window when full and grown only when compaction is not enough, a SwiGLU block whose
// input is scaled by the delay conditioning, and greedy choice through the tied embedding.
#include "network/decoder.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "base/bf16.h"
#include "gpu/gpu.h"
#include "kernels/int8_weights.h"
#include "kernels/kernels.h"
#include "network/context.h"
#include "network/gpu_weights.h"
#include "network/layer_buffers.h"

namespace {

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

// The same with layer matrix M of LAYER, at its size.
void project(const orv_ctx_t* ctx, float* y, const float* x, const orv_dec_layer_t& layer,
             DecoderMatrix m, int n) {
  const MatrixDims d = decoder_matrix_dims(BlockWidths(ctx->shape.decoder), m);
  project(ctx, y, x, layer.matrix(m), n, d.cols, d.rows);
}

// One decoder layer over x [n][dim], in place, for cache rows len .. len + n - 1 (written here;
// the length itself is advanced by the caller after the last layer).
void decoder_layer(const orv_ctx_t* ctx, KvCache& cache, int l, float* x, int n,
                   const float* rope, const LayerBuffers& b) {
  const orv_block_shape_t& s = ctx->shape.decoder;
  const orv_dec_layer_t& w = ctx->decoder.layers[l];
  const BlockWidths wd(s);
  const int start = cache.len;
  float* cache_k = cache.k_layer(l);
  float* cache_v = cache.v_layer(l);
  const float scale = 1.0f / std::sqrt(static_cast<float>(s.head_dim));

  orv_rms_norm(b.x_norm, x, w.attention_norm.get(), n, wd.dim, ORV_NORM_EPS);
  project(ctx, b.q, b.x_norm, w, DecoderMatrix::wq, n);
  project(ctx, b.k, b.x_norm, w, DecoderMatrix::wk, n);
  project(ctx, b.v, b.x_norm, w, DecoderMatrix::wv, n);
  orv_apply_rope(b.q, rope, n, s.heads, s.head_dim);
  orv_apply_rope(b.k, rope, n, s.kv_heads, s.head_dim);
  const size_t rows_bytes = size_t(n) * wd.kv_dim * sizeof(float);
  std::memcpy(cache_k + size_t(start) * wd.kv_dim, b.k, rows_bytes);
  std::memcpy(cache_v + size_t(start) * wd.kv_dim, b.v, rows_bytes);
  orv_attention(b.attn_out, b.q, cache_k, cache_v, n, start + n, s.heads, s.kv_heads, s.head_dim,
                s.window, start, scale);
  project(ctx, b.proj_out, b.attn_out, w, DecoderMatrix::wo, n);
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
  project(ctx, b.gate, b.x_norm, w, DecoderMatrix::w1, n);
  orv_silu(b.gate, n * wd.hidden);
  project(ctx, b.up, b.x_norm, w, DecoderMatrix::w3, n);
  orv_mul_inplace(b.gate, b.up, n * wd.hidden);
  project(ctx, b.ffn_out, b.gate, w, DecoderMatrix::w2, n);
  orv_add_inplace(x, b.ffn_out, n * wd.dim);
}

bool reserve_step_buffers(const orv_block_shape_t& s, DecoderState* st) {
  if (st->x.size() == size_t(s.dim)) return true;
  if (!st->work.reserve(1)) return false;
  try {
    st->rope.assign(s.head_dim, 0.0f);
    st->logits.assign(s.vocab, 0.0f);
    st->x.assign(s.dim, 0.0f);  // last: its size says that all of them exist
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

int orv_decoder_prefill(const orv_ctx_t* ctx, DecoderState* st, const float* embeds, int n) {
  if (!ctx || !st || n < 0 || (n > 0 && !embeds)) return -1;
  if (n == 0) return 0;
  const orv_block_shape_t& s = ctx->shape.decoder;
  const BlockWidths w(s);
  KvCache& cache = st->cache;
  if (!w.rows_fit(int64_t{cache.len} + n)) return -1;

  // A first cache holds the prompt and a window of steps; a full one doubles.
  const int64_t need = int64_t{cache.len} + n;
  const int64_t first = int64_t{n} + s.window + ORV_DECODER_HEADROOM;
  if (!cache || need > cache.capacity()) {
    const int64_t target = cache ? need + ORV_DECODER_HEADROOM : first;
    if (target > INT_MAX || !cache.reserve(target, static_cast<int>(target))) return -1;
  }

  try {
    const size_t rows = size_t(n);
    std::vector<float> x(embeds, embeds + rows * w.dim);
    std::vector<int32_t> positions(rows);
    for (int i = 0; i < n; i++) positions[i] = cache.pos_offset + cache.len + i;
    std::vector<float> rope(rows * s.head_dim);
    orv_rope_freqs(rope.data(), positions.data(), n, s.head_dim, ORV_ROPE_THETA);

    // When the GPU prefill declines, the CPU runs the same rows (restored, in case it used them
    // as scratch).
    if (orv_gpu_available()) {
      if (orv_gpu_decoder_prefill(gpu_decoder_weights(*ctx), gpu_kv_view(cache), x.data(), n,
                                  rope.data()) >= 0) {
        cache.len += n;
        return 0;
      }
      std::copy(embeds, embeds + rows * w.dim, x.begin());
    }

    LayerWork work(w);
    if (!work.reserve(rows)) return -1;
    const LayerBuffers b = work.view();
    for (int l = 0; l < s.layers; l++) {
      decoder_layer(ctx, cache, l, x.data(), n, rope.data(), b);
      report_prefill_layer(l + 1, s.layers);
    }
  } catch (const std::bad_alloc&) {
    return -1;
  }
  cache.len += n;
  return 0;
}

int orv_decoder_step(const orv_ctx_t* ctx, DecoderState* st, const float* embed, float* logits) {
  if (!ctx || !st || !embed || !reserve_step_buffers(ctx->shape.decoder, st)) return ORV_TOKEN_EOS;
  const orv_block_shape_t& s = ctx->shape.decoder;
  const BlockWidths w(s);
  KvCache& cache = st->cache;
  float* x = st->x.data();
  std::memcpy(x, embed, size_t(w.dim) * sizeof(float));

  // A full cache first drops the rows no query can see any more; it grows only when that is not
  // enough.
  if (!cache || cache.len >= cache.capacity()) {
    if (cache && cache.len > s.window) cache.keep_latest(s.window);
    if (!cache || cache.len >= cache.capacity()) {
      const int64_t target = int64_t{cache.len} + ORV_DECODER_HEADROOM;
      if (target > INT_MAX || !cache.reserve(target, static_cast<int>(target)))
        return ORV_TOKEN_EOS;
    }
  }

  const int32_t position = cache.pos_offset + cache.len;
  float* rope = st->rope.data();
  orv_rope_freqs(rope, &position, 1, s.head_dim, ORV_ROPE_THETA);

  if (orv_gpu_available()) {
    const int token =
        orv_gpu_decoder_step(gpu_decoder_weights(*ctx), gpu_kv_view(cache), x, rope, logits);
    if (token >= 0) {
      cache.len += 1;
      return token;
    }
    std::memcpy(x, embed, size_t(w.dim) * sizeof(float));
  }

  if (!logits) logits = st->logits.data();
  const LayerBuffers b = st->work.view();
  for (int l = 0; l < s.layers; l++) decoder_layer(ctx, cache, l, x, 1, rope, b);
  cache.len += 1;

  orv_rms_norm(x, x, ctx->decoder.norm.get(), 1, w.dim, ORV_NORM_EPS);
  project(ctx, logits, x, ctx->decoder.tok_embeddings_bf16, 1, w.dim, s.vocab);
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
