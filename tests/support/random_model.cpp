#include "random_model.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>

orv_shape_t tiny_shape() {
  orv_shape_t s{};
  s.encoder = {64, 2, 4, 4, 16, 128, 32, 0};
  s.decoder = {256, 2, 4, 2, 64, 512, 32, 2048};
  s.ada_hidden = 8;
  return s;
}

namespace {

class Filler {
 public:
  Filler(RandomModel& m, uint32_t seed) : model_(m), rng_(seed) {}

  F32Array f32(size_t n, float center, float spread) {
    F32Array a(static_cast<float*>(std::malloc(n * sizeof(float))));
    std::uniform_real_distribution<float> d(center - spread, center + spread);
    for (size_t i = 0; i < n; i++) a[i] = d(rng_);
    return a;
  }

  // [out][in], uniform in +-1/sqrt(in), rounded to BF16 by truncation.
  const uint16_t* bf16(size_t out, size_t in) {
    const float a = 1.0f / std::sqrt(static_cast<float>(in));
    std::uniform_real_distribution<float> d(-a, a);
    std::vector<uint16_t>& w = model_.bf16.emplace_back(out * in);
    for (uint16_t& v : w) {
      const float f = d(rng_);
      uint32_t bits;
      std::memcpy(&bits, &f, sizeof bits);
      v = static_cast<uint16_t>(bits >> 16);
    }
    return w.data();
  }

 private:
  RandomModel& model_;
  std::mt19937 rng_;
};

}  // namespace

RandomModel make_random_model(const orv_shape_t& shape, uint32_t seed) {
  RandomModel m;
  m.ctx = std::make_unique<orv_ctx_t>();
  orv_ctx_t& c = *m.ctx;
  c.shape = shape;
  Filler f(m, seed);

  const orv_block_shape_t& e = shape.encoder;
  const size_t e_q = size_t(e.heads) * e.head_dim, e_kv = size_t(e.kv_heads) * e.head_dim;
  const float conv0_a = 1.0f / std::sqrt(float(ORV_MEL_BINS) * 3.0f);
  const float conv1_a = 1.0f / std::sqrt(e.dim * 3.0f);
  c.encoder.conv0_weight = f.f32(size_t(e.dim) * ORV_MEL_BINS * 3, 0.0f, conv0_a);
  c.encoder.conv0_bias = f.f32(e.dim, 0.0f, 0.1f);
  c.encoder.conv1_weight = f.f32(size_t(e.dim) * e.dim * 3, 0.0f, conv1_a);
  c.encoder.conv1_bias = f.f32(e.dim, 0.0f, 0.1f);
  c.encoder.layers.resize(e.layers);
  for (orv_enc_layer_t& l : c.encoder.layers) {
    l.wq_weight_bf16 = f.bf16(e_q, e.dim);
    l.wq_bias = f.f32(e_q, 0.0f, 0.1f);
    l.wk_weight_bf16 = f.bf16(e_kv, e.dim);
    l.wv_weight_bf16 = f.bf16(e_kv, e.dim);
    l.wv_bias = f.f32(e_kv, 0.0f, 0.1f);
    l.wo_weight_bf16 = f.bf16(e.dim, e_q);
    l.wo_bias = f.f32(e.dim, 0.0f, 0.1f);
    l.attention_norm = f.f32(e.dim, 1.0f, 0.2f);
    l.w1_weight_bf16 = f.bf16(e.hidden, e.dim);
    l.w2_weight_bf16 = f.bf16(e.dim, e.hidden);
    l.w2_bias = f.f32(e.dim, 0.0f, 0.1f);
    l.w3_weight_bf16 = f.bf16(e.hidden, e.dim);
    l.ffn_norm = f.f32(e.dim, 1.0f, 0.2f);
  }
  c.encoder.norm = f.f32(e.dim, 1.0f, 0.2f);

  const orv_block_shape_t& d = shape.decoder;
  c.adapter.linear0_weight_bf16 = f.bf16(d.dim, size_t(ORV_ADAPTER_GROUP) * e.dim);
  c.adapter.linear1_weight_bf16 = f.bf16(d.dim, d.dim);

  const size_t d_q = size_t(d.heads) * d.head_dim, d_kv = size_t(d.kv_heads) * d.head_dim;
  c.decoder.tok_embeddings_bf16 = f.bf16(d.vocab, d.dim);
  c.decoder.layers.resize(d.layers);
  for (orv_dec_layer_t& l : c.decoder.layers) {
    l.ada_norm_down = f.f32(size_t(shape.ada_hidden) * d.dim, 0.0f, 0.1f);
    l.ada_norm_up = f.f32(size_t(d.dim) * shape.ada_hidden, 0.0f, 0.1f);
    l.wq_weight_bf16 = f.bf16(d_q, d.dim);
    l.wk_weight_bf16 = f.bf16(d_kv, d.dim);
    l.wv_weight_bf16 = f.bf16(d_kv, d.dim);
    l.wo_weight_bf16 = f.bf16(d.dim, d_q);
    l.attention_norm = f.f32(d.dim, 1.0f, 0.2f);
    l.w1_weight_bf16 = f.bf16(d.hidden, d.dim);
    l.w2_weight_bf16 = f.bf16(d.dim, d.hidden);
    l.w3_weight_bf16 = f.bf16(d.hidden, d.dim);
    l.ffn_norm = f.f32(d.dim, 1.0f, 0.2f);
  }
  c.decoder.norm = f.f32(d.dim, 1.0f, 0.2f);
  F32Array ada = f.f32(size_t(d.layers) * d.dim, 0.0f, 0.5f);
  c.ada_scale.assign(ada.get(), ada.get() + size_t(d.layers) * d.dim);
  return m;
}
