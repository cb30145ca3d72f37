// Rotary embedding against the complex rotation it stands for, computed in double.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "kernel_check.h"
#include "kernels/kernels.h"

namespace {

TEST(Rope, TableHoldsCosineAndSineOfPositionTimesFrequency) {
  const std::vector<int32_t> positions = {0, 1, 7, 749, 8191, 40000};
  for (int head_dim : {2, 5, 64, 128}) {
    const int stride = head_dim & ~1;
    std::vector<float> table = nan_filled(positions.size() * stride + 1);
    orv_rope_freqs(table.data(), positions.data(), int(positions.size()), head_dim, 1e6f);
    for (size_t r = 0; r < positions.size(); ++r)
      for (int i = 0; i < head_dim / 2; ++i) {
        const double angle = positions[r] * std::pow(1e6, -2.0 * i / head_dim);
        // The angle is formed in single precision: allow its rounding, relative to its size.
        const double tol = 4e-7 * std::fabs(angle) + 1e-6;
        EXPECT_NEAR(table[r * stride + 2 * i], std::cos(angle), tol) << positions[r] << " " << i;
        EXPECT_NEAR(table[r * stride + 2 * i + 1], std::sin(angle), tol);
        if (positions[r] == 0) {
          EXPECT_EQ(table[r * stride + 2 * i], 1.0f);
          EXPECT_EQ(table[r * stride + 2 * i + 1], 0.0f);
        }
      }
    EXPECT_TRUE(std::isnan(table.back()));
  }
}

TEST(Rope, RotatesAdjacentPairsOfEveryHeadByItsRow) {
  const int n = 3, heads = 3, hd = 5, stride = 4;  // odd width: the last element stays put
  const std::vector<int32_t> positions = {0, 5, 1234};
  std::vector<float> table(n * stride);
  orv_rope_freqs(table.data(), positions.data(), n, hd, 1e6f);
  const std::vector<float> x0 = random_floats(n * heads * hd, 4);
  std::vector<float> x = x0;
  orv_apply_rope(x.data(), table.data(), n, heads, hd);
  for (int r = 0; r < n; ++r)
    for (int h = 0; h < heads; ++h) {
      const int base = (r * heads + h) * hd;
      for (int i = 0; i < hd / 2; ++i) {
        const std::complex<double> z(x0[base + 2 * i], x0[base + 2 * i + 1]);
        const std::complex<double> rot(table[r * stride + 2 * i], table[r * stride + 2 * i + 1]);
        const std::complex<double> want = z * rot;
        EXPECT_NEAR(x[base + 2 * i], want.real(), 1e-6);
        EXPECT_NEAR(x[base + 2 * i + 1], want.imag(), 1e-6);
      }
      EXPECT_EQ(x[base + hd - 1], x0[base + hd - 1]);
    }
}

TEST(Rope, DegenerateSizesWriteNothing) {
  const std::vector<int32_t> positions = {1, 2};
  std::vector<float> table = nan_filled(8), x = nan_filled(8);
  orv_rope_freqs(table.data(), positions.data(), 0, 4, 1e6f);
  orv_rope_freqs(table.data(), positions.data(), 2, 1, 1e6f);
  EXPECT_TRUE(all_nan(table));
  const std::vector<float> t(8, 0.5f);
  orv_apply_rope(x.data(), t.data(), 2, 0, 4);
  orv_apply_rope(x.data(), t.data(), 2, 1, 1);
  orv_apply_rope(x.data(), t.data(), -1, 1, 4);
  EXPECT_TRUE(all_nan(x));
}

}  // namespace
