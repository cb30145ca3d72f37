// Model loading: maps the weight file, binds every tensor of the tensor table to its field after
// checking its type and dimensions, and computes the delay conditioning of the decoder.
#include "network/model.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "base/c_edge.h"
#include "formats/tensor_table.h"
#include "gpu/gpu.h"
#include "kernels/kernels.h"
#include "network/context.h"
#include "network/decoder.h"
#include "network/encoder.h"
#include "network/encoder_weights_copy.h"
#include "network/gpu_weights.h"
#include "network/int8_prepare.h"

namespace {

std::string dims_text(const int64_t* shape, int ndim) {
  std::string s = "[";
  for (int i = 0; i < ndim; i++) s += (i ? ", " : "") + std::to_string(shape[i]);
  return s + "]";
}

int64_t element_size(int dtype) { return dtype == SAFETENSORS_F32 ? 4 : 2; }

// Binds the tensor table's entries in order, one section of the model at a time.
class Binder {
 public:
  explicit Binder(orv_ctx_t& ctx) : ctx_(ctx) {}

  // Binds the next entry of the table. False, after a message, when the tensor is missing or
  // unusable; SECTION names the network in the "weight not found" message.
  bool bind_next(const char* section) {
    orv_tensor_info_t want;
    orv_tensor_info(&ctx_.shape, next_++, &want);
    const safetensors_file_t* sf = ctx_.safetensors.get();
    const safetensors_tensor_t* t = safetensors_find(sf, want.name);
    if (!t) {
      std::fprintf(stderr, "%s: weight not found: %s\n", section, want.name);
      return false;
    }
    if (!usable(*t, want)) return false;
    if (want.dtype == SAFETENSORS_BF16) {
      const uint16_t** field = bf16_field(want);
      *field = safetensors_get_bf16_direct(sf, t);
      return *field != nullptr;
    }
    F32Array& field = f32_field(want);
    field.reset(safetensors_get_f32(sf, t));
    if (!field) std::fprintf(stderr, "orv_load: cannot read %s\n", want.name);
    return field != nullptr;
  }

 private:
  // The stored dimensions must be the table's, and the data must cover them, so that no
  // network ever reads past a tensor of another model. Matrices are used in place and must be
  // BF16; the vectors are widened, so any float type the reader converts will do.
  static bool usable(const safetensors_tensor_t& t, const orv_tensor_info_t& want) {
    bool same = t.ndim == want.ndim;
    for (int i = 0; same && i < t.ndim; i++) same = t.shape[i] == want.shape[i];
    const bool dtype_ok = want.dtype == SAFETENSORS_BF16
                              ? t.dtype == SAFETENSORS_BF16
                              : t.dtype == SAFETENSORS_F32 || t.dtype == SAFETENSORS_F16 ||
                                    t.dtype == SAFETENSORS_BF16;
    if (!same || !dtype_ok) {
      std::fprintf(stderr, "orv_load: tensor %s has shape %s (%s), expected %s (%s)\n", want.name,
                   dims_text(t.shape, t.ndim).c_str(), safetensors_dtype_name(t.dtype),
                   dims_text(want.shape, want.ndim).c_str(), safetensors_dtype_name(want.dtype));
      return false;
    }
    const uint64_t need = static_cast<uint64_t>(orv_tensor_numel(&want) * element_size(t.dtype));
    if (t.size < need) {
      std::fprintf(stderr, "orv_load: tensor %s has %llu bytes of data, expected %llu\n", want.name,
                   static_cast<unsigned long long>(t.size), static_cast<unsigned long long>(need));
      return false;
    }
    return true;
  }

  // The layer a tensor belongs to, or null outside that network's layer stack. Encoder roles
  // come before ORV_ENC_NORM in the role list, decoder roles after it.
  orv_enc_layer_t* enc_layer(const orv_tensor_info_t& t) {
    return t.layer >= 0 && t.role < ORV_ENC_NORM ? &ctx_.encoder.layers[t.layer] : nullptr;
  }
  orv_dec_layer_t* dec_layer(const orv_tensor_info_t& t) {
    return t.layer >= 0 && t.role > ORV_ENC_NORM ? &ctx_.decoder.layers[t.layer] : nullptr;
  }

