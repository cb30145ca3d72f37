// Speed of the three networks on the CPU at the production widths, in the shapes a stream runs
// them: the incremental encoder on 2 s of audio (100 positions) once past its 750-row window, the
// adapter on those states, the decoder start (a prefill of delay + 32 rows) and single decoder
// steps. Weights are random. To keep memory modest only a few layers are built (arguments:
// encoder layers, decoder layers; default 4 and 2); per-layer times are printed with the estimate
// for the full layer count, next to the real-time budget of one step per 80 ms of audio.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <vector>

#include "membw.h"
#include "network/adapter.h"
#include "network/context.h"
#include "network/decoder.h"
#include "network/encoder.h"
#include "stopwatch.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Rng {
  uint64_t s = 0x9E3779B97F4A7C15ull;
  uint64_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
  float uniform() { return static_cast<float>(next() >> 40) / 16777216.0f - 0.5f; }
};

// Owns the weights a context points at.
class Weights {
 public:
  explicit Weights(Rng &rng) : rng_(rng) {}
  // Magnitudes 2^-7 to 2^-4, random sign: activations stay finite through the layers.
  const uint16_t *bf16(size_t out, size_t in) {
    std::vector<uint16_t> &w = store_.emplace_back(out * in);
    for (uint16_t &v : w) {
      const uint64_t r = rng_.next();
      v = static_cast<uint16_t>((r & 0x807F) | ((120 + ((r >> 7) % 3)) << 7));
    }
    return w.data();
  }
  F32Array f32(size_t n, float center) {
    F32Array a(static_cast<float *>(std::malloc(n * sizeof(float))));
    for (size_t i = 0; i < n; i++) a[i] = center + 0.1f * rng_.uniform();
    return a;
  }

 private:
  Rng &rng_;
  std::deque<std::vector<uint16_t>> store_;
};

void build(orv_ctx_t &c, Weights &w) {
  const orv_block_shape_t &e = c.shape.encoder, &d = c.shape.decoder;
  const size_t eq = size_t(e.heads) * e.head_dim, ekv = size_t(e.kv_heads) * e.head_dim;
  c.encoder.conv0_weight = w.f32(size_t(e.dim) * ORV_MEL_BINS * 3, 0.0f);
  c.encoder.conv0_bias = w.f32(e.dim, 0.0f);
  c.encoder.conv1_weight = w.f32(size_t(e.dim) * e.dim * 3, 0.0f);
  c.encoder.conv1_bias = w.f32(e.dim, 0.0f);
  c.encoder.layers.resize(e.layers);
  for (orv_enc_layer_t &l : c.encoder.layers) {
    l.wq_weight_bf16 = w.bf16(eq, e.dim);
    l.wq_bias = w.f32(eq, 0.0f);
    l.wk_weight_bf16 = w.bf16(ekv, e.dim);
    l.wv_weight_bf16 = w.bf16(ekv, e.dim);
    l.wv_bias = w.f32(ekv, 0.0f);
    l.wo_weight_bf16 = w.bf16(e.dim, eq);
    l.wo_bias = w.f32(e.dim, 0.0f);
    l.attention_norm = w.f32(e.dim, 1.0f);
    l.w1_weight_bf16 = w.bf16(e.hidden, e.dim);
    l.w2_weight_bf16 = w.bf16(e.dim, e.hidden);
    l.w2_bias = w.f32(e.dim, 0.0f);
    l.w3_weight_bf16 = w.bf16(e.hidden, e.dim);
    l.ffn_norm = w.f32(e.dim, 1.0f);
  }
  c.encoder.norm = w.f32(e.dim, 1.0f);
  c.adapter.linear0_weight_bf16 = w.bf16(d.dim, size_t(ORV_ADAPTER_GROUP) * e.dim);
  c.adapter.linear1_weight_bf16 = w.bf16(d.dim, d.dim);
  const size_t dq = size_t(d.heads) * d.head_dim, dkv = size_t(d.kv_heads) * d.head_dim;
  c.decoder.tok_embeddings_bf16 = w.bf16(d.vocab, d.dim);
  c.decoder.layers.resize(d.layers);
  for (orv_dec_layer_t &l : c.decoder.layers) {
    l.wq_weight_bf16 = w.bf16(dq, d.dim);
    l.wk_weight_bf16 = w.bf16(dkv, d.dim);
    l.wv_weight_bf16 = w.bf16(dkv, d.dim);
    l.wo_weight_bf16 = w.bf16(d.dim, dq);
    l.attention_norm = w.f32(d.dim, 1.0f);
    l.w1_weight_bf16 = w.bf16(d.hidden, d.dim);
    l.w2_weight_bf16 = w.bf16(d.dim, d.hidden);
    l.w3_weight_bf16 = w.bf16(d.hidden, d.dim);
    l.ffn_norm = w.f32(d.dim, 1.0f);
  }
  c.decoder.norm = w.f32(d.dim, 1.0f);
  c.ada_scale.assign(size_t(d.layers) * d.dim, 0.05f);
}

