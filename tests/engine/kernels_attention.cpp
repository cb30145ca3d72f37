// Sliding-window attention against a naive double-precision softmax over each query's window.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "kernel_check.h"
#include "kernels.h"

namespace {

struct Config {
  int n_q, n_kv, n_heads, n_kv_heads, head_dim, window, q_offset;
};

// Scores of every visible key, softmax with exp in double, weighted sum of the values.
std::vector<double> naive_attention(const Config &c, const std::vector<float> &q,
                                    const std::vector<float> &k, const std::vector<float> &v,
                                    double scale) {
  const int qw = c.n_heads * c.head_dim, kw = c.n_kv_heads * c.head_dim;
  const int per_kv = c.n_heads / c.n_kv_heads;
  std::vector<double> out(size_t(c.n_q) * qw, 0.0);
  for (int i = 0; i < c.n_q; ++i) {
    const int p = c.q_offset + i;
    const int lo = c.window > 0 ? std::max(0, p - c.window + 1) : 0;
    const int hi = std::min(p, c.n_kv - 1);
    for (int h = 0; h < c.n_heads; ++h) {
      const int g = h / per_kv;
      std::vector<double> s;
      for (int j = lo; j <= hi; ++j) {
        double d = 0;
        for (int e = 0; e < c.head_dim; ++e)
          d += double(q[i * qw + h * c.head_dim + e]) * k[j * kw + g * c.head_dim + e];
        s.push_back(d * scale);
      }
      if (s.empty()) continue;
      const double m = *std::max_element(s.begin(), s.end());
      double sum = 0;
      for (double &x : s) sum += (x = std::exp(x - m));
      for (int j = lo; j <= hi; ++j)
        for (int e = 0; e < c.head_dim; ++e)
          out[i * qw + h * c.head_dim + e] += s[j - lo] / sum * v[j * kw + g * c.head_dim + e];
    }
  }
  return out;
}

void check_against_naive(const Config &c, float q_range) {
  const int qw = c.n_heads * c.head_dim, kw = c.n_kv_heads * c.head_dim;
  const std::vector<float> q = random_floats(size_t(c.n_q) * qw, 1, -q_range, q_range);
  const std::vector<float> k = random_floats(size_t(std::max(c.n_kv, 0)) * kw, 2);
  const std::vector<float> v = random_floats(size_t(std::max(c.n_kv, 0)) * kw, 3);
  const float scale = 1.0f / std::sqrt(float(c.head_dim));
  std::vector<float> out = nan_filled(size_t(c.n_q) * qw);
  orv_attention(out.data(), q.data(), k.data(), v.data(), c.n_q, c.n_kv, c.n_heads, c.n_kv_heads,
                c.head_dim, c.window, c.q_offset, scale);
  const std::vector<double> ref = naive_attention(c, q, k, v, scale);
  for (size_t i = 0; i < out.size(); ++i)
    ASSERT_NEAR(out[i], ref[i], 2e-5) << "element " << i << " of n_q " << c.n_q << " n_kv "
                                      << c.n_kv << " window " << c.window;
}

TEST(Attention, MatchesNaiveSoftmaxOverWindows) {
  // Plain and grouped heads (up to 4 query heads per key/value head), odd head widths, unlimited and narrow windows, cache offsets,
  // queries past the last key.
  const Config configs[] = {
      {9, 9, 4, 4, 16, 0, 0},   {9, 9, 4, 4, 16, 3, 0},  {7, 12, 8, 2, 8, 4, 5},
      {5, 20, 6, 3, 5, 32, 15}, {6, 6, 2, 1, 3, 1, 0},   {4, 30, 4, 4, 16, 8, 26},
      {6, 4, 4, 2, 8, 5, 1},    {3, 40, 32, 8, 4, 10, 37},
  };
  for (const Config &c : configs) check_against_naive(c, 1.0f);
  // Large scores: the running maximum must keep exp from overflowing.
  check_against_naive({8, 8, 2, 2, 16, 0, 0}, 60.0f);
}

TEST(Attention, WindowEdgeDropsTheOldestKey) {
  // Equal scores (q = 0) make the output the mean of the visible values; value j is j.
  const int n_kv = 751;
  std::vector<float> k(n_kv, 1.0f), v(n_kv), q(2, 0.0f), out(2);
  for (int j = 0; j < n_kv; ++j) v[j] = float(j);
  orv_attention(out.data(), q.data(), k.data(), v.data(), 2, n_kv, 1, 1, 1, 750, 749, 1.0f);
  EXPECT_NEAR(out[0], 374.5f, 1e-3);  // position 749: keys 0..749
  EXPECT_NEAR(out[1], 375.5f, 1e-3);  // position 750: keys 1..750
}

TEST(Attention, NoVisibleKeyGivesZerosAndBadShapesWriteNothing) {
  const std::vector<float> q = random_floats(4 * 8, 7), kv = random_floats(4 * 8, 8);
  std::vector<float> out = nan_filled(4 * 8);
  // No keys at all, and queries beyond the last key's window (positions 10..13, keys 0..3).
  orv_attention(out.data(), q.data(), kv.data(), kv.data(), 4, 0, 2, 2, 4, 0, 0, 1.0f);
  EXPECT_EQ(out, std::vector<float>(32, 0.0f));
  out = nan_filled(32);
  orv_attention(out.data(), q.data(), kv.data(), kv.data(), 4, 4, 2, 2, 4, 3, 10, 1.0f);
  EXPECT_EQ(out, std::vector<float>(32, 0.0f));
  // Query heads that do not split evenly over the key/value heads (or none of either) would
  // index past the key/value rows; the kernel refuses them.
  struct Shape {
    int n_q, n_heads, n_kv_heads, head_dim;
  };
  const Shape bad[] = {{4, 3, 2, 4}, {4, 2, 4, 4}, {4, 3, 0, 4}, {4, 0, 2, 4}, {0, 2, 2, 4},
                       {4, 2, 2, 0}};
  for (const Shape &b : bad) {
    out = nan_filled(32);
    orv_attention(out.data(), q.data(), kv.data(), kv.data(), b.n_q, 4, b.n_heads, b.n_kv_heads,
                  b.head_dim, 0, 0, 1.0f);
    EXPECT_TRUE(all_nan(out)) << b.n_q << " " << b.n_heads << " " << b.n_kv_heads;
  }
}

}  // namespace
