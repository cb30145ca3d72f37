// Sliding-window attention, in both its forms (16 rows per vector where AVX-512 runs it, one pass
// per query elsewhere), against a naive double-precision softmax over each query's window.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "kernel_check.h"
#include "kernels/kernels.h"

namespace {

struct Config {
  int n_q, n_kv, n_heads, n_kv_heads, head_dim, window, q_offset;
};

using AttentionFn = decltype(&orv_attention);

void check_against_naive(const Config& c, float q_range, AttentionFn attention) {
  const int qw = c.n_heads * c.head_dim, kw = c.n_kv_heads * c.head_dim, per_kv = c.n_heads / c.n_kv_heads;
  const std::vector<float> q = random_floats(size_t(c.n_q) * qw, 1, -q_range, q_range);
  const std::vector<float> k = random_floats(size_t(c.n_kv) * kw, 2), v = random_floats(size_t(c.n_kv) * kw, 3);
  const double scale = 1.0 / std::sqrt(double(c.head_dim));
  std::vector<float> out = nan_filled(size_t(c.n_q) * qw);
  attention(out.data(), q.data(), k.data(), v.data(), c.n_q, c.n_kv, c.n_heads, c.n_kv_heads, c.head_dim,
                c.window, c.q_offset, float(scale));
  for (int i = 0; i < c.n_q; ++i) {
    const int p = c.q_offset + i, lo = c.window > 0 ? std::max(0, p - c.window + 1) : 0, hi = std::min(p, c.n_kv - 1);
    for (int h = 0; h < c.n_heads; ++h) {
      const int g = h / per_kv;
      std::vector<double> s;
      for (int j = lo; j <= hi; ++j) {
        double d = 0;
        for (int e = 0; e < c.head_dim; ++e) d += double(q[i * qw + h * c.head_dim + e]) * k[j * kw + g * c.head_dim + e];
        s.push_back(d * scale);
      }
      const double m = s.empty() ? 0 : *std::max_element(s.begin(), s.end());
      double sum = 0;
      for (double& x : s) sum += (x = std::exp(x - m));
      for (int e = 0; e < c.head_dim; ++e) {
        double want = 0;
        for (int j = lo; j <= hi; ++j) want += s[j - lo] / sum * v[j * kw + g * c.head_dim + e];
        ASSERT_NEAR(out[i * qw + h * c.head_dim + e], want, 2e-5)
            << "query " << i << " head " << h << " of n_kv " << c.n_kv << " window " << c.window;
      }
    }
  }
}

TEST(Attention, MatchesNaiveSoftmaxOverWindows) {
  // Plain and grouped heads (up to 4 query heads per key/value head), odd head widths, unlimited
  // and narrow windows, cache offsets, queries past the last key.
  const Config configs[] = {
      {9, 9, 4, 4, 16, 0, 0},   {9, 9, 4, 4, 16, 3, 0},  {7, 12, 8, 2, 8, 4, 5},
      {5, 20, 6, 3, 5, 32, 15}, {6, 6, 2, 1, 3, 1, 0},   {4, 30, 4, 4, 16, 8, 26},
      {6, 4, 4, 2, 8, 5, 1},    {3, 40, 32, 8, 4, 10, 37},
  };
  // Then the networks' widths: more rows than one block of 16 lanes, with head widths beyond 16
  // columns (whole and partial), and windows that slide within one block.
  const Config wide[] = {{37, 300, 4, 1, 20, 40, 263}, {9, 140, 8, 2, 64, 100, 131},
                         {21, 60, 2, 2, 128, 0, 39}};
  for (AttentionFn attention : {&orv_attention, &orv_attention_one_pass}) {
    for (const Config& c : configs) check_against_naive(c, 1.0f, attention);
    for (const Config& c : wide) check_against_naive(c, 0.3f, attention);
    // Large scores (far above 88, where exp overflows), in one lane block and in several: the
    // maximum must be subtracted first.
    check_against_naive({8, 8, 2, 2, 16, 0, 0}, 60.0f, attention);
    check_against_naive({37, 60, 4, 2, 16, 0, 23}, 400.0f, attention);
    // No keys at all, and queries beyond the last key's window: zeros.
    check_against_naive({4, 0, 2, 2, 4, 0, 0}, 1.0f, attention);
    check_against_naive({4, 4, 2, 2, 4, 3, 10}, 1.0f, attention);
  }
}

TEST(Attention, BadShapesWriteNothing) {
  const std::vector<float> q = random_floats(4 * 8, 7), kv = random_floats(4 * 8, 8);
  // Query heads that do not split evenly over the key/value heads (or none of either) would
  // index past the key/value rows; the kernel refuses them.
  const int bad[][4] = {{4, 3, 2, 4}, {4, 2, 4, 4}, {4, 3, 0, 4}, {4, 0, 2, 4}, {0, 2, 2, 4}, {4, 2, 2, 0}};
  for (const auto& b : bad) {
    std::vector<float> out = nan_filled(32);
    orv_attention(out.data(), q.data(), kv.data(), kv.data(), b[0], 4, b[1], b[2], b[3], 0, 0, 1.0f);
    EXPECT_TRUE(all_nan(out)) << b[0] << " " << b[1] << " " << b[2] << " " << b[3];
  }
}

}  // namespace
