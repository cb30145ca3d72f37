#include "network/gpu_weights.h"

#include "network/context.h"

GpuEncoderWeights gpu_encoder_weights(const orv_ctx_t& ctx) {
  GpuEncoderWeights e{ctx.shape.encoder, {}, ctx.encoder.norm.get()};
  e.layers.reserve(ctx.encoder.layers.size());
  for (const orv_enc_layer_t& l : ctx.encoder.layers)
    e.layers.push_back({l.wq_weight_bf16, l.wk_weight_bf16, l.wv_weight_bf16, l.wo_weight_bf16,
                        l.w1_weight_bf16, l.w2_weight_bf16, l.w3_weight_bf16, l.wq_bias.get(),
                        l.wv_bias.get(), l.wo_bias.get(), l.w2_bias.get(), l.attention_norm.get(),
                        l.ffn_norm.get()});
  return e;
}

GpuDecoderWeights gpu_decoder_weights(const orv_ctx_t& ctx) {
  GpuDecoderWeights d{ctx.shape.decoder, {}, ctx.decoder.tok_embeddings_bf16,
                      ctx.decoder.norm.get(), ctx.ada_scale};
  d.layers.reserve(ctx.decoder.layers.size());
  for (const orv_dec_layer_t& l : ctx.decoder.layers) {
    GpuDecoderLayer g{{}, l.attention_norm.get(), l.ffn_norm.get()};
    for (DecoderMatrix m : kDecoderMatrices) g.matrices[size_t(m)] = l.matrix(m);
    d.layers.push_back(g);
  }
  return d;
}

GpuModelWeights gpu_model_weights(const orv_ctx_t& ctx) {
  return {gpu_encoder_weights(ctx), ctx.adapter.linear0_weight_bf16,
          ctx.adapter.linear1_weight_bf16, gpu_decoder_weights(ctx)};
}

GpuKvView gpu_kv_view(KvCache& cache) {
  return {cache.k_data(), cache.v_data(), cache.layers(), cache.capacity(), cache.width(),
          cache.len, cache.pos_offset, &cache.device_stale};
}