  const uint16_t** bf16_field(const orv_tensor_info_t& t) {
    orv_enc_layer_t* el = enc_layer(t);
    orv_dec_layer_t* dl = dec_layer(t);
    switch (t.role) {
      case ORV_ENC_WQ: return &el->wq_weight_bf16;
      case ORV_ENC_WK: return &el->wk_weight_bf16;
      case ORV_ENC_WV: return &el->wv_weight_bf16;
      case ORV_ENC_WO: return &el->wo_weight_bf16;
      case ORV_ENC_W1: return &el->w1_weight_bf16;
      case ORV_ENC_W2: return &el->w2_weight_bf16;
      case ORV_ENC_W3: return &el->w3_weight_bf16;
      case ORV_ADAPTER_LINEAR0: return &ctx_.adapter.linear0_weight_bf16;
      case ORV_ADAPTER_LINEAR1: return &ctx_.adapter.linear1_weight_bf16;
      case ORV_DEC_TOK_EMBEDDINGS: return &ctx_.decoder.tok_embeddings_bf16;
      case ORV_DEC_WQ: return &dl->wq_weight_bf16;
      case ORV_DEC_WK: return &dl->wk_weight_bf16;
      case ORV_DEC_WV: return &dl->wv_weight_bf16;
      case ORV_DEC_WO: return &dl->wo_weight_bf16;
      case ORV_DEC_W1: return &dl->w1_weight_bf16;
      case ORV_DEC_W2: return &dl->w2_weight_bf16;
      default: return &dl->w3_weight_bf16;  // ORV_DEC_W3, the last BF16 role
    }
  }

  F32Array& f32_field(const orv_tensor_info_t& t) {
    orv_enc_layer_t* el = enc_layer(t);
    orv_dec_layer_t* dl = dec_layer(t);
    switch (t.role) {
      case ORV_ENC_CONV0_WEIGHT: return ctx_.encoder.conv0_weight;
      case ORV_ENC_CONV0_BIAS: return ctx_.encoder.conv0_bias;
      case ORV_ENC_CONV1_WEIGHT: return ctx_.encoder.conv1_weight;
      case ORV_ENC_CONV1_BIAS: return ctx_.encoder.conv1_bias;
      case ORV_ENC_WQ_BIAS: return el->wq_bias;
      case ORV_ENC_WV_BIAS: return el->wv_bias;
      case ORV_ENC_WO_BIAS: return el->wo_bias;
      case ORV_ENC_ATTENTION_NORM: return el->attention_norm;
      case ORV_ENC_W2_BIAS: return el->w2_bias;
      case ORV_ENC_FFN_NORM: return el->ffn_norm;
      case ORV_ENC_NORM: return ctx_.encoder.norm;
      case ORV_DEC_ADA_NORM_DOWN: return dl->ada_norm_down;
      case ORV_DEC_ADA_NORM_UP: return dl->ada_norm_up;
      case ORV_DEC_ATTENTION_NORM: return dl->attention_norm;
      case ORV_DEC_FFN_NORM: return dl->ffn_norm;
      default: return ctx_.decoder.norm;  // ORV_DEC_NORM, the last F32 role
    }
  }

