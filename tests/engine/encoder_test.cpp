#include "encoder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "context.h"
#include "context_ptr.h"
#include "net_reference.h"

namespace {

using Result = std::unique_ptr<float[], FreeDeleter>;

std::vector<float> random_mel(int frames, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-1.5f, 1.5f);
  std::vector<float> mel(size_t(frames) * ORV_MEL_BINS);
  for (float& v : mel) v = d(rng);
  return mel;
}

// The stem outputs [ceil(frames / 2)][dim] that the stream hands to the incremental encoder.
std::vector<float> stem_outputs(const orv_ctx_t* ctx, const std::vector<float>& mel, int frames) {
  const int dim = ctx->shape.encoder.dim, len = (frames + 1) / 2;
  std::vector<float> mel_t(mel.size()), s0(size_t(dim) * frames), s1(size_t(dim) * len);
  for (int t = 0; t < frames; t++)
    for (int c = 0; c < ORV_MEL_BINS; c++)
      mel_t[size_t(c) * frames + t] = mel[size_t(t) * ORV_MEL_BINS + c];
  orv_encoder_conv0(ctx, mel_t.data(), frames, s0.data());
  orv_encoder_conv1(ctx, s0.data(), frames, s1.data());
  std::vector<float> x(size_t(len) * dim);
  for (int t = 0; t < len; t++)
    for (int c = 0; c < dim; c++) x[size_t(t) * dim + c] = s1[size_t(c) * len + t];
  return x;
}

Result batch(orv_ctx_t* ctx, const std::vector<float>& mel, int frames, int* len) {
  return Result(orv_encoder_forward(ctx, mel.data(), frames, len));
}

}  // namespace

// Stem taps, layout of heads, window and rotary positions against an independent double-precision
// encoder; 85 frames give 43 positions, past the 32-position window.
TEST(Encoder, batch_matches_double_reference_for_short_and_windowed_inputs) {
  CtxPtr m = load_context();
  const int dim = m->shape.encoder.dim;
  for (int frames : {1, 2, 3, 85}) {
    SCOPED_TRACE("frames " + std::to_string(frames));
    const std::vector<float> mel = random_mel(frames, 7);
    int len = -1;
    Result got = batch(m.get(), mel, frames, &len);
    ASSERT_TRUE(got);
    ASSERT_EQ(len, (frames + 1) / 2);
    const std::vector<double> want = ref_encoder(*m, mel.data(), frames);
    EXPECT_LT(max_rel_diff(got.get(), want.data(), size_t(len) * dim), 2e-5);
  }
}

// Uneven chunks cross the window many times (so the cache slides) and one chunk of 300 makes the
// 256-row heap cache double; every chunk must equal the batch states of the same positions.
TEST(Encoder, incremental_equals_batch_across_slides_and_growth) {
  CtxPtr m = load_context();
  orv_ctx_t* ctx = m.get();
  const int dim = ctx->shape.encoder.dim, window = ctx->shape.encoder.window;
  const int frames = 2 * 420;
  const std::vector<float> mel = random_mel(frames, 5);
  int total = 0;
  Result want = batch(ctx, mel, frames, &total);
  ASSERT_TRUE(want);
  const std::vector<float> x = stem_outputs(ctx, mel, frames);

  const std::vector<int> chunks = {1, 5, 31, 2, 40, 300, 7, 16, 18};
  int done = 0, capacity = 256;
  for (int n : chunks) {
    SCOPED_TRACE("chunk at " + std::to_string(done) + ", size " + std::to_string(n));
    const std::vector<float> input(x.begin() + size_t(done) * dim,
                                   x.begin() + size_t(done + n) * dim);
    const std::vector<float> before = input;
    const int held = std::min(done, window);  // rows kept after the slide
    int len = -1;
    Result got(orv_encoder_forward_incremental(ctx, input.data(), n, &len));
    ASSERT_TRUE(got);
    ASSERT_EQ(len, n);
    EXPECT_EQ(input, before);
    EXPECT_LT(max_rel_diff(got.get(), want.get() + size_t(done) * dim, size_t(n) * dim), 2e-5);
    EXPECT_EQ(ctx->enc_kv_cache_len, held + n);
    EXPECT_EQ(ctx->enc_kv_pos_offset, done - held);
    while (capacity < held + n) capacity *= 2;
    EXPECT_EQ(ctx->enc_kv_cache_max, capacity);
    done += n;
  }
  ASSERT_EQ(done, total);
}

// A GPU-shared cache is registered with the GPU passes, so it cannot be replaced: a call that does
// not fit is refused with a message, after the slide, and the rows it held survive.
TEST(Encoder, shared_cache_refuses_growth_and_keeps_rows) {
  CtxPtr m = load_context();
  orv_ctx_t* ctx = m.get();
  const orv_block_shape_t& s = ctx->shape.encoder;
  const int capacity = s.window + 8;
  const size_t count = size_t(capacity) * s.layers * s.kv_heads * s.head_dim;
  ctx->enc_kv_cache_k = FloatBlock::gpu_shared(count);
  ctx->enc_kv_cache_v = FloatBlock::gpu_shared(count);
  ctx->enc_kv_cache_max = capacity;
  EXPECT_EQ(orv_enc_kv_cache_init(ctx, 1000), 0);  // present already: nothing changes
  EXPECT_EQ(ctx->enc_kv_cache_max, capacity);
  EXPECT_TRUE(ctx->enc_kv_cache_k.is_shared());

  const int frames = 2 * 48;
  const std::vector<float> mel = random_mel(frames, 8);
  const std::vector<float> x = stem_outputs(ctx, mel, frames);
  int len = 0;
  Result first(orv_encoder_forward_incremental(ctx, x.data(), 36, &len));
  ASSERT_TRUE(first);
  const std::vector<float> kept(ctx->enc_kv_cache_k.data() + size_t(4) * s.kv_heads * s.head_dim,
                                ctx->enc_kv_cache_k.data() + size_t(36) * s.kv_heads * s.head_dim);

  testing::internal::CaptureStderr();
  Result refused(orv_encoder_forward_incremental(ctx, x.data() + size_t(36) * s.dim, 10, &len));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(refused);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(err, "encoder: KV cache too small (40 < 42), cannot grow shared buffer\n");
  EXPECT_EQ(ctx->enc_kv_cache_max, capacity);
  EXPECT_EQ(ctx->enc_kv_cache_len, s.window);
  EXPECT_EQ(ctx->enc_kv_pos_offset, 4);
  EXPECT_TRUE(ctx->enc_kv_cache_k.is_shared());
  EXPECT_EQ(
      std::vector<float>(ctx->enc_kv_cache_k.data(), ctx->enc_kv_cache_k.data() + kept.size()),
      kept);

  Result fits(orv_encoder_forward_incremental(ctx, x.data() + size_t(36) * s.dim, 8, &len));
  EXPECT_TRUE(fits);
  EXPECT_EQ(len, 8);
}
