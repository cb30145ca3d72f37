// The fused GPU passes against the engine's CPU path. Key/value caches in plain heap memory never
// take a pass (they need GPU-shared caches), so they give the CPU reference in the same process;
// with the INT8 decoder switched on it computes with the very weights the passes use.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "context_ptr.h"
#include "gpu/backend.h"
#include "gpu_env.h"
#include "kernel_check.h"
#include "net_reference.h"
#include "network/context.h"
#include "network/decoder.h"
#include "network/encoder.h"
#include "speech.h"
#include "stream/stream.h"
#include "stream_runs.h"
#include "tiny_model.h"

namespace {

const auto* const g_env = ::testing::AddGlobalTestEnvironment(new GpuEnvironment);

// Relative error bound against the CPU: the device keeps its key/value caches in half precision,
// and the rows it writes back carry that rounding.
constexpr double kTol = 1e-3;

const gpu::KvMirror* mirror_of(const KvCache& cache) { return gpu::backend()->passes->find(cache.k_data()); }

// Decoder state whose cache is heap memory of ROWS rows: every pass declines for it.
DecoderState cpu_decoder(const orv_ctx_t* ctx, int rows) {
  DecoderState st(ctx->shape.decoder);
  EXPECT_TRUE(st.cache.init(rows));
  return st;
}

struct Decoded {
  std::vector<int> tokens;
  std::vector<float> logits;  // [positions][vocab]
};

// Prefills PREFILL - 1 of EMBEDS, then steps through the rest, calling BEFORE_STEP(p) first.
template <typename F>
Decoded decode(orv_ctx_t* ctx, DecoderState* st, const std::vector<float>& embeds, int prefill,
               F before_step) {
  const int dim = ctx->shape.decoder.dim, vocab = ctx->shape.decoder.vocab;
  const int n = int(embeds.size() / dim);
  Decoded r;
  r.logits.assign(size_t(n - prefill + 1) * vocab, 0.0f);
  EXPECT_EQ(orv_decoder_prefill(ctx, st, embeds.data(), prefill - 1), 0);
  for (int p = prefill - 1; p < n; p++) {
    before_step(p);
    float* out = r.logits.data() + size_t(p - prefill + 1) * vocab;
    r.tokens.push_back(orv_decoder_step(ctx, st, embeds.data() + size_t(p) * dim, out));
  }
  return r;
}
Decoded decode(orv_ctx_t* ctx, DecoderState* st, const std::vector<float>& embeds, int prefill) {
  return decode(ctx, st, embeds, prefill, [](int) {});
}

// The CPU INT8 path's tokens. A real GPU may sum in another order and flip a near-tie, so there a
// differing token passes where the CPU's two best scores lie within 1e-3; on Mesa's CPU Vulkan
// every token must match.
void expect_cpu_tokens(const Decoded& got, const Decoded& want) {
  ASSERT_EQ(got.tokens.size(), want.tokens.size());
  const bool cpu_device = gpu::backend()->device->props.deviceType == VK_PHYSICAL_DEVICE_TYPE_CPU;
  const size_t vocab = want.logits.size() / want.tokens.size();
  for (size_t i = 0; i < got.tokens.size(); i++) {
    if (got.tokens[i] == want.tokens[i]) continue;
    std::vector<float> scores(want.logits.begin() + i * vocab, want.logits.begin() + (i + 1) * vocab);
    std::partial_sort(scores.begin(), scores.begin() + 2, scores.end(), std::greater<>());
    EXPECT_TRUE(!cpu_device && scores[0] - scores[1] <= 1e-3f)
        << "step " << i << ": token " << got.tokens[i] << ", the CPU's " << want.tokens[i];
  }
}

std::string transcribe(orv_ctx_t* ctx, const std::vector<float>& audio) {
  char* text = orv_transcribe_samples(ctx, audio.data(), int(audio.size()));
  std::string s = text ? text : "(failed)";
  std::free(text);
  return s;
}

}  // namespace

