#include "formats/tensor_table.h"

#include <cstdio>
#include <initializer_list>

namespace {

constexpr const char* kEncoder = "mm_streams_embeddings.embedding_module.whisper_encoder";
constexpr const char* kEncoderLayers =
    "mm_streams_embeddings.embedding_module.whisper_encoder.transformer.layers";

constexpr int kEncLayerTensors = ORV_ENC_LAYER_TENSORS;
constexpr int kDecLayerTensors = ORV_DEC_LAYER_TENSORS;
// The encoder norm, the two adapter matrices and the token embedding sit between the stacks.
constexpr int kBetweenStacks = ORV_DEC_TOK_EMBEDDINGS - ORV_ENC_NORM + 1;

// Name pattern and stored type of each role. Encoder patterns take the prefix (and the layer
// number for layer tensors); decoder layer patterns take only the layer number.
struct RoleName {
  const char* pattern;
  int dtype;
};

constexpr RoleName kRoles[] = {
    {"%s.conv_layers.0.conv.weight", SAFETENSORS_F32},
    {"%s.conv_layers.0.conv.bias", SAFETENSORS_F32},
    {"%s.conv_layers.1.conv.weight", SAFETENSORS_F32},
    {"%s.conv_layers.1.conv.bias", SAFETENSORS_F32},
    {"%s.%d.attention.wq.weight", SAFETENSORS_BF16},
    {"%s.%d.attention.wk.weight", SAFETENSORS_BF16},
    {"%s.%d.attention.wv.weight", SAFETENSORS_BF16},
    {"%s.%d.attention.wo.weight", SAFETENSORS_BF16},
    {"%s.%d.feed_forward.w1.weight", SAFETENSORS_BF16},
    {"%s.%d.feed_forward.w2.weight", SAFETENSORS_BF16},
    {"%s.%d.feed_forward.w3.weight", SAFETENSORS_BF16},
    {"%s.%d.attention.wq.bias", SAFETENSORS_F32},
    {"%s.%d.attention.wv.bias", SAFETENSORS_F32},
    {"%s.%d.attention.wo.bias", SAFETENSORS_F32},
    {"%s.%d.attention_norm.weight", SAFETENSORS_F32},
    {"%s.%d.feed_forward.w2.bias", SAFETENSORS_F32},
    {"%s.%d.ffn_norm.weight", SAFETENSORS_F32},
    {"%s.transformer.norm.weight", SAFETENSORS_F32},
    {"mm_streams_embeddings.embedding_module.audio_language_projection.0.weight", SAFETENSORS_BF16},
    {"mm_streams_embeddings.embedding_module.audio_language_projection.2.weight", SAFETENSORS_BF16},
    {"mm_streams_embeddings.embedding_module.tok_embeddings.weight", SAFETENSORS_BF16},
    {"layers.%d.ada_rms_norm_t_cond.0.weight", SAFETENSORS_F32},
    {"layers.%d.ada_rms_norm_t_cond.2.weight", SAFETENSORS_F32},
    {"layers.%d.attention.wq.weight", SAFETENSORS_BF16},
    {"layers.%d.attention.wk.weight", SAFETENSORS_BF16},
    {"layers.%d.attention.wv.weight", SAFETENSORS_BF16},
    {"layers.%d.attention.wo.weight", SAFETENSORS_BF16},
    {"layers.%d.attention_norm.weight", SAFETENSORS_F32},
    {"layers.%d.feed_forward.w1.weight", SAFETENSORS_BF16},
    {"layers.%d.feed_forward.w2.weight", SAFETENSORS_BF16},
    {"layers.%d.feed_forward.w3.weight", SAFETENSORS_BF16},
    {"layers.%d.ffn_norm.weight", SAFETENSORS_F32},
    {"norm.weight", SAFETENSORS_F32},
};
static_assert(sizeof(kRoles) / sizeof(kRoles[0]) == ORV_DEC_NORM + 1);

void set_dims(orv_tensor_info_t* out, std::initializer_list<int64_t> dims) {
  out->ndim = 0;
  for (int64_t d : dims) out->shape[out->ndim++] = d;
}

void fill_dims(const orv_shape_t& s, orv_tensor_info_t* out) {
  const orv_block_shape_t& e = s.encoder;
  const orv_block_shape_t& d = s.decoder;
  // 64-bit products: a hostile shape file must not overflow into a small, matching size.
  const int64_t eq = int64_t{e.heads} * e.head_dim, ekv = int64_t{e.kv_heads} * e.head_dim;
  const int64_t dq = int64_t{d.heads} * d.head_dim, dkv = int64_t{d.kv_heads} * d.head_dim;
  switch (out->role) {
    case ORV_ENC_CONV0_WEIGHT: set_dims(out, {e.dim, ORV_MEL_BINS, 3}); break;
    case ORV_ENC_CONV1_WEIGHT: set_dims(out, {e.dim, e.dim, 3}); break;
    case ORV_ENC_WQ: set_dims(out, {eq, e.dim}); break;
    case ORV_ENC_WK:
    case ORV_ENC_WV: set_dims(out, {ekv, e.dim}); break;
    case ORV_ENC_WO: set_dims(out, {e.dim, eq}); break;
    case ORV_ENC_W1:
    case ORV_ENC_W3: set_dims(out, {e.hidden, e.dim}); break;
    case ORV_ENC_W2: set_dims(out, {e.dim, e.hidden}); break;
    case ORV_ENC_WQ_BIAS: set_dims(out, {eq}); break;
    case ORV_ENC_WV_BIAS: set_dims(out, {ekv}); break;
    case ORV_ENC_CONV0_BIAS:
    case ORV_ENC_CONV1_BIAS:
    case ORV_ENC_WO_BIAS:
    case ORV_ENC_ATTENTION_NORM:
    case ORV_ENC_W2_BIAS:
    case ORV_ENC_FFN_NORM:
    case ORV_ENC_NORM: set_dims(out, {e.dim}); break;
    case ORV_ADAPTER_LINEAR0: set_dims(out, {d.dim, int64_t{ORV_ADAPTER_GROUP} * e.dim}); break;
    case ORV_ADAPTER_LINEAR1: set_dims(out, {d.dim, d.dim}); break;
    case ORV_DEC_TOK_EMBEDDINGS: set_dims(out, {d.vocab, d.dim}); break;
    case ORV_DEC_ADA_NORM_DOWN: set_dims(out, {s.ada_hidden, d.dim}); break;
    case ORV_DEC_ADA_NORM_UP: set_dims(out, {d.dim, s.ada_hidden}); break;
    case ORV_DEC_WQ: set_dims(out, {dq, d.dim}); break;
    case ORV_DEC_WK:
    case ORV_DEC_WV: set_dims(out, {dkv, d.dim}); break;
    case ORV_DEC_WO: set_dims(out, {d.dim, dq}); break;
    case ORV_DEC_W1:
    case ORV_DEC_W3: set_dims(out, {d.hidden, d.dim}); break;
    case ORV_DEC_W2: set_dims(out, {d.dim, d.hidden}); break;
    case ORV_DEC_ATTENTION_NORM:
    case ORV_DEC_FFN_NORM:
    case ORV_DEC_NORM: set_dims(out, {d.dim}); break;
  }
}

}  // namespace

