// Matrix products and BF16 linear layers against double-precision references.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "bf16.h"
#include "kernel_check.h"
#include "kernels.h"

namespace {

// y[m][n] = sum_k x[m][k] * w[n][k] (+ bias[n]) in double, with the scale sum |x w| + |bias| that
// bounds the single-precision rounding error of each element.
struct Reference {
  std::vector<double> value, scale;
};

template <typename W, typename ToDouble>
Reference reference_linear(const std::vector<float> &x, const std::vector<W> &w, const float *bias,
                           int m, int k, int n, ToDouble to_double) {
  Reference ref{std::vector<double>(m * n), std::vector<double>(m * n)};
  for (int r = 0; r < m; ++r)
    for (int c = 0; c < n; ++c) {
      double s = bias ? bias[c] : 0.0, a = bias ? std::fabs(bias[c]) : 0.0;
      for (int i = 0; i < k; ++i) {
        const double t = double(x[r * k + i]) * to_double(w[c * k + i]);
        s += t;
        a += std::fabs(t);
      }
      ref.value[r * n + c] = s;
      ref.scale[r * n + c] = a;
    }
  return ref;
}

void expect_close(const std::vector<float> &y, const Reference &ref, double rel = 2e-6) {
  ASSERT_EQ(y.size(), ref.value.size());
  for (size_t i = 0; i < y.size(); ++i)
    ASSERT_NEAR(y[i], ref.value[i], rel * (ref.scale[i] + 1e-30)) << "element " << i;
}

const auto widen = [](uint16_t v) { return bf16_value(v); };
const auto as_double = [](float v) { return double(v); };

TEST(Bf16, WideningIsExactForEveryPattern) {
  // 65536 patterns plus a few, so the vector body and the scalar tail both see every kind.
  std::vector<uint16_t> src(65536 + 5);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint16_t>(i);
  std::vector<float> dst(src.size());
  orv_bf16_widen(dst.data(), src.data(), src.size());
  for (size_t i = 0; i < src.size(); ++i) {
    if (((src[i] >> 7) & 0xFF) == 0xFF) {
      EXPECT_TRUE(std::isinf(dst[i]) || std::isnan(dst[i])) << i;
      continue;
    }
    ASSERT_EQ(double(dst[i]), bf16_value(src[i])) << "pattern " << i;
  }
  EXPECT_EQ(orv_bf16_to_f32(0x3F80), 1.0f);
  EXPECT_EQ(orv_bf16_to_f32(0xBF80), -1.0f);
}

TEST(MatvecBf16, MatchesDoubleForAwkwardSizesOnEveryPath) {
  const std::vector<float> bias = random_floats(40, 7);
  for (int k : {1, 3, 7, 8, 9, 16, 63, 300}) {
    for (int n : {1, 5, 8, 9, 17, 40}) {
      const std::vector<float> x = random_floats(k, k);
      const std::vector<uint16_t> w = random_bf16(size_t(k) * n, k * 100 + n);
      for (const float *b : {static_cast<const float *>(nullptr), bias.data()}) {
        const Reference ref = reference_linear(x, w, b, 1, k, n, widen);
        std::vector<float> best(n);
        orv_matvec_bf16(best.data(), x.data(), w.data(), b, k, n);
        expect_close(best, ref);
        // Every path rounds identically: results must agree bit for bit.
        for (int path : {ORV_BF16_PATH_SSE2, ORV_BF16_PATH_AVX2}) {
          if (!orv_bf16_path_supported(path)) continue;
          std::vector<float> y(n);
          orv_matvec_bf16_path(path, y.data(), x.data(), w.data(), b, k, n);
          ASSERT_EQ(0, std::memcmp(y.data(), best.data(), n * sizeof(float)))
              << "path " << path << " k " << k << " n " << n;
        }
      }
    }
  }
  EXPECT_TRUE(orv_bf16_path_supported(ORV_BF16_PATH_SSE2));
}

TEST(MatvecBf16, RowValueIndependentOfGroupingAndAlignment) {
  // A row computed inside a group of rows, alone, or from misaligned copies gives the same bits.
  const int k = 77, n = 21;
  const std::vector<float> x = random_floats(k, 1);
  const std::vector<uint16_t> w = random_bf16(size_t(k) * n, 2);
  std::vector<float> all(n);
  orv_matvec_bf16(all.data(), x.data(), w.data(), nullptr, k, n);
  std::vector<float> xs(k + 1);
  std::vector<uint16_t> ws(k + 1);
  for (int r = 0; r < n; ++r) {
    std::memcpy(xs.data() + 1, x.data(), k * sizeof(float));
    std::memcpy(ws.data() + 1, w.data() + size_t(r) * k, k * sizeof(uint16_t));
    float one = 0;
    orv_matvec_bf16(&one, xs.data() + 1, ws.data() + 1, nullptr, k, 1);
    ASSERT_EQ(0, std::memcmp(&one, &all[r], sizeof one)) << "row " << r;
  }
}

TEST(MatvecBf16, EmptyProductIsBiasAndEmptyOutputIsUntouched) {
  const std::vector<float> bias = {1.5f, -2.0f, 3.0f};
  const std::vector<uint16_t> w(8, 0x3F80);
  std::vector<float> y = nan_filled(3);
  orv_matvec_bf16(y.data(), nullptr, w.data(), bias.data(), 0, 3);
  EXPECT_EQ(y, bias);
  orv_matvec_bf16(y.data(), nullptr, w.data(), nullptr, -1, 3);
  EXPECT_EQ(y, std::vector<float>(3, 0.0f));
  y = nan_filled(3);
  orv_matvec_bf16(y.data(), bias.data(), w.data(), bias.data(), 3, 0);
  EXPECT_TRUE(all_nan(y));
}

TEST(LinearBf16, MultiRowMatchesDoubleAndSingleRow) {
  const int k = 45, n = 19;
  const std::vector<float> x = random_floats(3 * k, 11);
  const std::vector<uint16_t> w = random_bf16(size_t(k) * n, 12);
  const std::vector<float> bias = random_floats(n, 13);
  for (const float *b : {static_cast<const float *>(nullptr), bias.data()}) {
    for (int m : {1, 2, 3}) {
      std::vector<float> y(m * n);
      if (b)
        orv_linear_bf16(y.data(), x.data(), w.data(), b, m, k, n);
      else
        orv_linear_nobias_bf16(y.data(), x.data(), w.data(), m, k, n);
      expect_close(y, reference_linear(x, w, b, m, k, n, widen));
    }
    // The first row through the BLAS path (M = 2) and the direct path (M = 1).
    std::vector<float> one(n), two(2 * n);
    orv_linear_bf16(one.data(), x.data(), w.data(), b, 1, k, n);
    orv_linear_bf16(two.data(), x.data(), w.data(), b, 2, k, n);
    for (int c = 0; c < n; ++c) EXPECT_NEAR(one[c], two[c], 1e-5f * (std::fabs(one[c]) + 1));
  }
}

TEST(LinearBf16, DegenerateSizes) {
  const std::vector<uint16_t> w(64, 0x3F80);
  const std::vector<float> x(64, 1.0f), bias = {4.0f, 5.0f};
  std::vector<float> y = nan_filled(4);
  orv_linear_bf16(y.data(), x.data(), w.data(), bias.data(), 0, 4, 2);
  orv_linear_bf16(y.data(), x.data(), w.data(), bias.data(), 2, 4, -1);
  orv_linear_nobias_bf16(y.data(), x.data(), w.data(), -3, 4, 2);
  EXPECT_TRUE(all_nan(y));
  // No inputs: every row is the bias alone, however many rows there are.
  orv_linear_bf16(y.data(), x.data(), w.data(), bias.data(), 2, 0, 2);
  EXPECT_EQ(y, (std::vector<float>{4, 5, 4, 5}));
  orv_linear_nobias_bf16(y.data(), x.data(), w.data(), 2, 0, 2);
  EXPECT_EQ(y, std::vector<float>(4, 0.0f));
}

TEST(LinearBf16, ThreadsDoNotShareTheWideningBuffer) {
  // Each thread alternates two products of its own. With one buffer for both threads, one would
  // widen its weights (or regrow the buffer) under the other's sgemm.
  struct Case {
    int m, k, n;
    std::vector<float> x;
    std::vector<uint16_t> w;
    Reference ref;
  };
  auto make = [](int m, int k, int n, uint32_t seed) {
    Case c{m, k, n, random_floats(size_t(m) * k, seed), random_bf16(size_t(k) * n, seed + 1), {}};
    c.ref = reference_linear(c.x, c.w, nullptr, m, k, n, widen);
    return c;
  };
  const Case cases[2][2] = {{make(2, 128, 256, 1), make(3, 256, 384, 2)},
                            {make(2, 192, 320, 3), make(4, 96, 512, 4)}};
  auto worker = [&cases](int t, int *bad) {
    for (int it = 0; it < 400; ++it) {
      const Case &c = cases[t][it % 2];
      std::vector<float> y(size_t(c.m) * c.n);
      orv_linear_nobias_bf16(y.data(), c.x.data(), c.w.data(), c.m, c.k, c.n);
      for (size_t i = 0; i < y.size(); ++i)
        if (!(std::fabs(y[i] - c.ref.value[i]) <= 2e-6 * c.ref.scale[i])) ++*bad;
    }
  };
  int bad[2] = {0, 0};
  std::thread a(worker, 0, &bad[0]), b(worker, 1, &bad[1]);
  a.join();
  b.join();
  EXPECT_EQ(bad[0], 0);
  EXPECT_EQ(bad[1], 0);
}

TEST(FloatProducts, MatmulMatmulTAndLinearMatchDouble) {
  const int m = 3, k = 13, n = 7;
  const std::vector<float> a = random_floats(m * k, 21), b = random_floats(k * n, 22);
  const std::vector<float> bias = random_floats(n, 23);
  std::vector<float> bt(n * k);  // b transposed: [n][k]
  for (int i = 0; i < k; ++i)
    for (int j = 0; j < n; ++j) bt[j * k + i] = b[i * n + j];
  const Reference plain = reference_linear(a, bt, nullptr, m, k, n, as_double);
  std::vector<float> y(m * n);
  orv_matmul(y.data(), a.data(), b.data(), m, k, n);
  expect_close(y, plain);
  orv_matmul_t(y.data(), a.data(), bt.data(), m, k, n);
  expect_close(y, plain);
  orv_linear(y.data(), a.data(), bt.data(), bias.data(), m, k, n);
  expect_close(y, reference_linear(a, bt, bias.data(), m, k, n, as_double));
  y = nan_filled(m * n);
  orv_matmul(y.data(), a.data(), b.data(), m, 0, n);
  orv_matmul_t(y.data(), a.data(), bt.data(), 0, k, n);
  orv_linear(y.data(), a.data(), bt.data(), bias.data(), m, k, -2);
  EXPECT_TRUE(all_nan(y));
}

}  // namespace
