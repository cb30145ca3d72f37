// The two pumps of a stream. The encoder pump turns new mel frames into adapter rows (one per
// 80 ms): the convolution stem with its boundary state, the incremental encoder and the adapter
// in groups of four positions. The decoder pump turns adapter rows into token ids, one per row,
// and queues the strings of text tokens.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "network/adapter.h"
#include "network/context.h"
#include "network/decoder.h"
#include "network/encoder.h"
#include "stream/silence_start.h"
#include "stream/stream.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

using FloatPtr = std::unique_ptr<float[], FreeDeleter>;

// Convolution stem over N mel frames [n][128]: returns the new encoder inputs, position-major
// [n_pos][enc dim]. Both convolutions see the columns before this run through the histories, and
// the stride-2 convolution only ever gets an even count of columns (one may be held back for the
// next run), so the output does not depend on how the frames were divided into runs.
std::vector<float> run_stem(orv_stream_t* s, const float* frames, int n, int* n_pos) {
  const orv_ctx_t* ctx = s->ctx;
  const size_t dim = static_cast<size_t>(ctx->shape.encoder.dim);
  const size_t l0 = static_cast<size_t>(n) + 2;
  if (s->conv0_hist.empty()) {
    s->conv0_hist.assign(ORV_MEL_BINS * 2, 0.f);
    s->conv1_hist.assign(dim * 2, 0.f);
    s->conv_carry.assign(dim, 0.f);
  }

  // First convolution: two history frames, then the new frames, channel-major.
  std::vector<float> in0(ORV_MEL_BINS * l0);
  for (size_t c = 0; c < ORV_MEL_BINS; c++) {
    float* row = &in0[c * l0];
    row[0] = s->conv0_hist[c * 2];
    row[1] = s->conv0_hist[c * 2 + 1];
    for (size_t j = 0; j < static_cast<size_t>(n); j++) row[2 + j] = frames[j * ORV_MEL_BINS + c];
  }
  std::vector<float> out0(dim * l0);

  const int total = (s->has_carry ? 1 : 0) + n;
  const bool hold = total % 2 != 0;
  const size_t m = static_cast<size_t>(total - (hold ? 1 : 0));
  const size_t l1 = m + 2;
  std::vector<float> in1(m ? dim * l1 : 0);
  std::vector<float> out1(m ? dim * (l1 / 2) : 0);
  std::vector<float> pos(dim * (m / 2));

  orv_encoder_conv0(ctx, in0.data(), static_cast<int>(l0), out0.data());
  for (size_t c = 0; c < ORV_MEL_BINS; c++) {
    s->conv0_hist[c * 2] = in0[c * l0 + l0 - 2];
    s->conv0_hist[c * 2 + 1] = in0[c * l0 + l0 - 1];
  }

  // Second convolution: two history columns, the held column, then the new columns but the one
  // held back this time. Its first output belongs to the previous run and is dropped.
  const size_t skip = s->has_carry ? 1 : 0;
  for (size_t c = 0; m && c < dim; c++) {
    float* row = &in1[c * l1];
    const float* fresh = &out0[c * l0 + 2];
    row[0] = s->conv1_hist[c * 2];
    row[1] = s->conv1_hist[c * 2 + 1];
    if (skip) row[2] = s->conv_carry[c];
    std::copy(fresh, fresh + (m - skip), row + 2 + skip);
    s->conv1_hist[c * 2] = row[l1 - 2];
    s->conv1_hist[c * 2 + 1] = row[l1 - 1];
  }
  if (hold)
    for (size_t c = 0; c < dim; c++) s->conv_carry[c] = out0[c * l0 + l0 - 1];
  s->has_carry = hold;
  if (m) {
    orv_encoder_conv1(ctx, in1.data(), static_cast<int>(l1), out1.data());
    const size_t l_out = l1 / 2;
    for (size_t p = 0; p < m / 2; p++)
      for (size_t c = 0; c < dim; c++) pos[p * dim + c] = out1[c * l_out + 1 + p];
  }
  *n_pos = static_cast<int>(m / 2);
  return pos;
}

