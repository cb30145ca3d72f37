// Copies of the silence every stream starts with, taken from the first stream of a context that
// computes them and put back into the streams after it.
#include "silence_start.h"

#include <algorithm>
#include <cstddef>
#include <new>

#include "context.h"
#include "gpu/gpu.h"
#include "stream.h"

namespace {

size_t kv_width(const orv_block_shape_t& s) { return size_t(s.kv_heads) * s.head_dim; }

// Rows 0 .. ROWS - 1 of every layer of a cache (CAPACITY rows per layer) into packed copies.
void save_rows(std::vector<float>& k, std::vector<float>& v, const FloatBlock& cache_k,
               const FloatBlock& cache_v, int capacity, const orv_block_shape_t& s, int rows) {
  const size_t w = kv_width(s), count = size_t(s.layers) * size_t(rows) * w;
  k.resize(count);
  v.resize(count);
  copy_cache_rows(k.data(), size_t(rows), cache_k.data(), size_t(capacity), s.layers, w, rows);
  copy_cache_rows(v.data(), size_t(rows), cache_v.data(), size_t(capacity), s.layers, w, rows);
}

void restore_rows(const std::vector<float>& k, const std::vector<float>& v, FloatBlock& cache_k,
                  FloatBlock& cache_v, int capacity, const orv_block_shape_t& s, int rows) {
  const size_t w = kv_width(s);
  copy_cache_rows(cache_k.data(), size_t(capacity), k.data(), size_t(rows), s.layers, w, rows);
  copy_cache_rows(cache_v.data(), size_t(capacity), v.data(), size_t(rows), s.layers, w, rows);
  orv_gpu_shared_changed(cache_k.data());  // the GPU's copy of the cache is out of date
  orv_gpu_shared_changed(cache_v.data());
}

}  // namespace

bool silence_restore_encoder(orv_stream_t* s) {
  orv_ctx_t* ctx = s->ctx;
  const SilenceEncoderState& c = ctx->silence.enc;
  if (!c.valid || !ctx->enc_kv_cache_k || ctx->enc_kv_cache_max < c.kv_len) return false;
  int cap = s->adapter_cap ? s->adapter_cap : 256;
  while (cap < c.n_adapter) cap *= 2;
  try {
    if (cap > s->adapter_cap)
      s->adapter_rows.resize(size_t(cap) * size_t(ctx->shape.decoder.dim));
    s->conv0_hist = c.conv0_hist;
    s->conv1_hist = c.conv1_hist;
    s->conv_carry = c.conv_carry;
    s->enc_residual = c.enc_residual;
  } catch (const std::bad_alloc&) {
    return false;  // the stream computes the silence itself
  }
  s->adapter_cap = cap;
  std::copy(c.adapter_rows.begin(), c.adapter_rows.end(), s->adapter_rows.begin());
  s->n_adapter = c.n_adapter;
  s->has_carry = c.has_carry;
  s->n_residual = c.n_residual;
  s->mel_consumed = c.mel_consumed;
  s->mel_restored = c.mel_consumed;
  s->enc_started = true;
  restore_rows(c.kv_k, c.kv_v, ctx->enc_kv_cache_k, ctx->enc_kv_cache_v, ctx->enc_kv_cache_max,
               ctx->shape.encoder, c.kv_len);
  ctx->enc_kv_cache_len = c.kv_len;
  ctx->enc_kv_pos_offset = c.kv_pos_offset;
  return true;
}

void silence_save_encoder(const orv_stream_t* s) {
  orv_ctx_t* ctx = s->ctx;
  SilenceEncoderState& c = ctx->silence.enc;
  c.valid = false;
  try {
    c.mel_consumed = s->mel_consumed;
    c.conv0_hist = s->conv0_hist;
    c.conv1_hist = s->conv1_hist;
    c.conv_carry = s->conv_carry;
    c.has_carry = s->has_carry;
    c.enc_residual = s->enc_residual;
    c.n_residual = s->n_residual;
    const size_t dim = size_t(ctx->shape.decoder.dim);
    c.adapter_rows.assign(s->adapter_rows.begin(),
                          s->adapter_rows.begin() + ptrdiff_t(size_t(s->n_adapter) * dim));
    c.n_adapter = s->n_adapter;
    c.kv_len = ctx->enc_kv_cache_len;
    c.kv_pos_offset = ctx->enc_kv_pos_offset;
    save_rows(c.kv_k, c.kv_v, ctx->enc_kv_cache_k, ctx->enc_kv_cache_v, ctx->enc_kv_cache_max,
              ctx->shape.encoder, c.kv_len);
  } catch (const std::bad_alloc&) {
    return;  // no copy: every stream computes the silence
  }
  c.valid = true;
}

bool silence_restore_decoder(orv_ctx_t* ctx, int rows) {
  const SilenceDecoderState& c = ctx->silence.dec;
  if (!c.valid || c.rows != rows || c.delay_tokens != ctx->delay_tokens ||
      c.int8 != ctx->use_int8 || !ctx->kv_cache_k || ctx->kv_cache_max < rows)
    return false;
  restore_rows(c.kv_k, c.kv_v, ctx->kv_cache_k, ctx->kv_cache_v, ctx->kv_cache_max,
               ctx->shape.decoder, rows);
  ctx->kv_cache_len = rows;
  return true;
}

void silence_save_decoder(orv_ctx_t* ctx, int rows) {
  SilenceDecoderState& c = ctx->silence.dec;
  c.valid = false;
  try {
    save_rows(c.kv_k, c.kv_v, ctx->kv_cache_k, ctx->kv_cache_v, ctx->kv_cache_max,
              ctx->shape.decoder, rows);
  } catch (const std::bad_alloc&) {
    return;
  }
  c.rows = rows;
  c.delay_tokens = ctx->delay_tokens;
  c.int8 = ctx->use_int8;
  c.valid = true;
}
