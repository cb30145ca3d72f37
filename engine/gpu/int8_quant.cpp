#include "gpu/int8_quant.h"

#include <cmath>
#include <cstring>

#include "kernels.h"

namespace gpu {

namespace {

float half_to_float(uint16_t h) {
  const uint32_t sign = uint32_t{h & 0x8000u} << 16;
  const uint32_t exponent = (h >> 10) & 0x1F, mantissa = h & 0x3FF;
  uint32_t bits;
  if (exponent == 0) {
    bits = sign;  // truncation never produces half subnormals
  } else if (exponent == 31) {
    bits = sign | 0x7F800000u | (mantissa << 13);
  } else {
    bits = sign | ((exponent + 112) << 23) | (mantissa << 13);
  }
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

}  // namespace

uint16_t half_truncate(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  const uint16_t sign = static_cast<uint16_t>((bits >> 16) & 0x8000);
  const int exponent = static_cast<int>((bits >> 23) & 0xFF);
  if (exponent > 142) return sign | 0x7C00;
  if (exponent < 113) return sign;
  return static_cast<uint16_t>(sign | ((exponent - 112) << 10) | ((bits >> 13) & 0x3FF));
}

void int8_quantise(const uint16_t* w, uint64_t rows, uint32_t k, int8_t* q, uint16_t* scales) {
  const uint32_t groups = k / 128;
  for (uint64_t r = 0; r < rows; r++) {
    for (uint32_t g = 0; g < groups; g++) {
      const uint16_t* src = w + r * k + g * 128;
      int8_t* dst = q + r * k + g * 128;
      float absmax = 0.0f;
      for (int i = 0; i < 128; i++) {
        const float a = std::fabs(orv_bf16_to_f32(src[i]));
        if (a > absmax) absmax = a;  // NaN compares false and never counts
      }
      const uint16_t s = half_truncate(absmax * 0.0078740157f);
      scales[r * groups + g] = s;
      const float s_back = half_to_float(s);
      if (s_back == 0.0f) {
        std::memset(dst, 0, 128);
        continue;
      }
      const float inv = 1.0f / s_back;
      for (int i = 0; i < 128; i++) {
        const float v = std::round(orv_bf16_to_f32(src[i]) * inv);  // ties away from zero
        dst[i] = static_cast<int8_t>(std::isnan(v) ? 0.0f : std::fmax(-127.0f, std::fmin(127.0f, v)));
      }
    }
  }
}

}  // namespace gpu
