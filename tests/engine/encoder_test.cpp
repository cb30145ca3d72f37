#include "encoder.h"

#include <gtest/gtest.h>

#include <string>

#include "context_ptr.h"
#include "kernel_check.h"
#include "net_reference.h"

namespace {

std::vector<float> random_mel(int frames, uint32_t seed) {
  return random_floats(size_t(frames) * ORV_MEL_BINS, seed, -1.5f, 1.5f);
}

// The stem outputs [ceil(frames / 2)][dim] that the stream hands to the incremental encoder.
std::vector<float> stem_outputs(const orv_ctx_t* ctx, const std::vector<float>& mel, int frames) {
  const int dim = ctx->shape.encoder.dim, len = (frames + 1) / 2;
  std::vector<float> mel_t(mel.size()), s0(size_t(dim) * frames), s1(size_t(dim) * len), x(s1.size());
  for (int t = 0; t < frames; t++)
    for (int c = 0; c < ORV_MEL_BINS; c++) mel_t[size_t(c) * frames + t] = mel[size_t(t) * ORV_MEL_BINS + c];
  orv_encoder_conv0(ctx, mel_t.data(), frames, s0.data());
  orv_encoder_conv1(ctx, s0.data(), frames, s1.data());
  for (int t = 0; t < len; t++)
    for (int c = 0; c < dim; c++) x[size_t(t) * dim + c] = s1[size_t(c) * len + t];
  return x;
}

}  // namespace

// Stem taps, layout of heads, window and rotary positions against an independent double-precision
// encoder; 85 frames give 43 positions, past the 32-position window.
TEST(Encoder, batch_matches_double_reference_for_short_and_windowed_inputs) {
  CtxPtr m = load_context();
  for (int frames : {1, 2, 3, 85}) {
    const std::vector<float> mel = random_mel(frames, 7);
    int len = -1;
    F32Array got(orv_encoder_forward(m.get(), mel.data(), frames, &len));
    ASSERT_TRUE(got);
    ASSERT_EQ(len, (frames + 1) / 2);
    const std::vector<double> want = ref_encoder(*m, mel.data(), frames);
    EXPECT_LT(max_rel_diff(got.get(), want.data(), want.size()), 2e-5) << frames << " frames";
  }
}

// Uneven chunks cross the window many times (so the cache slides) and one chunk of 300 makes the
// 256-row heap cache double; every chunk must equal the batch states of the same positions.
TEST(Encoder, incremental_equals_batch_across_slides_and_growth) {
  CtxPtr m = load_context();
  orv_ctx_t* ctx = m.get();
  const int dim = ctx->shape.encoder.dim, window = ctx->shape.encoder.window, frames = 2 * 420;
  const std::vector<float> mel = random_mel(frames, 5);
  int total = 0;
  F32Array want(orv_encoder_forward(ctx, mel.data(), frames, &total));
  ASSERT_TRUE(want);
  const std::vector<float> x = stem_outputs(ctx, mel, frames);
  int done = 0, capacity = 256;
  for (int n : {1, 5, 31, 2, 40, 300, 7, 16, 18}) {
    SCOPED_TRACE("chunk at " + std::to_string(done) + ", size " + std::to_string(n));
    const std::vector<float> input(x.begin() + size_t(done) * dim, x.begin() + size_t(done + n) * dim);
    const int held = std::min(done, window);  // rows kept after the slide
    int len = -1;
    F32Array got(orv_encoder_forward_incremental(ctx, input.data(), n, &len));
    ASSERT_TRUE(got);
    ASSERT_EQ(len, n);
    EXPECT_TRUE(std::equal(input.begin(), input.end(), x.begin() + size_t(done) * dim)) << "input modified";
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
  const int capacity = s.window + 8, row = s.kv_heads * s.head_dim;
  const size_t count = size_t(capacity) * s.layers * row;
  ctx->enc_kv_cache_k = FloatBlock::gpu_shared(count);
  ctx->enc_kv_cache_v = FloatBlock::gpu_shared(count);
  ctx->enc_kv_cache_max = capacity;
  EXPECT_EQ(orv_enc_kv_cache_init(ctx, 1000), 0);  // present already: nothing changes
  EXPECT_EQ(ctx->enc_kv_cache_max, capacity);

  const std::vector<float> x = stem_outputs(ctx, random_mel(2 * 48, 8), 2 * 48);
  int len = 0;
  ASSERT_TRUE(F32Array(orv_encoder_forward_incremental(ctx, x.data(), 36, &len)));
  const float* k = ctx->enc_kv_cache_k.data();
  const std::vector<float> kept(k + size_t(4) * row, k + size_t(36) * row);

  testing::internal::CaptureStderr();
  F32Array refused(orv_encoder_forward_incremental(ctx, x.data() + size_t(36) * s.dim, 10, &len));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "encoder: KV cache too small (40 < 42), cannot grow shared buffer\n");
  EXPECT_FALSE(refused);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(ctx->enc_kv_cache_len, s.window);
  EXPECT_EQ(ctx->enc_kv_pos_offset, 4);
  EXPECT_TRUE(ctx->enc_kv_cache_k.is_shared());
  EXPECT_EQ(std::vector<float>(ctx->enc_kv_cache_k.data(), ctx->enc_kv_cache_k.data() + kept.size()), kept);

  EXPECT_TRUE(F32Array(orv_encoder_forward_incremental(ctx, x.data() + size_t(36) * s.dim, 8, &len)));
  EXPECT_EQ(len, 8);
}
