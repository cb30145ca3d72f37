// BF16 weight handling below the linear kernels: widening whole matrices, and the vector paths of
// the single-row product orv_matvec_bf16. Every path sums in the same order (per row: 8-lane
// partial sums over blocks of 8 terms, each product rounded before it is added, a fixed
// reduction, then the bias, then the last K mod 8 terms by fused multiply-add), so the result
// depends on the inputs alone, never on the CPU that computes it.
#ifndef ORVANE_BF16_H
#define ORVANE_BF16_H

#include <stddef.h>
#include <stdint.h>

#include "orvane.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { ORV_BF16_PATH_SSE2 = 0, ORV_BF16_PATH_AVX2 = 1 };

// 1 when this CPU can run PATH, else 0.
ORV_API int orv_bf16_path_supported(int path);
// orv_matvec_bf16 on a chosen vector path (tests and benchmarks); a no-op for an unsupported path.
ORV_API void orv_matvec_bf16_path(int path, float *y, const float *x, const uint16_t *w,
                                  const float *bias, int k, int n);
// dst[i] = widened src[i] for N values.
ORV_API void orv_bf16_widen(float *dst, const uint16_t *src, size_t n);

#ifdef __cplusplus
}
#endif

#endif