  orv_ctx_t& ctx_;
  int64_t next_ = 0;
};

// One stack of layers: each layer's tensors are all looked up (so every missing one is named)
// before a failure is reported. LAYERS grows with what the file holds, not with the shape.
template <typename Layer>
bool bind_layers(Binder& b, std::vector<Layer>& layers, int count, int per_layer, const char* section,
                 const char* failure_suffix, const char* progress_name) {
  for (int l = 0; l < count; l++) {
    layers.emplace_back();
    bool ok = true;
    for (int i = 0; i < per_layer; i++) ok = b.bind_next(section) && ok;
    if (!ok) {
      std::fprintf(stderr, "%s: failed to load layer %d%s\n", section, l, failure_suffix);
      return false;
    }
    if (orv_verbose >= 2) std::fprintf(stderr, "  %s layer %d/%d loaded\n", progress_name, l + 1, count);
  }
  return true;
}

// Every tensor the networks read is required: a missing bias would be read as a null pointer.
bool bind_encoder(orv_ctx_t& ctx, Binder& b) {
  bool ok = true;
  for (int i = 0; i < ORV_ENC_STEM_TENSORS; i++) ok = b.bind_next("encoder") && ok;
  return ok &&
         bind_layers(b, ctx.encoder.layers, ctx.shape.encoder.layers, ORV_ENC_LAYER_TENSORS, "encoder",
                     " weights", "Encoder") &&
         b.bind_next("encoder");
}

bool bind_adapter(Binder& b) {
  const bool linear0 = b.bind_next("adapter");
  return b.bind_next("adapter") && linear0;
}

bool bind_decoder(orv_ctx_t& ctx, Binder& b) {
  return b.bind_next("decoder") &&
         bind_layers(b, ctx.decoder.layers, ctx.shape.decoder.layers, ORV_DEC_LAYER_TENSORS, "decoder", "",
                     "Decoder") &&
         b.bind_next("decoder");
}

orv_ctx_t* load(std::unique_ptr<orv_ctx_t> ctx, const char* model_dir) {
  ctx->model_dir = model_dir;
  if (orv_shape_load_dir(model_dir, &ctx->shape) != 0) {
    std::fprintf(stderr, "orv_load: bad shape file %s/orvane-shape.json\n", model_dir);
    return nullptr;
  }
  const std::string path = ctx->model_dir + "/consolidated.safetensors";
  if (orv_verbose >= 2) std::fprintf(stderr, "Loading model from %s\n", path.c_str());
  ctx->safetensors.reset(safetensors_open(path.c_str()));
  if (!ctx->safetensors) {
    std::fprintf(stderr, "orv_load: cannot open %s\n", path.c_str());
    return nullptr;
  }
  if (orv_verbose >= 1) std::fprintf(stderr, "Loading weights...\n");

  Binder binder(*ctx);
  if (!bind_encoder(*ctx, binder)) {
    std::fprintf(stderr, "orv_load: failed to load encoder\n");
    return nullptr;
  }
  if (!bind_adapter(binder)) {
    std::fprintf(stderr, "orv_load: failed to load adapter\n");
    return nullptr;
  }
  if (!bind_decoder(*ctx, binder)) {
    std::fprintf(stderr, "orv_load: failed to load decoder\n");
    return nullptr;
  }

  // The decoder reads ada_scale on every step, so a context without it is no context.
  orv_update_time_cond(ctx.get());
  const size_t ada_size = static_cast<size_t>(ctx->shape.decoder.layers) * static_cast<size_t>(ctx->shape.decoder.dim);
  if (ctx->ada_scale.size() != ada_size) {
    std::fprintf(stderr, "orv_load: cannot allocate the time conditioning\n");
    return nullptr;
  }

  if (!orv_gpu_available()) orv_copy_encoder_weights(ctx.get());
  if (orv_gpu_available()) {
    // The INT8 table, read from the model directory's cache file or quantised and written there,
    // goes to the device; the host copy stays only while the CPU decodes with it (orv_set_int8
    // reads the file again when asked).
    const bool int8 =
        orv_int8_form_exists(ctx->shape.decoder) && orv_int8_prepare(ctx.get()) == 0;
    orv_gpu_prewarm(gpu_model_weights(*ctx), int8 ? &ctx->int8 : nullptr);
    if (!ctx->use_int8) orv_int8_table_clear(&ctx->int8);
    if (orv_verbose >= 1)
      std::fprintf(stderr, "Vulkan GPU: %.1f MB\n", static_cast<double>(orv_gpu_memory_bytes()) / 1048576.0);
  }

  if (orv_verbose >= 1) std::fprintf(stderr, "Model loaded.\n");
  return ctx.release();
}

}  // namespace