// Makes room for N_NEW more adapter rows (capacity 256 at first, doubled as needed).
bool reserve_adapter_rows(orv_stream_t* s, int n_new) {
  const int held = s->n_adapter - s->adapter_base;
  const int needed = held + n_new;
  if (needed <= s->adapter_cap) return true;
  int cap = s->adapter_cap ? s->adapter_cap : 256;
  while (cap < needed) cap *= 2;
  try {
    s->adapter_rows.resize(static_cast<size_t>(cap) * s->ctx->shape.decoder.dim);
  } catch (const std::bad_alloc&) {
    return false;
  }
  s->adapter_cap = cap;
  return true;
}

// Groups the held positions and the C new encoder states ENC into fours for the adapter and
// keeps the remainder (0 to 3 positions) for the next run. Returns the positions used.
int run_adapter(orv_stream_t* s, const float* enc, int c) {
  orv_ctx_t* ctx = s->ctx;
  const size_t dim = static_cast<size_t>(ctx->shape.encoder.dim);
  const int total = s->n_residual + c;
  const int usable = total / ORV_ADAPTER_GROUP * ORV_ADAPTER_GROUP;
  if (s->enc_residual.empty()) s->enc_residual.assign(dim * (ORV_ADAPTER_GROUP - 1), 0.f);

  // A lost adapter output is not retried; the remainder below is kept all the same, so the
  // groups of the following positions stay aligned.
  if (usable > 0) {
    try {
      std::vector<float> group(static_cast<size_t>(usable) * dim);
      std::copy_n(s->enc_residual.data(), s->n_residual * dim, group.data());
      std::copy_n(enc, (usable - s->n_residual) * dim, group.data() + s->n_residual * dim);
      int n_rows = 0;
      FloatPtr rows(orv_adapter_forward(ctx, group.data(), usable, &n_rows));
      if (rows && n_rows > 0 && reserve_adapter_rows(s, n_rows)) {
        const size_t dec_dim = static_cast<size_t>(ctx->shape.decoder.dim);
        std::copy_n(rows.get(), n_rows * dec_dim,
                    s->adapter_rows.data() + (s->n_adapter - s->adapter_base) * dec_dim);
        s->n_adapter += n_rows;
      }
    } catch (const std::bad_alloc&) {
    }
  }

  const int keep = total - usable;
  if (usable > 0) {
    std::copy_n(enc + static_cast<size_t>(c - keep) * dim, keep * dim, s->enc_residual.data());
  } else {
    std::copy_n(enc, c * dim, s->enc_residual.data() + s->n_residual * dim);
  }
  s->n_residual = keep;
  return usable;
}

// One encoder run over N frames starting at mel frame mel_consumed.
void encode_run(orv_stream_t* s, const float* frames, int n) {
  const auto t0 = Clock::now();
  s->enc_started = true;
  int n_pos = 0, c = 0, usable = 0;
  try {
    std::vector<float> pos = run_stem(s, frames, n, &n_pos);
    if (n_pos > 0) {
      FloatPtr enc(orv_encoder_forward_incremental(s->ctx, &s->enc, pos.data(), n_pos, &c));
      if (enc && c > 0) usable = run_adapter(s, enc.get(), c);
    }
  } catch (const std::bad_alloc&) {
    // Out of memory: these frames are dropped like any other failed piece of work.
  }
  s->mel_consumed += n;
  s->enc_ms += ms_since(t0);
  if (orv_verbose >= 2)
    std::fprintf(stderr,
                 "  Encoder inc: %d mel -> %d conv -> %d usable (total adapter: %d, residual: "
                 "%d)\n",
                 n, n_pos, usable, s->n_adapter, s->n_residual);
}

// The first run: the silence frames alone, copied from the context when an earlier stream has
// computed them.
void encode_silence(orv_stream_t* s, const float* frames) {
  orv_ctx_t* ctx = s->ctx;
  if (ctx->reuse_silence && silence_restore_encoder(s)) {
    s->silence_done = true;
    return;
  }
  encode_run(s, frames, ORV_STREAM_SILENCE_FRAMES);
  s->silence_done = s->n_adapter == ORV_STREAM_SILENCE_ROWS;
  if (ctx->reuse_silence && s->silence_done) silence_save_encoder(s);
}

