// The causal audio encoder: a two-convolution stem, pre-norm transformer layers with causal
// sliding-window attention and rotary positions, and a final RMS norm. The whole-sequence form
// and the incremental form run the same layer; they differ only in where its keys and values
// live (the call's own rows, or the encoder key/value cache).
#include "network/encoder.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "gpu/gpu.h"
#include "kernels/kernels.h"
#include "network/context.h"
#include "network/gpu_weights.h"
#include "network/layer_buffers.h"

namespace {

constexpr int kStemKernel = 3;

using FloatResult = std::unique_ptr<float[], FreeDeleter>;

bool report_layer(int done, int layers) { return done % 8 == 0 || done == layers; }

// Adds BIAS (when there is one) to each of the ROWS rows of Y.
void add_bias_rows(float* y, const float* bias, int rows, int width) {
  if (!bias) return;
  for (int r = 0; r < rows; r++) orv_add_inplace(y + size_t(r) * width, bias, width);
}

// One encoder layer over x [n][dim], in place. KV_K / KV_V point at the layer's key and value
// row 0; this call's rows go to START .. START + n - 1 and the attention reads rows 0 .. START +
// n - 1. The whole-sequence form passes its own k and v buffers with START 0, so nothing moves.
void encoder_layer(const orv_block_shape_t& s, const orv_enc_layer_t& w, float* x, int n,
                   const float* rope, const LayerBuffers& b, float* kv_k, float* kv_v, int start) {
  const BlockWidths wd(s);
  const float scale = 1.0f / std::sqrt(static_cast<float>(s.head_dim));

  orv_rms_norm(b.x_norm, x, w.attention_norm.get(), n, wd.dim, ORV_NORM_EPS);
  if (orv_gpu_available() &&
      orv_gpu_qkv(n, wd.dim, b.x_norm, w.wq_weight_bf16, wd.q_dim, w.wk_weight_bf16, wd.kv_dim,
                  w.wv_weight_bf16, wd.kv_dim, b.q, b.k, b.v) == 0) {
    add_bias_rows(b.q, w.wq_bias.get(), n, wd.q_dim);
    add_bias_rows(b.v, w.wv_bias.get(), n, wd.kv_dim);
  } else {
    orv_linear_bf16(b.q, b.x_norm, w.wq_weight_bf16, w.wq_bias.get(), n, wd.dim, wd.q_dim);
    orv_linear_nobias_bf16(b.k, b.x_norm, w.wk_weight_bf16, n, wd.dim, wd.kv_dim);
    orv_linear_bf16(b.v, b.x_norm, w.wv_weight_bf16, w.wv_bias.get(), n, wd.dim, wd.kv_dim);
  }
  orv_apply_rope(b.q, rope, n, s.heads, s.head_dim);
  orv_apply_rope(b.k, rope, n, s.kv_heads, s.head_dim);
  if (kv_k != b.k) {
    const size_t rows_bytes = size_t(n) * wd.kv_dim * sizeof(float);
    std::memcpy(kv_k + size_t(start) * wd.kv_dim, b.k, rows_bytes);
    std::memcpy(kv_v + size_t(start) * wd.kv_dim, b.v, rows_bytes);
  }
  // The attention gets only the rows the first query can see: the cache may hold older ones.
  const int seen = std::max(0, start - s.window + 1);
  const float* keys = kv_k + size_t(seen) * wd.kv_dim;
  const float* values = kv_v + size_t(seen) * wd.kv_dim;
  const int n_kv = start + n - seen, q_offset = start - seen;
  if (!orv_gpu_available() ||
      orv_gpu_encoder_attention(b.attn_out, b.q, keys, values, n, n_kv, s.heads, s.kv_heads,
                                s.head_dim, scale, s.window, q_offset) != 0)
    orv_attention(b.attn_out, b.q, keys, values, n, n_kv, s.heads, s.kv_heads, s.head_dim,
                  s.window, q_offset, scale);
  orv_linear_bf16(b.proj_out, b.attn_out, w.wo_weight_bf16, w.wo_bias.get(), n, wd.q_dim, wd.dim);
  orv_add_inplace(x, b.proj_out, n * wd.dim);

  orv_rms_norm(b.x_norm, x, w.ffn_norm.get(), n, wd.dim, ORV_NORM_EPS);
  if (orv_gpu_available() &&
      orv_gpu_ffn(n, wd.dim, wd.hidden, b.x_norm, w.w1_weight_bf16, w.w3_weight_bf16,
                  w.w2_weight_bf16, b.ffn_out) == 0) {
    add_bias_rows(b.ffn_out, w.w2_bias.get(), n, wd.dim);
  } else {
    orv_linear_nobias_bf16(b.gate, b.x_norm, w.w1_weight_bf16, n, wd.dim, wd.hidden);
    orv_silu(b.gate, n * wd.hidden);
    orv_linear_nobias_bf16(b.up, b.x_norm, w.w3_weight_bf16, n, wd.dim, wd.hidden);
    orv_mul_inplace(b.gate, b.up, n * wd.hidden);
    orv_linear_bf16(b.ffn_out, b.gate, w.w2_weight_bf16, w.w2_bias.get(), n, wd.hidden, wd.dim);
  }
  orv_add_inplace(x, b.ffn_out, n * wd.dim);
}

// Rotary table [n][head_dim] for absolute positions FIRST .. FIRST + n - 1.
void rope_table(float* table, int32_t* positions, int first, int n, int head_dim) {
  for (int i = 0; i < n; i++) positions[i] = first + i;
  orv_rope_freqs(table, positions, n, head_dim, ORV_ROPE_THETA);
}

// GELU over ROWS rows of LEN values, a row at a time so that no count exceeds int.
void gelu_rows(float* x, int rows, int len) {
  for (int r = 0; r < rows; r++) orv_gelu(x + size_t(r) * len, len);
}

}  // namespace