// Blocks of 1, 13 (two query blocks, the last with 5 live queries) and up to 100 positions, each
// after the cache slid to the window, against the encoder's CPU path on the same blocks; the
// host cache rows the pass wrote back must be the ones the CPU path writes.
TEST(GpuPasses, encoder_pass_matches_the_cpu_path_across_slides) {
  CtxPtr ctx = load_context();
  const orv_block_shape_t& e = ctx->shape.encoder;
  EncoderState gpu_st(e, orv_gpu_cache_memory()), cpu_st(e);
  for (EncoderState* st : {&gpu_st, &cpu_st}) ASSERT_TRUE(st->cache.init(e.window + ORV_ENCODER_HEADROOM));
  const int dim = e.dim;
  int done = 0;
  for (int n : {1, 13, 31, 100, 7, 40}) {
    SCOPED_TRACE("block of " + std::to_string(n) + " at " + std::to_string(done));
    const std::vector<float> x = random_floats(size_t(n) * dim, uint32_t(100 + done));
    int len_gpu = 0, len_cpu = 0;
    F32Array got(orv_encoder_forward_incremental(ctx.get(), &gpu_st, x.data(), n, &len_gpu));
    F32Array want(orv_encoder_forward_incremental(ctx.get(), &cpu_st, x.data(), n, &len_cpu));
    ASSERT_TRUE(got && want);
    ASSERT_EQ(len_gpu, n);
    EXPECT_LT(max_rel_diff(got.get(), want.get(), size_t(n) * dim), kTol);
    const gpu::KvMirror* m = mirror_of(gpu_st.cache);
    ASSERT_TRUE(m && m->valid) << "the pass did not run";
    EXPECT_EQ(m->rows, gpu_st.cache.len);
    EXPECT_EQ(gpu_st.cache.pos_offset, cpu_st.cache.pos_offset);
    const size_t rows = size_t(gpu_st.cache.len) * gpu_st.cache.width();
    for (int l = 0; l < e.layers; l++) {
      ASSERT_LT(max_rel_diff(gpu_st.cache.k_layer(l), cpu_st.cache.k_layer(l), rows), kTol) << "layer " << l;
      ASSERT_LT(max_rel_diff(gpu_st.cache.v_layer(l), cpu_st.cache.v_layer(l), rows), kTol) << "layer " << l;
    }
    done += n;
  }
}

// 72 positions through a cache that never fills, one compacted every few steps (window + 8
// rows) and one that the prefill makes grow: the same tokens as the CPU's INT8 decoder, and
// nearly always those of the BF16 decoder. The steps replay one recording: the last one wrote
// no descriptors, and a layer takes at most 8 dispatches.
TEST(GpuPasses, decoder_passes_give_the_cpu_int8_tokens_through_compaction_and_growth) {
  CtxPtr int8_ref = load_context(), bf16_ref = load_context();
  const int window = int8_ref->shape.decoder.window;
  const int n = 72, prefill = 9;
  const std::vector<float> embeds = random_floats(size_t(n) * int8_ref->shape.decoder.dim, 31);
  DecoderState int8_st = cpu_decoder(int8_ref.get(), 256), bf16_st = cpu_decoder(bf16_ref.get(), 256);
  ASSERT_EQ(orv_set_int8(int8_ref.get(), 1), 0);
  const Decoded want = decode(int8_ref.get(), &int8_st, embeds, prefill);
  const Decoded bf16 = decode(bf16_ref.get(), &bf16_st, embeds, prefill);

  for (int rows : {0, window + 8, 4}) {
    SCOPED_TRACE("cache rows " + std::to_string(rows));
    CtxPtr ctx = load_context();
    DecoderState st(ctx->shape.decoder, orv_gpu_cache_memory());
    if (rows) {
      ASSERT_TRUE(st.cache.init(rows) && st.cache.is_shared());
    }
    const Decoded got = decode(ctx.get(), &st, embeds, prefill);
    expect_cpu_tokens(got, want);
    EXPECT_LT(max_rel_diff(got.logits.data(), want.logits.data(), got.logits.size()), kTol);
    const gpu::KvMirror* m = mirror_of(st.cache);
    ASSERT_TRUE(m && m->valid);
    EXPECT_EQ(m->rows, st.cache.len);
    EXPECT_EQ(st.cache.len + st.cache.pos_offset, n);
    EXPECT_EQ(orv_gpu_step_work().descriptor_writes, 0);
    EXPECT_LE(orv_gpu_step_dispatches(), 8 * ctx->shape.decoder.layers + 2);
    if (rows == window + 8) {
      EXPECT_GT(st.cache.pos_offset, 0) << "never compacted";
    }
    if (rows == 4) {
      EXPECT_GT(st.cache.capacity(), 4) << "never grew";
    }
    size_t agree = 0;
    for (size_t i = 0; i < got.tokens.size(); i++) agree += got.tokens[i] == bf16.tokens[i];
    std::printf("INT8 GPU steps choosing the BF16 CPU token: %zu of %zu\n", agree, got.tokens.size());
    EXPECT_GE(agree * 10, got.tokens.size() * 9);
  }
}

