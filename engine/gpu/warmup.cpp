// The model-load warm-up: every conversion and upload happens here, once, so the first recording
// finds its weights on the device.
#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

#include "gpu/backend.h"
#include "gpu/gpu.h"
#include "gpu/matmul.h"
#include "gpu/views.h"

namespace gpu {

namespace {

uint64_t count(int rows, int cols) { return uint64_t(rows) * uint64_t(cols); }

void warm_encoder(Caches& c, const GpuEncoderWeights& e) {
  const BlockWidths w(e.shape);
  for (const GpuEncoderLayer& l : e.layers) {
    c.get_merged({{l.wq, count(w.q_dim, w.dim)}, {l.wk, count(w.kv_dim, w.dim)}, {l.wv, count(w.kv_dim, w.dim)}});
    if (l.w1 && l.w3) c.get_merged({{l.w1, count(w.hidden, w.dim)}, {l.w3, count(w.hidden, w.dim)}});
    c.get_f16(l.wo, count(w.dim, w.q_dim));
    if (l.w2) c.get_f16(l.w2, count(w.dim, w.hidden));
  }
}

// The device copies of the INT8 forms of the decoder's projections, with Q/K/V and W1/W3 merged
// into one matrix each (one product each per layer), and of the token embedding (the output
// projection), from the host table.
void upload_int8_decoder(Caches& c, const GpuDecoderWeights& d, const orv_int8_table_t& table) {
  auto part = [&](const uint16_t* src, Int8Part* p) {
    p->src = src;
    return src && orv_int8_find(&table, src, &p->q);
  };
  Int8Matrix m;
  for (const GpuDecoderLayer& l : d.layers) {
    std::array<Int8Part, kDecoderMatrixCount> p;
    for (DecoderMatrix k : kDecoderMatrices)
      if (!part(l.matrix(k), &p[size_t(k)])) return;
    auto at = [&](DecoderMatrix k) { return p[size_t(k)]; };
    c.int8_upload({at(DecoderMatrix::wq), at(DecoderMatrix::wk), at(DecoderMatrix::wv)}, &m);
    c.int8_upload({at(DecoderMatrix::wo)}, &m);
    c.int8_upload({at(DecoderMatrix::w1), at(DecoderMatrix::w3)}, &m, true);
    c.int8_upload({at(DecoderMatrix::w2)}, &m);
  }
  Int8Part embedding;
  if (part(d.embedding, &embedding)) c.int8_upload({embedding}, &m);
}

// One submission of encoder layer 0's four products at 128 rows, so the driver has built and
// run every pipeline they use before the first recording.
void run_encoder_products(Backend& b, const GpuEncoderWeights& e) {
  if (e.layers.empty()) return;
  const BlockWidths w(e.shape);
  const GpuEncoderLayer& l = e.layers[0];
  Caches& c = *b.caches;
  const BufferRef qkv = c.get_merged(
      {{l.wq, count(w.q_dim, w.dim)}, {l.wk, count(w.kv_dim, w.dim)}, {l.wv, count(w.kv_dim, w.dim)}});
  const BufferRef wo = c.get_f16(l.wo, count(w.dim, w.q_dim));
  if (!l.w1 || !l.w3 || !l.w2) return;
  const BufferRef w13 = c.get_merged({{l.w1, count(w.hidden, w.dim)}, {l.w3, count(w.hidden, w.dim)}});
  const BufferRef w2 = c.get_f16(l.w2, count(w.dim, w.hidden));
  if (!qkv || !wo || !w13 || !w2) return;
  constexpr int rows = 128;
  const int widest = std::max({w.dim, w.q_dim, w.hidden});
  ScratchLease in(c, count(rows, widest) * sizeof(float));
  ScratchLease out(c, count(rows, 2 * widest) * sizeof(float));
  if (!in || !out) return;
  Recorder rec(*b.device, *b.pipelines);
  record_linear(rec, *in.get(), *qkv, false, *out.get(), rows, w.q_dim + 2 * w.kv_dim, w.dim);
  record_linear(rec, *in.get(), *wo, false, *out.get(), rows, w.dim, w.q_dim);
  record_linear(rec, *in.get(), *w13, false, *out.get(), rows, 2 * w.hidden, w.dim);
  record_linear(rec, *in.get(), *w2, false, *out.get(), rows, w.dim, w.hidden);
  rec.run();
}

void warm_vectors(Caches& c, const GpuDecoderWeights& d) {
  const uint64_t dec_bytes = uint64_t(d.shape.dim) * sizeof(float);
  for (size_t i = 0; i < d.layers.size(); i++) {
    c.get_f32(d.layers[i].attention_norm, dec_bytes);
    c.get_f32(d.layers[i].ffn_norm, dec_bytes);
    if (d.ada_scale.size() >= (i + 1) * d.shape.dim) c.get_f32(d.ada_scale.data() + i * d.shape.dim, dec_bytes);
  }
  c.get_f32(d.norm, dec_bytes);
}

void warm_encoder_vectors(Caches& c, const GpuEncoderWeights& e) {
  const uint64_t enc_bytes = uint64_t(e.shape.dim) * sizeof(float);
  for (const GpuEncoderLayer& l : e.layers) {
    c.get_f32(l.attention_norm, enc_bytes);
    c.get_f32(l.ffn_norm, enc_bytes);
  }
  c.get_f32(e.norm, enc_bytes);
}

}  // namespace

}  // namespace gpu

void orv_gpu_prewarm(const GpuModelWeights& model, const orv_int8_table_t* int8) {
  gpu::Backend* b = gpu::backend();
  if (!b) return;
  gpu::Caches& c = *b->caches;
  if (orv_verbose >= 2) std::fprintf(stderr, "Pre-warming Vulkan weight cache...\n");
  gpu::warm_encoder(c, model.encoder);
  const BlockWidths enc(model.encoder.shape), dec(model.decoder.shape);
  c.get_f16(model.adapter0, gpu::count(dec.dim, 4 * enc.dim));
  c.get_f16(model.adapter1, gpu::count(dec.dim, dec.dim));
  if (int8) gpu::upload_int8_decoder(c, model.decoder, *int8);
  if (!b->shaders_compiled) return;
  gpu::warm_vectors(c, model.decoder);
  gpu::run_encoder_products(*b, model.encoder);
  gpu::warm_encoder_vectors(c, model.encoder);
}

void orv_gpu_release_model(const GpuModelWeights& model) {
  gpu::Backend* b = gpu::backend();
  if (!b) return;
  std::vector<const void*> keys{model.adapter0, model.adapter1, model.decoder.embedding};
  for (const GpuEncoderLayer& l : model.encoder.layers)
    keys.insert(keys.end(), {l.wq, l.wk, l.wv, l.wo, l.w1, l.w2, l.w3});
  for (const GpuDecoderLayer& l : model.decoder.layers) keys.insert(keys.end(), l.matrices.begin(), l.matrices.end());
  b->caches->forget(keys);
}
