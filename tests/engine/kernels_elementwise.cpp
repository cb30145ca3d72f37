// Activations, RMS norm and softmax against their textbook formulas in double precision.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "kernel_check.h"
#include "kernels/kernels.h"

namespace {

std::vector<float> sample_points() {
  std::vector<float> x;
  for (int i = -240; i <= 240; ++i) x.push_back(i / 20.0f);
  for (float f : {-100.0f, -30.0f, -1e-6f, 0.0f, 1e-6f, 30.0f, 100.0f}) x.push_back(f);
  return x;
}

TEST(Activations, SiluAndGeluMatchTheirFormulas) {
  // Repeated until long enough to be spread over the threads.
  std::vector<float> x;
  while (x.size() < 40000) {
    const std::vector<float> points = sample_points();
    x.insert(x.end(), points.begin(), points.end());
  }
  std::vector<float> silu = x, gelu = x;
  orv_silu(silu.data(), int(silu.size()));
  orv_gelu(gelu.data(), int(gelu.size()));
  for (size_t i = 0; i < x.size(); ++i) {
    const double v = x[i];
    const double want_silu = v / (1.0 + std::exp(-v));
    const double want_gelu =
        0.5 * v * (1.0 + std::tanh(std::sqrt(2.0 / M_PI) * (v + 0.044715 * v * v * v)));
    EXPECT_NEAR(silu[i], want_silu, 1e-6 + 1e-6 * std::fabs(want_silu)) << v;
    EXPECT_NEAR(gelu[i], want_gelu, 1e-6 + 1e-6 * std::fabs(want_gelu)) << v;
  }
}

TEST(RmsNorm, MatchesFormulaInPlaceAndOutOfPlace) {
  const int rows = 3, dim = 37;
  const std::vector<float> weight = random_floats(dim, 1, 0.5f, 2.0f);
  std::vector<float> x = random_floats(rows * dim, 2);
  for (int i = 0; i < dim; ++i) x[2 * dim + i] *= 1e-3f;  // small row: eps is a visible share
  std::vector<double> want(rows * dim);
  for (int r = 0; r < rows; ++r) {
    double ss = 0;
    for (int i = 0; i < dim; ++i) ss += double(x[r * dim + i]) * x[r * dim + i];
    const double inv = 1.0 / std::sqrt(ss / dim + 1e-5);
    for (int i = 0; i < dim; ++i) want[r * dim + i] = weight[i] * x[r * dim + i] * inv;
  }
  std::vector<float> out = nan_filled(rows * dim + 1);
  orv_rms_norm(out.data(), x.data(), weight.data(), rows, dim, 1e-5f);
  orv_rms_norm(x.data(), x.data(), weight.data(), rows, dim, 1e-5f);
  for (int i = 0; i < rows * dim; ++i) {
    EXPECT_NEAR(out[i], want[i], 2e-6 * (std::fabs(want[i]) + 1e-3)) << i;
    EXPECT_EQ(x[i], out[i]) << i;
  }
  EXPECT_TRUE(std::isnan(out.back()));
}

TEST(Softmax, RowsMatchDoubleEvenForLargeValues) {
  const int rows = 3, cols = 11;
  std::vector<float> x = random_floats(rows * cols, 3, -5.0f, 5.0f);
  for (int i = 0; i < cols; ++i) x[cols + i] += 1000.0f;  // exp would overflow without the max
  std::vector<float> y = x;
  orv_softmax(y.data(), rows, cols);
  for (int r = 0; r < rows; ++r) {
    const double m = *std::max_element(x.begin() + r * cols, x.begin() + (r + 1) * cols);
    double sum = 0;
    for (int i = 0; i < cols; ++i) sum += std::exp(double(x[r * cols + i]) - m);
    for (int i = 0; i < cols; ++i)
      EXPECT_NEAR(y[r * cols + i], std::exp(double(x[r * cols + i]) - m) / sum, 1e-6);
  }
}

TEST(Elementwise, AxpyRoundsOnceAndNonPositiveSizesWriteNothing) {
  // (1 + 2^-12)^2 - (1 + 2^-11) is 2^-24: only a fused multiply-add keeps it.
  float y = -(1.0f + std::ldexp(1.0f, -11));
  const float x = 1.0f + std::ldexp(1.0f, -12);
  orv_axpy(&y, &x, 1, x);
  EXPECT_EQ(y, std::ldexp(1.0f, -24));

  std::vector<float> a = nan_filled(4);
  const std::vector<float> b(4, 1.0f), w(4, 1.0f);
  for (int n : {0, -1}) {
    orv_add_inplace(a.data(), b.data(), n);
    orv_mul_inplace(a.data(), b.data(), n);
    orv_axpy(a.data(), b.data(), n, 2.0f);
    orv_scale(a.data(), n, 2.0f);
    orv_copy(a.data(), b.data(), n);
    orv_silu(a.data(), n);
    orv_gelu(a.data(), n);
    orv_softmax(a.data(), n, 4);
    orv_softmax(a.data(), 1, n);
    orv_rms_norm(a.data(), b.data(), w.data(), n, 4, 1e-5f);
    orv_rms_norm(a.data(), b.data(), w.data(), 1, n, 1e-5f);
  }
  EXPECT_TRUE(all_nan(a));
}

}  // namespace