void take_token(orv_stream_t* s, int id) {
  s->last_token = id;
  s->n_steps++;
  if (s->on_token) s->on_token(id);
  if (id >= ORV_FIRST_TEXT_TOKEN) orv_emit_token(s, id);
  if (id == ORV_TOKEN_EOS) s->eos = true;
}

// Decoder input for adapter row ROW: the embedding of TOKEN plus the row.
void build_input(orv_stream_t* s, int token, const float* row, float* out) {
  const int dim = s->ctx->shape.decoder.dim;
  orv_token_embedding(s->ctx, token, out);
  for (int i = 0; i < dim; i++) out[i] += row[i];
}

// Where a step puts its scores: only the alternatives need them.
float* step_scores(orv_stream_t* s) { return s->n_alt >= 2 ? s->logits.data() : nullptr; }

// The decoder's start: a prompt of P positions (BOS, then padding tokens, each plus its adapter
// row), prefilled but for the last, which the first step decodes.

void start_decoder(orv_stream_t* s, int p) {
  orv_ctx_t* ctx = s->ctx;
  const auto t0 = Clock::now();
  const size_t dim = static_cast<size_t>(ctx->shape.decoder.dim);
  s->dec_started = true;
  s->dec_pos = p;
  s->first_row = p - 1;
  int id = ORV_TOKEN_EOS;
  try {
    std::vector<float> prompt(static_cast<size_t>(p) * dim);
    for (int i = 0; i < p; i++)
      build_input(s, i == 0 ? ORV_TOKEN_BOS : ORV_TOKEN_PAD, &s->adapter_rows[i * dim],
                  &prompt[i * dim]);
    KvCache& cache = s->dec.cache;
    cache.clear();
    // The positions of the silence rows go first, as a prefill of their own or as its copy, then
    // the rest. Without its prompt in the cache the decoder would only produce noise: a failed
    // prefill ends the transcript like a failed step does.
    const int quiet = s->silence_done ? std::min<int>(ORV_STREAM_SILENCE_ROWS, p - 1) : 0;
    bool ok = quiet > 0 && ctx->reuse_silence && silence_restore_decoder(ctx, &cache, quiet);
    if (!ok) {
      ok = orv_decoder_prefill(ctx, &s->dec, prompt.data(), quiet) == 0;
      if (ok && quiet > 0 && ctx->reuse_silence) silence_save_decoder(ctx, cache, quiet);
    }
    if (ok && orv_decoder_prefill(ctx, &s->dec, &prompt[quiet * dim], p - 1 - quiet) == 0)
      id = orv_decoder_step(ctx, &s->dec, &prompt[(p - 1) * dim], step_scores(s));
  } catch (const std::bad_alloc&) {
  }
  take_token(s, id);
  const double ms = ms_since(t0);
  s->dec_ms += ms;
  s->prefill_ms += ms;
  if (orv_verbose >= 2)
    std::fprintf(stderr, "Decoder started (prefill %d, first token: %d)\n", p - 1, id);
}

// Drops the adapter rows the decoder has read, moving the rest to the front.
void compact_adapter_rows(orv_stream_t* s) {
  if (s->eos) {  // nobody will read them
    s->adapter_base = s->n_adapter;
    return;
  }
  const int used = s->dec_pos - s->adapter_base;
  if (used < 1) return;
  const size_t dim = static_cast<size_t>(s->ctx->shape.decoder.dim);
  const int remaining = s->n_adapter - s->dec_pos;
  if (remaining > 0)
    std::memmove(s->adapter_rows.data(), s->adapter_rows.data() + used * dim,
                 remaining * dim * sizeof(float));
  s->adapter_base = s->dec_pos;
}

