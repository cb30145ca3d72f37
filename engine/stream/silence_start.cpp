// Copies of the silence every stream starts with, taken from the first stream of a context that
// computes them and put back into the streams after it.
#include "stream/silence_start.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <new>

#include "network/context.h"
#include "stream/stream.h"

bool silence_restore_encoder(orv_stream_t* s) {
  orv_ctx_t* ctx = s->ctx;
  SilenceStart& shared = ctx->silence;
  const std::lock_guard hold(shared.lock);
  const SilenceEncoderState& c = shared.enc;
  KvCache& cache = s->enc.cache;
  if (!c.valid || !cache.reserve(c.kv_len, ORV_ENCODER_FIRST_ROWS)) return false;
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
  cache.load_rows(c.kv_k, c.kv_v, c.kv_len, c.kv_pos_offset);
  return true;
}

void silence_save_encoder(const orv_stream_t* s) {
  orv_ctx_t* ctx = s->ctx;
  SilenceStart& shared = ctx->silence;
  const std::lock_guard hold(shared.lock);
  SilenceEncoderState& c = shared.enc;
  if (c.valid) return;  // another stream got there first, with the same result
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
    c.kv_len = s->enc.cache.len;
    c.kv_pos_offset = s->enc.cache.pos_offset;
  } catch (const std::bad_alloc&) {
    return;  // no copy: every stream computes the silence
  }
  c.valid = s->enc.cache.save_rows(&c.kv_k, &c.kv_v, c.kv_len);
}

bool silence_restore_decoder(orv_ctx_t* ctx, KvCache* cache, int rows) {
  SilenceStart& shared = ctx->silence;
  const std::lock_guard hold(shared.lock);
  const SilenceDecoderState& c = shared.dec;
  if (!c.valid || c.rows != rows || c.delay_tokens != ctx->delay_tokens ||
      c.int8 != ctx->use_int8)
    return false;
  // The capacity a prefill of these rows would have given the cache.
  const int64_t first = int64_t{rows} + ctx->shape.decoder.window + ORV_DECODER_HEADROOM;
  if (first > INT_MAX || !cache->reserve(first, static_cast<int>(first))) return false;
  cache->load_rows(c.kv_k, c.kv_v, rows, 0);
  return true;
}

void silence_save_decoder(orv_ctx_t* ctx, const KvCache& cache, int rows) {
  SilenceStart& shared = ctx->silence;
  const std::lock_guard hold(shared.lock);
  SilenceDecoderState& c = shared.dec;
  if (c.valid && c.rows == rows && c.delay_tokens == ctx->delay_tokens && c.int8 == ctx->use_int8)
    return;
  c.valid = false;
  if (!cache.save_rows(&c.kv_k, &c.kv_v, rows)) return;
  c.rows = rows;
  c.delay_tokens = ctx->delay_tokens;
  c.int8 = ctx->use_int8;
  c.valid = true;
}
