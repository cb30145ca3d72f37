// BF16 weight handling below the linear kernels: widening, and the vector paths of the single-row
// product orv_matvec_bf16. The portable path sums in the reference order (per row: 8-lane partial
// sums over blocks of 8 terms, a fixed reduction, then the bias, then the last K mod 8 terms by
// fused multiply-add); the vector paths use wider lanes and fused multiply-adds, so they agree
// with it to single-precision rounding. On one CPU a row's value depends only on its inputs,
// never on the thread count.
#ifndef ORVANE_BF16_H
#define ORVANE_BF16_H

#include <stddef.h>
#include <stdint.h>

#include "orvane.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  ORV_BF16_PATH_PORTABLE = 0,
  ORV_BF16_PATH_AVX2 = 1,        // AVX2 with FMA
  ORV_BF16_PATH_AVX512 = 2,      // AVX-512 F/BW/VL
  ORV_BF16_PATH_AVX512BF16 = 3,  // AVX-512 BF16 dot products
  ORV_BF16_PATH_NEON = 4,        // aarch64
  ORV_BF16_PATH_COUNT = 5
};

// 1 when this CPU can run PATH, else 0.
int orv_bf16_path_supported(int path);
// orv_matvec_bf16 on a chosen vector path (tests and benchmarks); a no-op for an unsupported path.
void orv_matvec_bf16_path(int path, float *y, const float *x, const uint16_t *w,
                          const float *bias, int k, int n);
// dst[i] = widened src[i] for N values.
void orv_bf16_widen(float *dst, const uint16_t *src, size_t n);

#ifdef __cplusplus
}
#endif

#endif
