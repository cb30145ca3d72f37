// Conversions between float and the two 16-bit formats the weights and the GPU caches use: BF16
// (the top half of a float) and IEEE half. All are exact where the target can hold the value.
#ifndef ORVANE_HALF_H
#define ORVANE_HALF_H

#include <bit>
#include <cstdint>

// BF16 -> float, exact.
inline float orv_bf16_to_f32(uint16_t v) { return std::bit_cast<float>(uint32_t{v} << 16); }

// Float -> BF16 by truncation: the top half of the float.
inline uint16_t orv_f32_to_bf16_trunc(float f) {
  return static_cast<uint16_t>(std::bit_cast<uint32_t>(f) >> 16);
}

// Half -> float, exact: subnormals normalised, signed zeros, infinities and NaNs kept.
inline float orv_f16_to_f32(uint16_t h) {
  const uint32_t sign = uint32_t{h & 0x8000u} << 16;
  const uint32_t exp = (h >> 10) & 0x1fu;
  uint32_t man = h & 0x3ffu;
  if (exp == 0x1f) return std::bit_cast<float>(sign | 0x7f800000u | man << 13);
  if (exp != 0) return std::bit_cast<float>(sign | (exp + 112) << 23 | man << 13);
  if (man == 0) return std::bit_cast<float>(sign);
  uint32_t e = 113;
  while (!(man & 0x400u)) {
    man <<= 1;
    e--;
  }
  return std::bit_cast<float>(sign | e << 23 | (man & 0x3ffu) << 13);
}

// Float -> half by truncation: exponents past the half range give infinity (NaN too), those below
// the normal half range give zero, and the mantissa keeps its top 10 bits.
inline uint16_t orv_f32_to_f16_trunc(float f) {
  const uint32_t u = std::bit_cast<uint32_t>(f);
  const auto sign = static_cast<uint16_t>((u >> 16) & 0x8000u);
  const uint32_t exp = (u >> 23) & 0xffu;
  if (exp > 142) return sign | 0x7c00u;
  if (exp < 113) return sign;
  return static_cast<uint16_t>(sign | (exp - 112) << 10 | (u & 0x7fffffu) >> 13);
}

// BF16 -> half, exact inside the half range: NaNs stay NaN, values past the range saturate to
// infinity, and those below the normal half range become zero with their sign.
inline uint16_t orv_bf16_to_f16(uint16_t b) {
  const auto sign = static_cast<uint16_t>(b & 0x8000u);
  const int exponent = (b >> 7) & 0xff;
  const auto mantissa = static_cast<uint16_t>(b & 0x7fu);
  if (exponent == 255) return sign | 0x7c00u | (mantissa ? 0x200u : 0u);
  if (exponent <= 112) return sign;
  if (exponent >= 143) return sign | 0x7c00u;
  return static_cast<uint16_t>(sign | (exponent - 112) << 10 | mantissa << 3);
}

#endif
