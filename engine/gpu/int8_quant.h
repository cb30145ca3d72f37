// Weight-only INT8 quantisation of BF16 matrices in groups of 128 weights with one half-precision
// scale per group.
#ifndef ORVANE_GPU_INT8_QUANT_H
#define ORVANE_GPU_INT8_QUANT_H

#include <cstdint>

namespace gpu {

// Half pattern of F by truncation: exponents above half's range give infinity, below its normal
// range zero, otherwise the top 10 mantissa bits (no rounding).
uint16_t half_truncate(float f);

// Quantises W [rows][k] (k a multiple of 128) into Q [rows][k] and SCALES [rows][k / 128].
void int8_quantise(const uint16_t* w, uint64_t rows, uint32_t k, int8_t* q, uint16_t* scales);

}  // namespace gpu

#endif
