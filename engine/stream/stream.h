// The streaming record behind orv_stream_t (public functions in orvane.h). Declared here so the
// engine's own tests can check its counters; callers see it as opaque.
#ifndef ORVANE_STREAM_H
#define ORVANE_STREAM_H

#include "orvane.h"

#ifdef __cplusplus
extern "C" {
#endif

// Runs the encoder over the mel frames the stem has not taken yet (once enough have gathered, or
// all of them after finish), and the decoder over every adapter row it has not read.
void orv_stream_pump(orv_stream_t *s);
// Queues decoded text token ID (>= 1000) with its alternatives, computed from the stream's
// logits (turned into probabilities in place).
void orv_emit_token(orv_stream_t *s, int id);
// Milliseconds into the real audio fed that decoder position ROW was decoded from.
int32_t orv_stream_row_ms(const orv_stream_t *s, int row);

#ifdef __cplusplus
}

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "audio/mel.h"
#include "formats/shape.h"
#include "formats/tokenizer.h"
#include "network/context.h"
#include "network/decoder.h"
#include "network/encoder.h"
#include "stream/token_queue.h"

struct TokenizerDeleter {
  void operator()(orv_tokenizer_t* t) const noexcept { orv_tokenizer_free(t); }
};
struct MelStreamDeleter {
  void operator()(orv_mel_stream_t* m) const noexcept { orv_mel_stream_free(m); }
};

enum {
  ORV_STREAM_SILENCE_PREFIX = 40960,  // 32 decoder positions of silence before the audio
  ORV_STREAM_INTERVAL_FRAMES = 200,   // default: the encoder runs every 2 s of new audio
  ORV_STREAM_PROMPT_EXTRA = 33,       // decoder start length is delay_tokens + 33 positions
  ORV_STREAM_FINISH_TAIL = 14080,     // silence after the delay that carries the last words out
  ORV_STREAM_PAD_BLOCK = 4096,        // padding is fed to the mel state in pieces of this size
  // Most frames one encoder run takes. A run of 512 frames yields at most 256 positions, which is
  // what a GPU-shared encoder cache (window + 256 rows) can always accept, and it bounds the
  // working memory of a recording fed in one call.
  ORV_STREAM_MAX_RUN_FRAMES = 2 * ORV_ENCODER_HEADROOM,
  // Mel frames that see nothing but the silence prefix and the zero margin before it. They are
  // always the encoder's first run, and the adapter rows they make begin every decoder prompt.
  ORV_STREAM_SILENCE_FRAMES =
      (ORV_STREAM_SILENCE_PREFIX + ORV_MEL_MARGIN - ORV_MEL_WINDOW) / ORV_HOP + 1,
  ORV_STREAM_SILENCE_ROWS = ORV_STREAM_SILENCE_FRAMES / 2 / ORV_ADAPTER_GROUP,
};

struct orv_stream_t {
  // CACHE_MEMORY: where the key/value caches go.
  orv_stream_t(orv_ctx_t* c, const BlockMemory& cache_memory)
      : ctx(c), enc(c->shape.encoder, cache_memory), dec(c->shape.decoder, cache_memory) {}

  orv_ctx_t* ctx;  // not owned; shared with the other streams of the context
  EncoderState enc;  // this stream's caches and work rows
  DecoderState dec;
  std::unique_ptr<orv_tokenizer_t, TokenizerDeleter> tokenizer;
  std::unique_ptr<orv_mel_stream_t, MelStreamDeleter> mel;
  int64_t n_samples = 0;  // real samples fed (padding not counted)
  int mel_consumed = 0;   // mel frames already taken by the convolution stem (absolute index)

  // Convolution stem state, so that its output does not depend on how the frames are divided.
  std::vector<float> conv0_hist;  // [128][2]: the last two mel frames taken (older, newer)
  std::vector<float> conv1_hist;  // [enc dim][2]: the last two first-convolution outputs used
  std::vector<float> conv_carry;  // [enc dim]: one column held so the stride-2 input stays even
  bool has_carry = false;
  bool enc_started = false;
  bool silence_done = false;  // the silence run completed: adapter rows 0.. are its rows

  // Encoder positions that do not fill a group of four yet.
  std::vector<float> enc_residual;  // [3][enc dim]
  int n_residual = 0;

  // Adapter rows not yet consumed by the decoder: rows adapter_base .. n_adapter - 1 of the
  // stream, the first at adapter_rows[0].
  std::vector<float> adapter_rows;  // [adapter_cap][dec dim]
  int adapter_cap = 0;
  int n_adapter = 0;
  int adapter_base = 0;

  bool dec_started = false;
  int dec_pos = 0;  // index of the next adapter row for the decoder
  int first_row = 0;  // row of the first decoded token: the silence prefix plus the delay
  // Silence orv_stream_flush inserted: (position in the audio fed, flush padding included; length).
  std::vector<std::pair<int64_t, int64_t>> flush_gaps;
  int last_token = 0;
  bool eos = false;
  bool finished = false;

  TokenQueue queue;
  int n_alt = 1;              // strings per entry, 1..4
  float alt_tolerance = 0.f;  // 0..1

  std::vector<float> logits;   // [vocab]: scores of the last step
  std::vector<float> dec_in;   // [dec dim]: decoder input row

  int interval_frames = ORV_STREAM_INTERVAL_FRAMES;
  double enc_ms = 0, dec_ms = 0, prefill_ms = 0;
  int mel_restored = 0;  // frames whose encoder state was copied from the context, not computed
  int n_steps = 0;
  int n_text_tokens = 0;

  // Test hook: called with every id the decoder produces, control ids included.
  std::function<void(int)> on_token;
};

// Bytes a stream holds beyond the context: its caches, work rows and adapter rows (the mel
// state and the queued strings, a few hundred kilobytes at most, are not counted).
size_t orv_stream_memory_bytes(const orv_stream_t* s);

#endif  // __cplusplus

#endif
