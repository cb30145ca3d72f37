// The start every stream shares: its audio follows a fixed stretch of silence, and whatever the
// networks compute from that silence alone is the same for every stream of a context (the
// decoder's part for each delay). A stream computes it once, as a separate first step, and the
// context keeps a copy that later streams start from. Streams that compute it and streams that
// copy it take the same steps, so their results are identical bit for bit.
#ifndef ORVANE_SILENCE_START_H
#define ORVANE_SILENCE_START_H

#include <mutex>
#include <vector>

#include "network/kv_cache.h"
#include "orvane.h"

struct SilenceEncoderState {
  bool valid = false;
  // The stream after its silence run.
  int mel_consumed = 0;
  std::vector<float> conv0_hist, conv1_hist, conv_carry;
  bool has_carry = false;
  std::vector<float> enc_residual;
  int n_residual = 0;
  std::vector<float> adapter_rows;  // [n_adapter][dec dim]
  int n_adapter = 0;
  // The stream's encoder cache after it.
  std::vector<float> kv_k, kv_v;  // [enc layers][kv_len][kv width]
  int kv_len = 0;
  int kv_pos_offset = 0;
};

struct SilenceDecoderState {
  bool valid = false;
  // What the rows depend on besides the silence.
  int delay_tokens = 0;
  bool int8 = false;
  int rows = 0;
  std::vector<float> kv_k, kv_v;  // [dec layers][rows][kv width]
};

struct SilenceStart {
  std::mutex lock;  // streams on several threads save and restore
  SilenceEncoderState enc;
  SilenceDecoderState dec;
};

// Puts the copied silence run into a stream that has not run its encoder yet (and its encoder
// cache). False, changing nothing, when there is no copy or no room for it.
bool silence_restore_encoder(orv_stream_t* s);
// Keeps a copy of a stream's state right after it ran the silence itself.
void silence_save_encoder(const orv_stream_t* s);
// Puts the decoder cache rows of the silence, for the current delay and weights, into rows
// 0 .. ROWS - 1 of CACHE. False when there is no such copy or no room for it.
bool silence_restore_decoder(orv_ctx_t* ctx, KvCache* cache, int rows);
// Keeps a copy of CACHE's rows 0 .. ROWS - 1 right after the silence was prefilled.
void silence_save_decoder(orv_ctx_t* ctx, const KvCache& cache, int rows);

#endif