extern "C" {

int64_t orv_tensor_count(const orv_shape_t* shape) {
  return ORV_ENC_STEM_TENSORS + int64_t{kEncLayerTensors} * shape->encoder.layers + kBetweenStacks +
         int64_t{kDecLayerTensors} * shape->decoder.layers + 1;
}

int orv_tensor_info(const orv_shape_t* shape, int64_t index, orv_tensor_info_t* out) {
  if (index < 0 || index >= orv_tensor_count(shape)) return -1;
  const int64_t enc_end = ORV_ENC_STEM_TENSORS + int64_t{kEncLayerTensors} * shape->encoder.layers;
  const int64_t dec_begin = enc_end + kBetweenStacks;
  int layer = -1;
  int role;
  if (index < ORV_ENC_STEM_TENSORS) {
    role = static_cast<int>(index);
  } else if (index < enc_end) {
    layer = static_cast<int>((index - ORV_ENC_STEM_TENSORS) / kEncLayerTensors);
    role = ORV_ENC_WQ + static_cast<int>((index - ORV_ENC_STEM_TENSORS) % kEncLayerTensors);
  } else if (index < dec_begin) {
    role = ORV_ENC_NORM + static_cast<int>(index - enc_end);
  } else if (index < dec_begin + int64_t{kDecLayerTensors} * shape->decoder.layers) {
    layer = static_cast<int>((index - dec_begin) / kDecLayerTensors);
    role = ORV_DEC_ADA_NORM_DOWN + static_cast<int>((index - dec_begin) % kDecLayerTensors);
  } else {
    role = ORV_DEC_NORM;
  }

  out->role = static_cast<orv_tensor_role>(role);
  out->layer = layer;
  out->dtype = kRoles[role].dtype;
  const char* pattern = kRoles[role].pattern;
  if (role <= ORV_ENC_CONV1_BIAS || role == ORV_ENC_NORM)
    std::snprintf(out->name, sizeof out->name, pattern, kEncoder);
  else if (role < ORV_ENC_NORM)
    std::snprintf(out->name, sizeof out->name, pattern, kEncoderLayers, layer);
  else if (role >= ORV_DEC_ADA_NORM_DOWN && role <= ORV_DEC_FFN_NORM)
    std::snprintf(out->name, sizeof out->name, pattern, layer);
  else
    std::snprintf(out->name, sizeof out->name, "%s", pattern);
  fill_dims(*shape, out);
  return 0;
}

int64_t orv_tensor_numel(const orv_tensor_info_t* info) {
  int64_t n = 1;
  for (int i = 0; i < info->ndim; i++)
    if (info->shape[i] < 0 || __builtin_mul_overflow(n, info->shape[i], &n)) return -1;
  return n;
}

}  // extern "C"
