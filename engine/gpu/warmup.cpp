// The model-load warm-up: every conversion and quantisation happens here, once, so the first
// recording finds its weights on the device.
#include <cstdio>
#include <vector>

#include "gpu/backend.h"
#include "gpu/gpu.h"
#include "gpu/matmul.h"
#include "network/context.h"
#include "network/int8_cache.h"
#include "network/layer_buffers.h"

namespace gpu {

namespace {

uint64_t count(int rows, int cols) { return uint64_t(rows) * uint64_t(cols); }

void warm_encoder(Caches& c, const orv_ctx_t& ctx) {
  const BlockWidths w(ctx.shape.encoder);
  for (const orv_enc_layer_t& l : ctx.encoder.layers) {
    c.get_merged({{l.wq_weight_bf16, count(w.q_dim, w.dim)},
                  {l.wk_weight_bf16, count(w.kv_dim, w.dim)},
                  {l.wv_weight_bf16, count(w.kv_dim, w.dim)}});
    if (l.w1_weight_bf16 && l.w3_weight_bf16)
      c.get_merged({{l.w1_weight_bf16, count(w.hidden, w.dim)}, {l.w3_weight_bf16, count(w.hidden, w.dim)}});
    c.get_f16(l.wo_weight_bf16, count(w.dim, w.q_dim));
    if (l.w2_weight_bf16) c.get_f16(l.w2_weight_bf16, count(w.dim, w.hidden));
  }
}

// The device copies of the INT8 forms of every decoder projection and of the token embedding
// (the output projection), from the context's host table, which loads the model directory's
// INT8 cache file or quantises and writes it.
void upload_int8_decoder(Caches& c, orv_ctx_t& ctx) {
  const BlockWidths w(ctx.shape.decoder);
  for (int width : {w.dim, w.q_dim, w.hidden})
    if (width % int(kInt8Group) != 0) return;  // this shape has no INT8 form
  if (orv_int8_prepare(&ctx) != 0) return;
  Int8Matrix m;
  auto upload = [&](const uint16_t* src, int rows, int k) {
    c.int8_get(&ctx.int8, src, count(rows, k), uint32_t(k), &m);
  };
  // Q/K/V and W1/W3 as single matrices: one product each per layer.
  for (const orv_dec_layer_t& l : ctx.decoder.layers) {
    c.int8_get_merged(&ctx.int8,
                      {{l.wq_weight_bf16, count(w.q_dim, w.dim)},
                       {l.wk_weight_bf16, count(w.kv_dim, w.dim)},
                       {l.wv_weight_bf16, count(w.kv_dim, w.dim)}},
                      uint32_t(w.dim), &m);
    upload(l.wo_weight_bf16, w.dim, w.q_dim);
    c.int8_get_merged(&ctx.int8, {{l.w1_weight_bf16, count(w.hidden, w.dim)}, {l.w3_weight_bf16, count(w.hidden, w.dim)}},
                      uint32_t(w.dim), &m, true);
    upload(l.w2_weight_bf16, w.dim, w.hidden);
  }
  upload(ctx.decoder.tok_embeddings_bf16, ctx.shape.decoder.vocab, w.dim);
  // The device holds the weights now; the host copy stays only while the CPU decodes with it
  // (orv_set_int8 reads the cache file again when asked).
  if (!ctx.use_int8) orv_int8_table_clear(&ctx.int8);
}

// One submission of encoder layer 0's four products at 128 rows, so the driver has built and
// run every pipeline they use before the first recording.
void run_encoder_products(Backend& b, const orv_ctx_t& ctx) {
  if (ctx.encoder.layers.empty()) return;
  const BlockWidths w(ctx.shape.encoder);
  const orv_enc_layer_t& l = ctx.encoder.layers[0];
  Caches& c = *b.caches;
  const BufferRef qkv = c.get_merged({{l.wq_weight_bf16, count(w.q_dim, w.dim)},
                                      {l.wk_weight_bf16, count(w.kv_dim, w.dim)},
                                      {l.wv_weight_bf16, count(w.kv_dim, w.dim)}});
  const BufferRef wo = c.get_f16(l.wo_weight_bf16, count(w.dim, w.q_dim));
  if (!l.w1_weight_bf16 || !l.w3_weight_bf16 || !l.w2_weight_bf16) return;
  const BufferRef w13 = c.get_merged({{l.w1_weight_bf16, count(w.hidden, w.dim)},
                                      {l.w3_weight_bf16, count(w.hidden, w.dim)}});
  const BufferRef w2 = c.get_f16(l.w2_weight_bf16, count(w.dim, w.hidden));
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

void warm_vectors(Caches& c, const orv_ctx_t& ctx) {
  const uint64_t dec_bytes = uint64_t(ctx.shape.decoder.dim) * sizeof(float);
  for (size_t i = 0; i < ctx.decoder.layers.size(); i++) {
    const orv_dec_layer_t& l = ctx.decoder.layers[i];
    c.get_f32(l.attention_norm.get(), dec_bytes);
    c.get_f32(l.ffn_norm.get(), dec_bytes);
    if (ctx.ada_scale.size() >= (i + 1) * ctx.shape.decoder.dim)
      c.get_f32(ctx.ada_scale.data() + i * ctx.shape.decoder.dim, dec_bytes);
  }
  c.get_f32(ctx.decoder.norm.get(), dec_bytes);
}

void warm_encoder_vectors(Caches& c, const orv_ctx_t& ctx) {
  const uint64_t enc_bytes = uint64_t(ctx.shape.encoder.dim) * sizeof(float);
  for (const orv_enc_layer_t& l : ctx.encoder.layers) {
    c.get_f32(l.attention_norm.get(), enc_bytes);
    c.get_f32(l.ffn_norm.get(), enc_bytes);
  }
  c.get_f32(ctx.encoder.norm.get(), enc_bytes);
}

}  // namespace

}  // namespace gpu

extern "C" void orv_gpu_prewarm(orv_ctx_t* ctx) {
  gpu::Backend* b = gpu::backend();
  if (!b || !ctx) return;
  gpu::Caches& c = *b->caches;
  if (orv_verbose >= 2) std::fprintf(stderr, "Pre-warming Vulkan weight cache...\n");
  gpu::warm_encoder(c, *ctx);
  const BlockWidths enc(ctx->shape.encoder), dec(ctx->shape.decoder);
  c.get_f16(ctx->adapter.linear0_weight_bf16, gpu::count(dec.dim, 4 * enc.dim));
  c.get_f16(ctx->adapter.linear1_weight_bf16, gpu::count(dec.dim, dec.dim));
  gpu::upload_int8_decoder(c, *ctx);
  if (!b->shaders_compiled) return;
  gpu::warm_vectors(c, *ctx);
  gpu::run_encoder_products(*b, *ctx);
  gpu::warm_encoder_vectors(c, *ctx);
}

extern "C" void orv_gpu_release_model(const orv_ctx_t* ctx) {
  gpu::Backend* b = gpu::backend();
  if (!b || !ctx) return;
  std::vector<const void*> keys{ctx->adapter.linear0_weight_bf16, ctx->adapter.linear1_weight_bf16,
                                ctx->decoder.tok_embeddings_bf16};
  for (const orv_enc_layer_t& l : ctx->encoder.layers)
    keys.insert(keys.end(), {l.wq_weight_bf16, l.wk_weight_bf16, l.wv_weight_bf16, l.wo_weight_bf16,
                             l.w1_weight_bf16, l.w2_weight_bf16, l.w3_weight_bf16});
  for (const orv_dec_layer_t& l : ctx->decoder.layers)
    keys.insert(keys.end(), {l.wq_weight_bf16, l.wk_weight_bf16, l.wv_weight_bf16, l.wo_weight_bf16,
                             l.w1_weight_bf16, l.w2_weight_bf16, l.w3_weight_bf16});
  b->caches->forget(keys);
}
