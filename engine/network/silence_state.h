// What a context keeps of the silence every stream starts with: the stream state after the
// silence run and the decoder cache rows it gives, each valid once a stream has computed it.
#ifndef ORVANE_SILENCE_STATE_H
#define ORVANE_SILENCE_STATE_H

#include <mutex>
#include <vector>

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

#endif
