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

// The value an IEEE binary format with EXP exponent bits and MAN mantissa bits assigns to BITS.
inline double ieee_value(uint32_t bits, int exp_bits, int man_bits) {
  const uint32_t man = bits & ((1u << man_bits) - 1), exp = (bits >> man_bits) & ((1u << exp_bits) - 1);
  const double sign = (bits >> (exp_bits + man_bits)) & 1 ? -1.0 : 1.0;
  const int bias = (1 << (exp_bits - 1)) - 1;
  if (exp == (1u << exp_bits) - 1) return man ? NAN : sign * INFINITY;
  if (exp == 0) return sign * std::ldexp(man, 1 - bias - man_bits);
  return sign * std::ldexp(man + (1u << man_bits), static_cast<int>(exp) - bias - man_bits);
}
inline double bf16_value(uint16_t v) { return ieee_value(v, 8, 7); }

inline std::vector<float> nan_filled(size_t n) {
  return std::vector<float>(n, std::numeric_limits<float>::quiet_NaN());
}

inline bool all_nan(const std::vector<float> &v) {
  for (float f : v)
    if (!std::isnan(f)) return false;
  return true;
}

#endif
