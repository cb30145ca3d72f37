// The engine context: a loaded model's weights, its time conditioning and its INT8 table, all
// read-only while streams run, and the silence start that streams share. Each stream owns its
// caches and working buffers (stream.h), so one context serves any number of streams; the last
// freed stream's are kept for the next one.
#ifndef ORVANE_CONTEXT_H
#define ORVANE_CONTEXT_H

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/free_deleter.h"
#include "base/mapping.h"
#include "formats/decoder_matrices.h"
#include "formats/safetensors.h"
#include "formats/shape.h"
#include "kernels/int8_weights.h"
#include "network/decoder.h"
#include "network/encoder.h"
#include "network/silence_state.h"
#include "orvane.h"

// An F32 copy from safetensors_get_f32 (malloc'd).
using F32Array = std::unique_ptr<float[], FreeDeleter>;

struct SafetensorsCloser {
  void operator()(safetensors_file_t* f) const noexcept { safetensors_close(f); }
};

// BF16 matrices point into the mapped weight file ([out][in]); vectors are F32 copies.
struct orv_enc_layer_t {
  const uint16_t* wq_weight_bf16 = nullptr;  // [q_dim][dim]
  F32Array wq_bias;                          // [q_dim]
  const uint16_t* wk_weight_bf16 = nullptr;  // [kv_dim][dim], no bias
  const uint16_t* wv_weight_bf16 = nullptr;  // [kv_dim][dim]
  F32Array wv_bias;                          // [kv_dim]
  const uint16_t* wo_weight_bf16 = nullptr;  // [dim][q_dim]
  F32Array wo_bias;                          // [dim]
  F32Array attention_norm;                   // [dim]
  const uint16_t* w1_weight_bf16 = nullptr;  // [hidden][dim]
  const uint16_t* w2_weight_bf16 = nullptr;  // [dim][hidden]
  F32Array w2_bias;                          // [dim]
  const uint16_t* w3_weight_bf16 = nullptr;  // [hidden][dim]
  F32Array ffn_norm;                         // [dim]
};

struct orv_encoder_t {
  F32Array conv0_weight;  // [dim][128][3]
  F32Array conv0_bias;    // [dim]
  F32Array conv1_weight;  // [dim][dim][3]
  F32Array conv1_bias;    // [dim]
  std::vector<orv_enc_layer_t> layers;
  F32Array norm;  // [dim]
};

struct orv_adapter_t {
  const uint16_t* linear0_weight_bf16 = nullptr;  // [dec dim][4 * enc dim]
  const uint16_t* linear1_weight_bf16 = nullptr;  // [dec dim][dec dim]
};

struct orv_dec_layer_t {
  F32Array ada_norm_down;                    // [ada_hidden][dim]
  F32Array ada_norm_up;                      // [dim][ada_hidden]
  const uint16_t* wq_weight_bf16 = nullptr;  // [q_dim][dim]
  const uint16_t* wk_weight_bf16 = nullptr;  // [kv_dim][dim]
  const uint16_t* wv_weight_bf16 = nullptr;  // [kv_dim][dim]
  const uint16_t* wo_weight_bf16 = nullptr;  // [dim][q_dim]
  F32Array attention_norm;                   // [dim]
  const uint16_t* w1_weight_bf16 = nullptr;  // [hidden][dim]
  const uint16_t* w2_weight_bf16 = nullptr;  // [dim][hidden]
  const uint16_t* w3_weight_bf16 = nullptr;  // [hidden][dim]
  F32Array ffn_norm;                         // [dim]

  const uint16_t* matrix(DecoderMatrix m) const {
    switch (m) {
      case DecoderMatrix::wq: return wq_weight_bf16;
      case DecoderMatrix::wk: return wk_weight_bf16;
      case DecoderMatrix::wv: return wv_weight_bf16;
      case DecoderMatrix::wo: return wo_weight_bf16;
      case DecoderMatrix::w1: return w1_weight_bf16;
      case DecoderMatrix::w2: return w2_weight_bf16;
      case DecoderMatrix::w3: return w3_weight_bf16;
    }
    return nullptr;
  }
};

struct orv_decoder_t {
  const uint16_t* tok_embeddings_bf16 = nullptr;  // [vocab][dim]; also the output projection
  std::vector<orv_dec_layer_t> layers;
  F32Array norm;  // [dim]
};

// The caches and work rows of the last stream freed, handed to the next stream created. A
// dictation after the first then writes memory the process has already touched instead of
// faulting in fresh pages (gigabytes on a full model) while it runs. One stream's worth at most.
struct SpareStreamMemory {
  std::mutex lock;  // streams on several threads are created and freed
  std::optional<EncoderState> enc;
  std::optional<DecoderState> dec;
};

struct orv_ctx_t {
  orv_shape_t shape{};
  orv_encoder_t encoder;
  orv_adapter_t adapter;
  orv_decoder_t decoder;
  std::unique_ptr<safetensors_file_t, SafetensorsCloser> safetensors;  // mapping the BF16 use
  Mapping encoder_weights;  // the encoder's and adapter's matrices, when the CPU runs them
  std::string model_dir;

  int delay_tokens = 6;
  std::vector<float> t_cond;     // [decoder dim]: cosines, then sines of delay_tokens
  std::vector<float> ada_scale;  // [decoder layers][decoder dim]

  // INT8 forms of the decoder matrices and the token embedding, keyed by their BF16 address;
  // the CPU decoder uses them while use_int8 is set.
  orv_int8_table_t int8;
  bool use_int8 = false;

  // What streams compute from the silence before their audio, kept for the next stream (tests
  // turn reuse_silence off to compare against computing it every time). Streams on several
  // threads read and write it under its lock.
  SilenceStart silence;
  bool reuse_silence = true;
  SpareStreamMemory spare;
  // Streams keep their caches where the GPU passes can use them (tests turn it off to get the
  // CPU path as a reference in a process whose GPU backend runs).
  bool gpu_caches = true;
};

#endif
