// Convolutions against direct double-precision sums.
#include <gtest/gtest.h>

#include <cmath>

#include "kernel_check.h"
#include "kernels/kernels.h"

namespace {

// Runs the causal convolution (PADDING < 0) or the padded one on random data and compares
// out[co][t] = bias[co] + sum over c, tap of w[co][c][tap] * in[c][t * stride + tap - left], with
// samples outside the input taken as zero; the element after the output must stay untouched.
void check(int c_in, int c_out, int l_in, int k, int stride, int padding) {
  const std::vector<float> in = random_floats(size_t(c_in) * l_in, l_in), bias = random_floats(c_out, 9);
  const std::vector<float> w = random_floats(size_t(c_out) * c_in * k, k);
  const bool causal = padding < 0;
  const int left = causal ? k - stride : padding;
  const int l_out = causal ? (l_in + stride - 1) / stride : (l_in + 2 * padding - k) / stride + 1;
  std::vector<float> out = nan_filled(size_t(c_out) * l_out + 1);
  if (causal)
    orv_causal_conv1d(out.data(), in.data(), w.data(), bias.data(), c_in, c_out, l_in, k, stride);
  else
    orv_conv1d(out.data(), in.data(), w.data(), bias.data(), c_in, c_out, l_in, k, stride, padding);
  for (int co = 0; co < c_out; ++co)
    for (int t = 0; t < l_out; ++t) {
      double s = bias[co];
      for (int c = 0; c < c_in; ++c)
        for (int tap = 0; tap < k; ++tap) {
          const int j = t * stride + tap - left;
          if (j >= 0 && j < l_in) s += double(w[(co * c_in + c) * k + tap]) * in[c * l_in + j];
        }
      ASSERT_NEAR(out[co * l_out + t], s, 1e-5) << "stride " << stride << " k " << k << " l_in " << l_in
                                                << " padding " << padding << " at " << co << "," << t;
    }
  ASSERT_TRUE(std::isnan(out.back()));
}

TEST(Conv, MatchesDirectSumForStridesPaddingAndOddLengths) {
  for (int stride : {1, 2, 3})
    for (int k : {1, 2, 3, 5})
      for (int l_in : {1, 2, 5, 8, 13}) check(5, 4, l_in, k, stride, -1);
  for (int stride : {1, 2})
    for (int padding : {0, 1, 2})
      for (int l_in : {3, 4, 7}) check(3, 2, l_in, 3, stride, padding);
}

TEST(Conv, DegenerateSizes) {
  const std::vector<float> in(16, 1.0f), w(16, 1.0f), bias = {7, 8};
  std::vector<float> out = nan_filled(16);
  const int bad[][5] = {{0, 1, 4, 3, 1}, {1, 0, 4, 3, 1}, {1, 1, 0, 3, 1}, {1, 1, 4, 0, 1}, {1, 1, 4, 3, 0}, {1, 1, -4, 3, 2}};
  for (const auto& b : bad) orv_causal_conv1d(out.data(), in.data(), w.data(), nullptr, b[0], b[1], b[2], b[3], b[4]);
  // A kernel wider than the padded input has no valid position.
  orv_conv1d(out.data(), in.data(), w.data(), bias.data(), 1, 2, 2, 3, 2, 0);
  orv_conv1d(out.data(), in.data(), w.data(), bias.data(), 1, 2, 2, 3, 0, 1);
  EXPECT_TRUE(all_nan(out));
  // No input channels: every output is the bias.
  orv_conv1d(out.data(), in.data(), w.data(), bias.data(), 0, 2, 2, 1, 1, 0);
  EXPECT_EQ(std::vector<float>(out.begin(), out.begin() + 4), (std::vector<float>{7, 7, 8, 8}));
}

}  // namespace