void decoder_pump(orv_stream_t* s) {
  if (!s->dec_started) {
    const int p = s->ctx->delay_tokens + ORV_STREAM_PROMPT_EXTRA;
    if (s->n_adapter >= p) start_decoder(s, p);
  }
  if (s->dec_started && !s->eos && s->dec_pos < s->n_adapter) {
    const auto t0 = Clock::now();
    const size_t dim = static_cast<size_t>(s->ctx->shape.decoder.dim);
    while (!s->eos && s->dec_pos < s->n_adapter) {
      build_input(s, s->last_token, &s->adapter_rows[(s->dec_pos - s->adapter_base) * dim],
                  s->dec_in.data());
      const int id = orv_decoder_step(s->ctx, &s->dec, s->dec_in.data(), step_scores(s));
      s->dec_pos++;
      take_token(s, id);
    }
    s->dec_ms += ms_since(t0);
  }
  compact_adapter_rows(s);
}

}  // namespace

extern "C" {

void orv_stream_pump(orv_stream_t* s) {
  int n_frames = 0, first = 0;
  orv_mel_stream_frames(s->mel.get(), &n_frames, &first);
  const int fresh = n_frames - s->mel_consumed;
  const int wait = s->enc_started ? s->interval_frames : ORV_FIRST_CHUNK_FRAMES;
  if ((s->finished || fresh >= wait) && fresh >= 1) {
    // Long stretches go through in bounded runs, each decoded before the next, so that neither
    // the encoder's working memory nor the adapter rows grow with the length of one feed.
    while (s->mel_consumed < n_frames) {
      const int n =
          std::min(n_frames - s->mel_consumed, static_cast<int>(ORV_STREAM_MAX_RUN_FRAMES));
      if (s->eos) {
        s->mel_consumed = n_frames;  // nothing will decode the output: skip the networks
      } else {
        const float* frames = orv_mel_stream_frames(s->mel.get(), &n_frames, &first);
        const float* at = frames + static_cast<size_t>(s->mel_consumed - first) * ORV_MEL_BINS;
        if (!s->enc_started && n >= ORV_STREAM_SILENCE_FRAMES) {
          encode_silence(s, at);
        } else {
          encode_run(s, at, n);
        }
      }
      orv_mel_stream_release(s->mel.get(), s->mel_consumed);
      decoder_pump(s);
    }
  }
  decoder_pump(s);
}

void orv_emit_token(orv_stream_t* s, int id) {
  TokenEntry e;
  e.str[0] = orv_tokenizer_token(s->tokenizer.get(), id);
  if (!e.str[0]) return;
  e.ms = orv_stream_row_ms(s, s->dec_pos - 1);  // the row this token came out of
  if (s->n_alt >= 2) {
    // Probabilities in place, then the most probable other text tokens (lowest id on ties)
    // whose probability is within the tolerance of the chosen one's.
    float* p = s->logits.data();
    const int vocab = static_cast<int>(s->logits.size());
    const float max = *std::max_element(p, p + vocab);
    double sum = 0;
    for (int i = 0; i < vocab; i++) sum += (p[i] = std::exp(p[i] - max));
    const float inv = static_cast<float>(1.0 / sum);
    for (int i = 0; i < vocab; i++) p[i] *= inv;
    const float p0 = p[id];
    int taken[ORV_TOKEN_ALTS] = {id};
    for (int k = 1; p0 > 0 && k < s->n_alt; k++) {
      int best = -1;
      for (int i = ORV_FIRST_TEXT_TOKEN; i < vocab; i++) {
        if (std::find(taken, taken + k, i) != taken + k) continue;
        if ((best < 0 || p[i] > p[best]) && orv_tokenizer_token(s->tokenizer.get(), i)) best = i;
      }
      if (best < 0 || 1.f - p[best] / p0 > s->alt_tolerance) break;
      taken[k] = best;
      e.str[k] = orv_tokenizer_token(s->tokenizer.get(), best);
    }
  }
  s->queue.push(e);  // counted even when it is dropped for lack of memory
  s->n_text_tokens++;
}

}  // extern "C"