extern "C" {

orv_ctx_t* orv_load(const char* model_dir) {
  return c_edge("orv_load", static_cast<orv_ctx_t*>(nullptr), [&]() -> orv_ctx_t* {
    if (!model_dir) {
      std::fprintf(stderr, "orv_load: no model directory\n");
      return nullptr;
    }
    // Out of memory comes out through the edge as one line, like any other failure here.
    return load(std::make_unique<orv_ctx_t>(), model_dir);
  });
}

void orv_free(orv_ctx_t* ctx) {
  c_edge("orv_free", [&] {
    // Members release themselves: F32 copies and working buffers are freed, the caches go back
    // to the heap or the GPU backend, and the weight file is unmapped.
    std::unique_ptr<orv_ctx_t> owned(ctx);
    if (ctx) orv_gpu_release_model(gpu_model_weights(*ctx));
  });
}

void orv_set_delay(orv_ctx_t* ctx, int delay_ms) {
  c_edge("orv_set_delay", [&] {
    if (!ctx) return;
    const int ms = delay_ms < 80 ? 80 : delay_ms > 2400 ? 2400 : delay_ms;
    ctx->delay_tokens = (ms * 3277) >> 18;  // ms / 80 over the clamped range
    orv_update_time_cond(ctx);
  });
}

int orv_set_int8(orv_ctx_t* ctx, int on) {
  return c_edge("orv_set_int8", -1, [&]() -> int {
    if (!ctx) return -1;
    if (on && orv_int8_prepare(ctx) != 0) return -1;
    ctx->use_int8 = on != 0;
    return 0;
  });
}

int orv_delay_tokens(const orv_ctx_t* ctx) { return ctx ? ctx->delay_tokens : -1; }

void orv_update_time_cond(orv_ctx_t* ctx) {
  if (!ctx) return;
  const int dim = ctx->shape.decoder.dim;
  const int half = dim / 2;
  const int hidden = ctx->shape.ada_hidden;
  const size_t layers = ctx->decoder.layers.size();
  std::vector<float> h;
  try {
    h.resize(static_cast<size_t>(hidden));
    ctx->t_cond.assign(static_cast<size_t>(dim), 0.0f);
    // Same size after the first call, so later delay changes reuse the block.
    if (ctx->ada_scale.size() != layers * static_cast<size_t>(dim))
      ctx->ada_scale.assign(layers * static_cast<size_t>(dim), 0.0f);
  } catch (const std::bad_alloc&) {
    ctx->ada_scale = {};
    return;
  }

  // Sinusoidal embedding of the delay: frequencies 10000^(-i / half), cosines then sines.
  const float t = static_cast<float>(ctx->delay_tokens);
  const float c = -std::log(10000.0f) * (1.0f / static_cast<float>(half));
  for (int i = 0; i < half; i++) {
    const float f = std::exp(static_cast<float>(i) * c);
    ctx->t_cond[i] = std::cos(t * f);
    ctx->t_cond[half + i] = std::sin(t * f);
  }

  // Per layer: ada_scale = up * gelu(down * t_cond).
  for (size_t l = 0; l < layers; l++) {
    const orv_dec_layer_t& layer = ctx->decoder.layers[l];
    float* scale = ctx->ada_scale.data() + l * static_cast<size_t>(dim);
    if (!layer.ada_norm_down || !layer.ada_norm_up) continue;  // partly bound context
    for (int j = 0; j < hidden; j++) {
      const float* row = layer.ada_norm_down.get() + static_cast<size_t>(j) * dim;
      float sum = 0.0f;
      for (int i = 0; i < dim; i++) sum += row[i] * ctx->t_cond[i];
      h[j] = sum;
    }
    orv_gelu(h.data(), hidden);
    for (int o = 0; o < dim; o++) {
      const float* row = layer.ada_norm_up.get() + static_cast<size_t>(o) * hidden;
      float sum = 0.0f;
      for (int j = 0; j < hidden; j++) sum += row[j] * h[j];
      scale[o] = sum;
    }
  }
}

}  // extern "C"