void orv_encoder_conv0(const orv_ctx_t* ctx, const float* in, int l_in, float* out) {
  if (!ctx || !in || !out || l_in < 1) return;
  const int dim = ctx->shape.encoder.dim;
  orv_causal_conv1d(out, in, ctx->encoder.conv0_weight.get(), ctx->encoder.conv0_bias.get(),
                    ORV_MEL_BINS, dim, l_in, kStemKernel, 1);
  gelu_rows(out, dim, l_in);
}

void orv_encoder_conv1(const orv_ctx_t* ctx, const float* in, int l_in, float* out) {
  if (!ctx || !in || !out || l_in < 1) return;
  const int dim = ctx->shape.encoder.dim;
  orv_causal_conv1d(out, in, ctx->encoder.conv1_weight.get(), ctx->encoder.conv1_bias.get(), dim,
                    dim, l_in, kStemKernel, 2);
  gelu_rows(out, dim, l_in / 2 + l_in % 2);
}

float* orv_encoder_forward(const orv_ctx_t* ctx, const float* mel, int n_frames, int* out_len) {
  if (out_len) *out_len = 0;
  if (!ctx || !mel || !out_len || n_frames < 1) return nullptr;
  const orv_block_shape_t& s = ctx->shape.encoder;
  const BlockWidths w(s);
  if (orv_verbose >= 2) std::fprintf(stderr, "Encoder: %d mel frames\n", n_frames);
  // The convolutions' column matrices are the stem's widest buffers.
  if (!w.rows_fit(n_frames, int64_t{kStemKernel} * std::max(w.dim, int{ORV_MEL_BINS}))) {
    std::fprintf(stderr, "orv_encoder_forward: too many mel frames (%d)\n", n_frames);
    return nullptr;
  }
  const int n = n_frames;
  const int len = n / 2 + n % 2;
  LayerWork work(w);
  if (!work.reserve(size_t(len))) return nullptr;
  FloatResult x(static_cast<float*>(std::malloc(size_t(len) * w.dim * sizeof(float))));
  if (!x) return nullptr;
  try {
    // The stem works channel-major.
    std::vector<float> mel_t(size_t(ORV_MEL_BINS) * n);
    for (int t = 0; t < n; t++)
      for (int c = 0; c < ORV_MEL_BINS; c++)
        mel_t[size_t(c) * n + t] = mel[size_t(t) * ORV_MEL_BINS + c];
    std::vector<float> stem0(size_t(w.dim) * n);
    orv_encoder_conv0(ctx, mel_t.data(), n, stem0.data());
    mel_t = {};
    std::vector<float> stem1(size_t(w.dim) * len);
    orv_encoder_conv1(ctx, stem0.data(), n, stem1.data());
    stem0 = {};
    for (int c = 0; c < w.dim; c++)
      for (int t = 0; t < len; t++) x[size_t(t) * w.dim + c] = stem1[size_t(c) * len + t];
    stem1 = {};
    if (orv_verbose >= 2) std::fprintf(stderr, "  Conv stem: %d frames -> %d\n", n, len);

    std::vector<int32_t> positions(len);
    std::vector<float> rope(size_t(len) * s.head_dim);
    rope_table(rope.data(), positions.data(), 0, len, s.head_dim);
    const LayerBuffers b = work.view();
    for (int l = 0; l < s.layers; l++) {
      encoder_layer(s, ctx->encoder.layers[l], x.get(), len, rope.data(), b, b.k, b.v, 0);
      if (orv_verbose >= 2 && report_layer(l + 1, s.layers))
        std::fprintf(stderr, "  Encoder layer %d/%d\n", l + 1, s.layers);
    }
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  orv_rms_norm(x.get(), x.get(), ctx->encoder.norm.get(), len, w.dim, ORV_NORM_EPS);
  *out_len = len;
  return x.release();
}

float* orv_encoder_forward_incremental(const orv_ctx_t* ctx, EncoderState* st, const float* x,
                                       int n, int* out_len) {
  if (out_len) *out_len = 0;
  if (!ctx || !st || !x || !out_len || n < 1) return nullptr;
  const orv_block_shape_t& s = ctx->shape.encoder;
  const BlockWidths w(s);
  if (!w.rows_fit(int64_t{s.window} + n)) return nullptr;
  KvCache& cache = st->cache;

  // Every key a new query can see is in the latest `window` rows. Older rows stay until the new
  // ones would not fit, so the window moves to the front once per (capacity - window - n) rows
  // added instead of on every call.
  if (cache.len > s.window && int64_t{cache.len} + n > cache.capacity())
    cache.keep_latest(s.window);
  if (!cache.reserve(int64_t{cache.len} + n, ORV_ENCODER_FIRST_ROWS)) return nullptr;
  if (orv_verbose >= 2)
    std::fprintf(stderr, "  Encoder incremental: %d new positions (cache: %d, offset: %d)\n", n,
                 cache.len, cache.pos_offset);

  const size_t count = size_t(n) * w.dim;
  FloatResult r(static_cast<float*>(std::malloc(count * sizeof(float))));
  if (!r) return nullptr;
  std::memcpy(r.get(), x, count * sizeof(float));
  if (!st->work.reserve(size_t(n))) return nullptr;
  try {
    st->positions.resize(size_t(n));
    st->rope.resize(size_t(n) * s.head_dim);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }

  const int start = cache.len;
  float* rope = st->rope.data();
  rope_table(rope, st->positions.data(), cache.pos_offset + start, n, s.head_dim);

  bool done = false;
  if (orv_gpu_available() && cache.is_shared()) {
    done = orv_gpu_encoder_pass(gpu_encoder_weights(*ctx), gpu_kv_view(cache), r.get(), n,
                                rope) == 0;
    if (!done) std::memcpy(r.get(), x, count * sizeof(float));  // it may have used r as scratch
  }
  if (!done) {
    const LayerBuffers b = st->work.view();
    for (int l = 0; l < s.layers; l++) {
      encoder_layer(s, ctx->encoder.layers[l], r.get(), n, rope, b, cache.k_layer(l),
                    cache.v_layer(l), start);
      if (orv_verbose >= 2 && report_layer(l + 1, s.layers))
        std::fprintf(stderr, "  Encoder inc layer %d/%d\n", l + 1, s.layers);
    }
    orv_rms_norm(r.get(), r.get(), ctx->encoder.norm.get(), n, w.dim, ORV_NORM_EPS);
  }
  cache.len = start + n;
  *out_len = n;
  return r.release();
}

