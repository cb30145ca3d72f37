#include "network/encoder.h"

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

// Uneven chunks, then many small ones: the 300-row chunk makes the 256-row heap cache double,
// and the full cache later moves its window to the front several times. Every chunk must equal
// the batch states of the same positions.
TEST(Encoder, incremental_equals_batch_across_growth_and_compactions) {
  CtxPtr m = load_context();
  orv_ctx_t* ctx = m.get();
  const int dim = ctx->shape.encoder.dim, window = ctx->shape.encoder.window, frames = 2 * 1600;
  const std::vector<float> mel = random_mel(frames, 5);
  int total = 0;
  F32Array want(orv_encoder_forward(ctx, mel.data(), frames, &total));
  ASSERT_TRUE(want);
  const std::vector<float> x = stem_outputs(ctx, mel, frames);
  std::vector<int> chunks{1, 5, 31, 2, 40, 300};
  for (int done = 379; done < total; done += 9) chunks.push_back(std::min(9, total - done));
  EncoderState st(ctx->shape.encoder);
  int done = 0, compactions = 0;
  for (int n : chunks) {
    SCOPED_TRACE("chunk at " + std::to_string(done) + ", size " + std::to_string(n));
    const std::vector<float> input(x.begin() + size_t(done) * dim, x.begin() + size_t(done + n) * dim);
    const int offset = st.cache.pos_offset;
    int len = -1;
    F32Array got(orv_encoder_forward_incremental(ctx, &st, input.data(), n, &len));
    ASSERT_TRUE(got);
    ASSERT_EQ(len, n);
    EXPECT_TRUE(std::equal(input.begin(), input.end(), x.begin() + size_t(done) * dim)) << "input modified";
    ASSERT_LT(max_rel_diff(got.get(), want.get() + size_t(done) * dim, size_t(n) * dim), 2e-5);
    EXPECT_EQ(st.cache.pos_offset + st.cache.len, done + n);
    if (st.cache.pos_offset != offset) {
      compactions++;
      EXPECT_EQ(st.cache.len, window + n) << "a compaction keeps exactly the window";
    }
    done += n;
  }
  ASSERT_EQ(done, total);
  EXPECT_EQ(st.cache.capacity(), 512);
  EXPECT_GE(compactions, 3);
}
