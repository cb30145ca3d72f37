// Helpers for the numeric kernel tests: reproducible random inputs and NaN-poisoned outputs that
// show whether a kernel wrote where it should not have.
#ifndef ORVANE_TEST_KERNEL_CHECK_H
#define ORVANE_TEST_KERNEL_CHECK_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "base/half.h"

inline std::vector<float> random_floats(size_t n, uint32_t seed, float lo = -1.0f, float hi = 1.0f) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(lo, hi);
  std::vector<float> v(n);
  for (float &f : v) f = dist(gen);
  return v;
}

// BF16 weights: random floats cut to their upper 16 bits.
inline std::vector<uint16_t> random_bf16(size_t n, uint32_t seed) {
  std::vector<uint16_t> w(n);
  const std::vector<float> f = random_floats(n, seed);
  for (size_t i = 0; i < n; ++i) w[i] = orv_f32_to_bf16_trunc(f[i]);
  return w;
}

// Value of a finite BF16 pattern, computed from its fields.
inline double bf16_value(uint16_t v) {
  const int exponent = (v >> 7) & 0xFF;
  const int mantissa = v & 0x7F;
  const double magnitude = exponent == 0 ? std::ldexp(mantissa / 128.0, -126)
                                         : std::ldexp(1.0 + mantissa / 128.0, exponent - 127);
  return (v & 0x8000) ? -magnitude : magnitude;
}

inline std::vector<float> nan_filled(size_t n) {
  return std::vector<float>(n, std::numeric_limits<float>::quiet_NaN());
}

inline bool all_nan(const std::vector<float> &v) {
  for (float f : v)
    if (!std::isnan(f)) return false;
  return true;
}

#endif