// With the scratch pool full, every slide of the cache copies goes through an unpooled buffer,
// freed as soon as the pass lets go of it: the recorded copies must keep it alive until they ran.
TEST(GpuPasses, slides_through_unpooled_scratch_keep_their_buffers_alive) {
  CtxPtr ref = load_context(), ctx = load_context();
  ASSERT_EQ(orv_set_int8(ref.get(), 1), 0);
  const int n = 40, prefill = 5;
  DecoderState st(ctx->shape.decoder, orv_gpu_cache_memory()), ref_st = cpu_decoder(ref.get(), 256);
  ASSERT_TRUE(st.cache.init(ctx->shape.decoder.window + 2) && st.cache.is_shared());
  const std::vector<float> embeds = random_floats(size_t(n) * ctx->shape.decoder.dim, 53);
  gpu::limit_scratch_pool(1);
  const gpu::BufferRef filler = gpu::backend()->caches->scratch_acquire(1);
  const Decoded got = decode(ctx.get(), &st, embeds, prefill);
  gpu::limit_scratch_pool(0);
  expect_cpu_tokens(got, decode(ref.get(), &ref_st, embeds, prefill));
  EXPECT_GT(st.cache.pos_offset, 0) << "never compacted";
  const gpu::KvMirror* m = mirror_of(st.cache);
  ASSERT_TRUE(m && m->valid);
}

// A step whose weights have no INT8 registration declines and the CPU path computes it (here
// the reference does the same); the CPU wrote the cache rows of those steps, so the next pass
// must reload them before it attends to them.
TEST(GpuPasses, declined_steps_fall_back_to_the_cpu_and_later_passes_see_their_rows) {
  CtxPtr ctx = load_context(), ref = load_context();
  DecoderState st(ctx->shape.decoder, orv_gpu_cache_memory()), ref_st = cpu_decoder(ref.get(), 256);
  for (orv_ctx_t* c : {ctx.get(), ref.get()}) ASSERT_EQ(orv_set_int8(c, 1), 0);
  const int n = 40, prefill = 5;
  const std::vector<float> embeds = random_floats(size_t(n) * ctx->shape.decoder.dim, 47);
  // The same values at an address that neither the device nor the CPU's INT8 table knows, and
  // that no earlier test can have left in the backend's address-keyed caches.
  static uint16_t stand_in[65536];
  const orv_block_shape_t& s = ctx->shape.decoder;
  const size_t numel = size_t(s.heads) * s.head_dim * s.dim;
  ASSERT_EQ(numel, std::size(stand_in));
  const uint16_t* original = ctx->decoder.layers[0].wq_weight_bf16;
  std::copy(original, original + numel, stand_in);
  auto swap_at = [](orv_ctx_t* c) {
    const uint16_t* own = c->decoder.layers[0].wq_weight_bf16;
    return [=](int p) { c->decoder.layers[0].wq_weight_bf16 = (p >= 15 && p < 25) ? stand_in : own; };
  };
  bool declined_seen = false;
  auto gpu_swap = swap_at(ctx.get());
  const Decoded got = decode(ctx.get(), &st, embeds, prefill, [&](int p) {
    gpu_swap(p);
    const gpu::KvMirror* m = mirror_of(st.cache);
    if (p == 16) declined_seen = m && !m->valid;
  });
  const Decoded want = decode(ref.get(), &ref_st, embeds, prefill, swap_at(ref.get()));
  EXPECT_TRUE(declined_seen) << "the step with the stand-in weights ran on the GPU";
  expect_cpu_tokens(got, want);
  EXPECT_LT(max_rel_diff(got.logits.data(), want.logits.data(), got.logits.size()), kTol);
  const gpu::KvMirror* m = mirror_of(st.cache);
  ASSERT_TRUE(m && m->valid) << "the passes did not resume";
}