template <typename F>
double ms(F &&f) {
  const auto t0 = Clock::now();
  f();
  return ms_since(t0);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::vector<float> random_rows(size_t rows, int width, Rng &rng) {
  std::vector<float> v(rows * size_t(width));
  for (float &f : v) f = rng.uniform();
  return v;
}

}  // namespace

int main(int argc, char **argv) {
  const orv_shape_t full = orv_shape_default();
  orv_ctx_t ctx;
  ctx.shape = full;
  ctx.shape.encoder.layers = argc > 1 ? std::clamp(std::atoi(argv[1]), 1, full.encoder.layers) : 4;
  ctx.shape.decoder.layers = argc > 2 ? std::clamp(std::atoi(argv[2]), 1, full.decoder.layers) : 2;
  const orv_block_shape_t &e = ctx.shape.encoder, &d = ctx.shape.decoder;
  Rng rng;
  Weights weights(rng);
  build(ctx, weights);
  std::printf("built %d encoder and %d decoder layers: %.0f MiB resident\n", e.layers, d.layers,
              orv_bench_rss_mb());

  // Encoder: fill the cache past its 750-row window, then time calls of 100 new positions. The
  // mean counts the calls that move the window to the front of a full cache; min and max show
  // the spread between the calls.
  const int chunk = 100, warm_calls = 8, timed_calls = 24;
  const std::vector<float> stem = random_rows(chunk, e.dim, rng);
  std::vector<double> enc;
  EncoderState enc_state(e);
  for (int call = 0; call < warm_calls + timed_calls; call++) {
    int len = 0;
    float *out = nullptr;
    const double t =
        ms([&] { out = orv_encoder_forward_incremental(&ctx, &enc_state, stem.data(), chunk, &len); });
    std::free(out);
    if (call >= warm_calls) enc.push_back(t);
  }
  double enc_mean = 0;
  for (double t : enc) enc_mean += t / double(enc.size());
  const double enc_ms = median(enc);
  std::printf(
      "encoder  %d positions, window %d rows: median %.1f ms, mean %.1f, min %.1f, max %.1f "
      "(%.1f ms/layer; %d layers: %.0f ms for 2 s of audio)\n",
      chunk, e.window, enc_ms, enc_mean, *std::min_element(enc.begin(), enc.end()),
      *std::max_element(enc.begin(), enc.end()), enc_mean / e.layers, full.encoder.layers,
      enc_mean / e.layers * full.encoder.layers);

  const std::vector<float> states = random_rows(chunk, e.dim, rng);
  std::vector<double> ada;
  for (int r = 0; r < 5; r++) {
    int len = 0;
    float *out = nullptr;
    ada.push_back(ms([&] { out = orv_adapter_forward(&ctx, states.data(), chunk, &len); }));
    std::free(out);
  }
  std::printf("adapter  %d states -> %d rows: %8.1f ms\n", chunk, chunk / ORV_ADAPTER_GROUP,
              median(ada));

  // Decoder: the stream's start (delay 6: 38 prefilled rows), then steps.
  const int prefill = 6 + 32;
  const std::vector<float> embeds = random_rows(prefill + 1, d.dim, rng);
  DecoderState dec_state(d);
  const double pre_ms = ms([&] { orv_decoder_prefill(&ctx, &dec_state, embeds.data(), prefill); });
  std::printf("decoder  prefill %d rows: %8.1f ms (%.1f ms/layer)\n", prefill, pre_ms,
              pre_ms / d.layers);
  std::vector<float> logits(size_t(d.vocab));
  std::vector<double> steps;
  for (int s = 0; s < 9; s++)
    steps.push_back(ms([&] { orv_decoder_step(&ctx, &dec_state, embeds.data(), logits.data()); }));
  // The output projection alone, to split a step into its layers and its logits.
  ctx.shape.decoder.layers = 0;
  std::vector<double> heads;
  for (int s = 0; s < 5; s++)
    heads.push_back(ms([&] { orv_decoder_step(&ctx, &dec_state, embeds.data(), logits.data()); }));
  ctx.shape.decoder.layers = static_cast<int>(ctx.decoder.layers.size());
  const double step_ms = median(steps), head_ms = median(heads);
  const double layer_ms = (step_ms - head_ms) / d.layers;
  const double full_step = layer_ms * full.decoder.layers + head_ms;
  std::printf(
      "decoder  step: %8.1f ms (%.1f ms/layer + %.1f ms logits); %d layers: %.0f ms per "
      "80 ms of audio (%.2fx real time)\n",
      step_ms, layer_ms, head_ms, full.decoder.layers, full_step, 80.0 / full_step);
  std::printf("resident memory at exit: %.0f MiB\n", orv_bench_rss_mb());
  return 0;
}
