// Convolutions against direct double-precision sums.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "kernel_check.h"
#include "kernels.h"

namespace {

// out[co][t] = bias[co] + sum over c, tap of w[co][c][tap] * in[c][t * stride + tap - left],
// with samples outside the input taken as zero.
std::vector<double> direct_conv(const std::vector<float> &in, const std::vector<float> &w,
                                const float *bias, int c_in, int c_out, int l_in, int k,
                                int stride, int left, int l_out) {
  std::vector<double> out(size_t(c_out) * l_out);
  for (int co = 0; co < c_out; ++co)
    for (int t = 0; t < l_out; ++t) {
      double s = bias ? bias[co] : 0.0;
      for (int c = 0; c < c_in; ++c)
        for (int tap = 0; tap < k; ++tap) {
          const int j = t * stride + tap - left;
          if (j >= 0 && j < l_in) s += double(w[(co * c_in + c) * k + tap]) * in[c * l_in + j];
        }
      out[co * l_out + t] = s;
    }
  return out;
}

TEST(CausalConv, MatchesDirectSumForStridesAndOddLengths) {
  const int c_in = 5, c_out = 4;
  const std::vector<float> bias = random_floats(c_out, 9);
  for (int stride : {1, 2, 3})
    for (int k : {1, 2, 3, 5})
      for (int l_in : {1, 2, 5, 8, 13}) {
        const std::vector<float> in = random_floats(size_t(c_in) * l_in, l_in);
        const std::vector<float> w = random_floats(size_t(c_out) * c_in * k, k);
        const int l_out = (l_in + stride - 1) / stride;
        // One spare element per row's worth at the end shows any write past the output.
        std::vector<float> out = nan_filled(size_t(c_out) * l_out + c_out);
        orv_causal_conv1d(out.data(), in.data(), w.data(), bias.data(), c_in, c_out, l_in, k,
                          stride);
        const std::vector<double> ref =
            direct_conv(in, w, bias.data(), c_in, c_out, l_in, k, stride, k - stride, l_out);
        for (size_t i = 0; i < ref.size(); ++i)
          ASSERT_NEAR(out[i], ref[i], 1e-5) << "stride " << stride << " k " << k << " l_in "
                                            << l_in << " element " << i;
        for (size_t i = ref.size(); i < out.size(); ++i) ASSERT_TRUE(std::isnan(out[i]));
      }
}

TEST(CausalConv, NonPositiveSizesWriteNothing) {
  const std::vector<float> in(16, 1.0f), w(16, 1.0f);
  std::vector<float> out = nan_filled(16);
  const int bad[][5] = {{0, 1, 4, 3, 1}, {1, 0, 4, 3, 1}, {1, 1, 0, 3, 1}, {1, 1, 4, 0, 1},
                        {1, 1, 4, 3, 0}, {1, 1, -4, 3, 2}};
  for (const auto &b : bad)
    orv_causal_conv1d(out.data(), in.data(), w.data(), nullptr, b[0], b[1], b[2], b[3], b[4]);
  EXPECT_TRUE(all_nan(out));
}

TEST(Conv1d, MatchesDirectSumWithPadding) {
  const int c_in = 3, c_out = 2;
  const std::vector<float> bias = random_floats(c_out, 3);
  for (int stride : {1, 2})
    for (int padding : {0, 1, 2})
      for (int l_in : {3, 4, 7}) {
        const int k = 3;
        const std::vector<float> in = random_floats(c_in * l_in, l_in);
        const std::vector<float> w = random_floats(c_out * c_in * k, 4);
        const int l_out = (l_in + 2 * padding - k) / stride + 1;
        std::vector<float> out = nan_filled(c_out * l_out + 1);
        orv_conv1d(out.data(), in.data(), w.data(), bias.data(), c_in, c_out, l_in, k, stride,
                   padding);
        const std::vector<double> ref =
            direct_conv(in, w, bias.data(), c_in, c_out, l_in, k, stride, padding, l_out);
        for (size_t i = 0; i < ref.size(); ++i) ASSERT_NEAR(out[i], ref[i], 1e-5);
        EXPECT_TRUE(std::isnan(out.back()));
      }
}

TEST(Conv1d, EdgeCases) {
  const std::vector<float> in = {1, 2}, w = {1, 1, 1, 1, 1, 1}, bias = {7, 8};
  std::vector<float> out = nan_filled(4);
  // A kernel wider than the padded input has no valid position: nothing is written.
  orv_conv1d(out.data(), in.data(), w.data(), bias.data(), 1, 2, 2, 3, 2, 0);
  orv_conv1d(out.data(), in.data(), w.data(), bias.data(), 1, 2, 2, 3, 0, 1);
  EXPECT_TRUE(all_nan(out));
  // No input channels: every output is the bias.
  orv_conv1d(out.data(), in.data(), w.data(), bias.data(), 0, 2, 2, 1, 1, 0);
  EXPECT_EQ(out, (std::vector<float>{7, 7, 8, 8}));
}

}  // namespace