// Short speech, and a recording fed in one call that is longer than the fixed GPU encoder cache
// (so it goes through in bounded runs): the CPU's INT8 transcript, token for token. The second
// and third streams start from the context's copy of the silence state, which the GPU's cache
// copies must pick up.
TEST(GpuPasses, stream_gives_the_cpu_int8_transcript_for_short_and_single_call_audio) {
  const std::vector<float> speech = speech_samples("the passes must not change a single word");
  std::vector<float> long_audio;
  while (long_audio.size() < 9 * 16000u) long_audio.insert(long_audio.end(), speech.begin(), speech.end());
  CtxPtr gpu_ctx = load_context(), cpu_ctx = load_context();
  cpu_ctx->gpu_caches = false;
  ASSERT_EQ(orv_set_int8(cpu_ctx.get(), 1), 0);
  const int rows = gpu_ctx->shape.encoder.window + ORV_ENCODER_HEADROOM;
  ASSERT_GT(long_audio.size() / 320, size_t(rows)) << "more encoder positions than cache rows";
  for (const std::vector<float>* audio : {&speech, static_cast<const std::vector<float>*>(&long_audio), &speech}) {
    const std::string want = transcribe(cpu_ctx.get(), *audio);
    EXPECT_EQ(transcribe(gpu_ctx.get(), *audio), want);
    EXPECT_FALSE(want.empty());
  }
  // The passes ran on the stream's own caches, which never grew.
  std::unique_ptr<orv_stream_t, decltype(&orv_stream_free)> s(orv_stream_create(gpu_ctx.get()), &orv_stream_free);
  ASSERT_EQ(orv_stream_feed(s.get(), long_audio.data(), int(long_audio.size())), 0);
  EXPECT_EQ(s->enc.cache.capacity(), rows);
  EXPECT_TRUE(mirror_of(s->enc.cache) && mirror_of(s->enc.cache)->valid);
  EXPECT_TRUE(mirror_of(s->dec.cache) && mirror_of(s->dec.cache)->valid);
  EXPECT_EQ(orv_gpu_memory_bytes(), orv_gpu_allocated_bytes()) << "device memory no table accounts for";
}

// Streams on four threads share the device, its staging and the silence start; each gets its
// own cache copies and the transcript one stream alone gives.
TEST(GpuPasses, four_streams_on_threads_give_the_single_stream_transcripts) {
  CtxPtr ctx = load_context(), solo = load_context();
  const std::vector<std::string> got = stream_texts_concurrently(ctx.get(), four_recordings());
  for (size_t i = 0; i < got.size(); i++)
    EXPECT_EQ(got[i], stream_text(solo.get(), four_recordings()[i])) << "recording " << i;
}

// The GPU's INT8 weights come from the engine's table and its cache file: the first load writes
// int8_cache.bin, the second reads it, and the decoder passes run on either.
TEST(GpuPasses, gpu_load_writes_then_reads_the_int8_cache) {
  const std::string dir = make_model_dir(orv_shape_tiny(), 1);
  const std::string cache = dir + "/int8_cache.bin";
  const int saved_verbose = orv_verbose;
  orv_verbose = 1;
  auto load_log = [&] {
    testing::internal::CaptureStderr();
    CtxPtr ctx(orv_load(dir.c_str()));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(ctx);
    if (ctx) {
      std::vector<float> embeds = random_floats(size_t(3) * ctx->shape.decoder.dim, 5);
      DecoderState st(ctx->shape.decoder, orv_gpu_cache_memory());
      decode(ctx.get(), &st, embeds, 2);
      EXPECT_TRUE(mirror_of(st.cache) && mirror_of(st.cache)->valid) << "decoder passes declined";
    }
    return err;
  };
  EXPECT_NE(load_log().find("INT8 cache: saved 15 entries to " + cache), std::string::npos);
  EXPECT_NE(load_log().find("INT8 cache: loaded 15 entries from " + cache), std::string::npos);
  orv_verbose = saved_verbose;
}
