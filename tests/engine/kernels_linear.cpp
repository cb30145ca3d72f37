// Matrix products and BF16 linear layers against double-precision references.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "base/bf16.h"
#include "base/cpu_features.h"
#include "kernel_check.h"
#include "kernels/kernels.h"

namespace {

// Number of elements of Y [m][n] off sum_i x[m][i] * w[n][i] (+ bias[n]), in double, by more
// than 2e-6 of sum |x w| + |bias|, the scale of each element's single-precision rounding error.
template <typename W, typename ToDouble>
int mismatches(const std::vector<float> &y, const std::vector<float> &x, const std::vector<W> &w,
               const float *bias, int m, int k, int n, ToDouble value) {
  int bad = 0;
  for (int r = 0; r < m; ++r)
    for (int c = 0; c < n; ++c) {
      double s = bias ? bias[c] : 0.0, a = bias ? std::fabs(bias[c]) : 0.0;
      for (int i = 0; i < k; ++i) {
        const double t = double(x[r * k + i]) * value(w[c * k + i]);
        s += t;
        a += std::fabs(t);
      }
      bad += !(std::fabs(y[r * n + c] - s) <= 2e-6 * a);
    }
  return bad;
}

const auto widen = [](uint16_t v) { return bf16_value(v); };
const auto as_double = [](float v) { return double(v); };

// Every BF16 and half pattern widens to its exact value, signed zeros and subnormals included;
// NaNs keep their payload. The vector widening sees all of them and a scalar tail. BF16 narrows
// to half exactly in half's normal range, to infinity above it and to a signed zero below it.
TEST(Bf16, ConversionsAreExactForEveryPattern) {
  std::vector<uint16_t> src(65536 + 5);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint16_t>(i);
  std::vector<float> dst(src.size());
  orv_bf16_widen(dst.data(), src.data(), src.size());
  for (size_t i = 0; i < src.size(); ++i) {
    const uint16_t v = src[i];
    const float bf16 = orv_bf16_to_f32(v), half = orv_f16_to_f32(v);
    ASSERT_EQ(std::bit_cast<uint32_t>(dst[i]), std::bit_cast<uint32_t>(bf16)) << "pattern " << i;
    for (const auto& [got, want, payload] : {std::tuple{bf16, bf16_value(v), (v & 0x7Fu) << 16},
                                             std::tuple{half, ieee_value(v, 5, 10), (v & 0x3FFu) << 13}}) {
      if (std::isnan(want)) {
        ASSERT_TRUE(std::isnan(got)) << "pattern " << i;
        ASSERT_EQ(std::bit_cast<uint32_t>(got) & 0x7FFFFF, payload) << "pattern " << i;
      } else {
        ASSERT_EQ(double(got), want) << "pattern " << i;
        ASSERT_EQ(std::signbit(got), (v & 0x8000) != 0) << "pattern " << i;
      }
    }
    const uint16_t h = orv_bf16_to_f16(v);
    const double wide = bf16_value(v), narrow = ieee_value(h, 5, 10);
    const int e = (v >> 7) & 0xFF;
    ASSERT_EQ(h & 0x8000, v & 0x8000) << "pattern " << i;
    if (std::isnan(wide))
      ASSERT_TRUE(std::isnan(narrow)) << "pattern " << i;
    else
      ASSERT_EQ(narrow, e >= 143 ? std::copysign(INFINITY, wide) : e >= 113 ? wide : 0.0) << "pattern " << i;
  }
}

TEST(MatvecBf16, MatchesDoubleForAwkwardSizesOnEveryPath) {
  const std::vector<float> bias = random_floats(40, 7);
  for (int k : {1, 3, 7, 8, 9, 16, 17, 31, 33, 63, 64, 65, 300})
    for (int n : {1, 5, 8, 9, 17, 40}) {
      const std::vector<float> x = random_floats(k, k);
      const std::vector<uint16_t> w = random_bf16(size_t(k) * n, k * 100 + n);
      for (const float *b : {static_cast<const float *>(nullptr), bias.data()})
        for (int path = -1; path < ORV_BF16_PATH_COUNT; ++path) {  // -1: the one chosen here
          if (path >= 0 && !orv_bf16_path_supported(path)) continue;
          std::vector<float> y = nan_filled(n);
          if (path < 0)
            orv_matvec_bf16(y.data(), x.data(), w.data(), b, k, n);
          else
            orv_matvec_bf16_path(path, y.data(), x.data(), w.data(), b, k, n);
          ASSERT_EQ(mismatches(y, x, w, b, 1, k, n, widen), 0)
              << "k " << k << " n " << n << " path " << path;
        }
    }
  EXPECT_TRUE(orv_bf16_path_supported(ORV_BF16_PATH_PORTABLE));
}

TEST(MatvecBf16, RowValueIndependentOfThreadsGroupingAndAlignment) {
  // A row computed among many rows (split across threads or not), or alone from misaligned
  // copies, gives the same bits.
  const int k = 77, n = 700;
  const std::vector<float> x = random_floats(k, 1);
  const std::vector<uint16_t> w = random_bf16(size_t(k) * n, 2);
  std::vector<float> all(n), threaded(n), xs(k + 1);
  std::vector<uint16_t> ws(k + 1);
  orv_set_threads(1);
  orv_matvec_bf16(all.data(), x.data(), w.data(), nullptr, k, n);
  orv_set_threads(3);
  orv_matvec_bf16(threaded.data(), x.data(), w.data(), nullptr, k, n);
  orv_set_threads(0);
  ASSERT_EQ(0, std::memcmp(all.data(), threaded.data(), n * sizeof(float)));
  std::memcpy(xs.data() + 1, x.data(), k * sizeof(float));
  for (int r = 0; r < n; r += 7) {
    std::memcpy(ws.data() + 1, w.data() + size_t(r) * k, k * sizeof(uint16_t));
    float one = 0;
    orv_matvec_bf16(&one, xs.data() + 1, ws.data() + 1, nullptr, k, 1);
    ASSERT_EQ(0, std::memcmp(&one, &all[r], sizeof one)) << "row " << r;
  }
}

TEST(LinearBf16, MultiRowMatchesDouble) {
  // The larger shape spans several weight panels and column blocks, split across threads.
  for (auto [k, n] : {std::pair{45, 19}, std::pair{1100, 300}}) {
    const std::vector<float> x = random_floats(5 * k, 11), bias = random_floats(n, 13);
    const std::vector<uint16_t> w = random_bf16(size_t(k) * n, 12);
    for (const float *b : {static_cast<const float *>(nullptr), bias.data()})
      for (int m : {1, 2, 4, 5}) {  // one row takes the direct path, several the tiled product
        std::vector<float> y = nan_filled(m * n);
        if (b)
          orv_linear_bf16(y.data(), x.data(), w.data(), b, m, k, n);
        else
          orv_linear_nobias_bf16(y.data(), x.data(), w.data(), m, k, n);
        EXPECT_EQ(mismatches(y, x, w, b, m, k, n, widen), 0) << "m " << m << " k " << k;
      }
  }
}

TEST(LinearBf16, EmptySizes) {
  const std::vector<uint16_t> w(64, 0x3F80);
  const std::vector<float> x(64, 1.0f), bias = {4.0f, 5.0f};
  std::vector<float> y = nan_filled(4);
  orv_linear_bf16(y.data(), x.data(), w.data(), bias.data(), 0, 4, 2);
  orv_linear_bf16(y.data(), x.data(), w.data(), bias.data(), 2, 4, -1);
  orv_linear_nobias_bf16(y.data(), x.data(), w.data(), -3, 4, 2);
  orv_matvec_bf16(y.data(), x.data(), w.data(), bias.data(), 4, 0);
  EXPECT_TRUE(all_nan(y));
  // No inputs: every row is the bias alone (or zero), for one row or several.
  orv_matvec_bf16(y.data(), x.data(), w.data(), bias.data(), 0, 2);
  EXPECT_EQ(y[0], 4.0f);
  EXPECT_EQ(y[1], 5.0f);
  orv_linear_bf16(y.data(), x.data(), w.data(), bias.data(), 2, -1, 2);
  EXPECT_EQ(y, (std::vector<float>{4, 5, 4, 5}));
  orv_linear_nobias_bf16(y.data(), x.data(), w.data(), 2, 0, 2);
  EXPECT_EQ(y, std::vector<float>(4, 0.0f));
}

TEST(LinearBf16, ThreadsDoNotShareTheWideningBuffer) {
  // Each thread alternates two products of its own. With one buffer for both threads, one would
  // widen its weights (or regrow the buffer) under the other's sgemm.
  struct Case {
    int m, k, n;
    std::vector<float> x, y;
    std::vector<uint16_t> w;
  };
  Case cases[2][2] = {{{2, 128, 256, {}, {}, {}}, {3, 256, 384, {}, {}, {}}},
                      {{2, 192, 320, {}, {}, {}}, {4, 96, 512, {}, {}, {}}}};
  auto worker = [&cases](int t, int *bad) {
    for (int it = 0; it < 400; ++it) {
      Case &c = cases[t][it % 2];
      if (c.x.empty()) {
        c.x = random_floats(size_t(c.m) * c.k, it + 10 * t);
        c.w = random_bf16(size_t(c.k) * c.n, it + 10 * t);
        c.y.resize(size_t(c.m) * c.n);
        orv_linear_nobias_bf16(c.y.data(), c.x.data(), c.w.data(), c.m, c.k, c.n);
        *bad += mismatches(c.y, c.x, c.w, nullptr, c.m, c.k, c.n, widen);
      }
      std::vector<float> y(c.y.size());
      orv_linear_nobias_bf16(y.data(), c.x.data(), c.w.data(), c.m, c.k, c.n);
      *bad += y != c.y;
    }
  };
  int bad[2] = {0, 0};
  std::thread a(worker, 0, &bad[0]), b(worker, 1, &bad[1]);
  a.join();
  b.join();
  EXPECT_EQ(bad[0] + bad[1], 0);
}

TEST(FloatProducts, MatmulMatmulTAndLinearMatchDouble) {
  // Small, and large enough to be split across threads by rows (m >= n) or by columns.
  for (auto [m, k, n] : {std::tuple{3, 13, 7}, std::tuple{150, 20, 70}, std::tuple{40, 20, 200}}) {
    const std::vector<float> a = random_floats(m * k, 21), b = random_floats(k * n, 22);
    const std::vector<float> bias = random_floats(n, 23);
    std::vector<float> bt(n * k), y(m * n);  // bt: b transposed, [n][k]
    for (int i = 0; i < k; ++i)
      for (int j = 0; j < n; ++j) bt[j * k + i] = b[i * n + j];
    orv_matmul(y.data(), a.data(), b.data(), m, k, n);
    EXPECT_EQ(mismatches(y, a, bt, nullptr, m, k, n, as_double), 0);
    orv_matmul_t(y.data(), a.data(), bt.data(), m, k, n);
    EXPECT_EQ(mismatches(y, a, bt, nullptr, m, k, n, as_double), 0);
    orv_linear(y.data(), a.data(), bt.data(), bias.data(), m, k, n);
    EXPECT_EQ(mismatches(y, a, bt, bias.data(), m, k, n, as_double), 0);
    y = nan_filled(m * n);
    orv_matmul(y.data(), a.data(), b.data(), m, 0, n);
    orv_matmul_t(y.data(), a.data(), bt.data(), 0, k, n);
    orv_linear(y.data(), a.data(), bt.data(), bias.data(), m, k, -2);
    EXPECT_TRUE(all_nan(y));
  }
}

}  // namespace

// ORVANE_CPU caps what the engine picks at a lesser instruction set, never raises it; an unknown
// name caps nothing.
TEST(CpuFeatures, the_environment_caps_the_instruction_set) {
  const CpuFeatures all{true, true, true};
  CpuFeatures got;
  ASSERT_TRUE(orv_cpu_cap(all, "avx2", &got));
  EXPECT_TRUE(got.avx2 && !got.avx512 && !got.avx512bf16);
  ASSERT_TRUE(orv_cpu_cap(all, "portable", &got));
  EXPECT_FALSE(got.avx2 || got.avx512 || got.avx512bf16);
  ASSERT_TRUE(orv_cpu_cap(CpuFeatures{true, false, false}, "avx512bf16", &got));
  EXPECT_TRUE(got.avx2 && !got.avx512);
  EXPECT_FALSE(orv_cpu_cap(all, "sse9", &got));
  EXPECT_TRUE(got.avx512bf16);
}
