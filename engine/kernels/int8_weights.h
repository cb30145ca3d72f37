// INT8 forms of the decoder's BF16 matrices: weight-only quantisation in groups of 128 along each
// row, one half-precision scale per group, filling the table (formats/int8_table.h) that the CPU
// decoder and the GPU backend both read, so both compute with bit-identical weights.
#ifndef ORVANE_INT8_WEIGHTS_H
#define ORVANE_INT8_WEIGHTS_H

#include <stddef.h>
#include <stdint.h>

#include "base/half.h"
#include "formats/int8_table.h"
#include "formats/shape.h"
#include "orvane.h"

#ifdef __cplusplus
extern "C" {
#endif

// ORV_INT8_GROUP (shape.h) weights share one scale, along a row.

// Quantises N rows of K (a multiple of 128) BF16 weights. Per group: absmax (NaN ignored) / 127
// narrowed to half is the scale s; each weight becomes round-half-away(w / s) clamped to +-127,
// and a NaN weight or a zero scale gives 0.
void orv_int8_quantize(const uint16_t *w, int32_t n, int32_t k, int8_t *weights,
                       uint16_t *scales);

// Like orv_int8_find, but quantises W (NUMEL = rows * K values) into a new entry when it is not
// there. 0 when K is not a positive multiple of 128 or does not divide NUMEL, when the table is
// full or when memory runs out.
int orv_int8_get(orv_int8_table_t *t, const uint16_t *w, uint64_t numel, uint32_t k,
                 orv_int8_matrix_t *out);
// Binds W to the next entry read from a cache file when its size matches, else drops the file's
// entries (one message at verbosity 1) and quantises W. Called for every matrix in the fixed
// registration order after orv_int8_cache_load.
void orv_int8_register(orv_int8_table_t *t, const uint16_t *w, uint64_t numel,
                       uint32_t k);

// Products with a quantised matrix W [n][k]; activations and sums in float.
// y[N] = W x for one row x [K].
void orv_matvec_int8(float *y, const float *x, const orv_int8_matrix_t *w);
// y[M][N] = x[M][K] W^T. One row goes through orv_matvec_int8, several through the BLAS on
// panels of dequantised rows; y is left as it was if the panel cannot be allocated.
void orv_linear_int8(float *y, const float *x, const orv_int8_matrix_t *w, int m);
// orv_matvec_int8 on a chosen vector path (tests, benchmarks); a no-op where the CPU lacks it.
enum {
  ORV_INT8_PATH_PORTABLE = 0,
  ORV_INT8_PATH_AVX2 = 1,
  ORV_INT8_PATH_AVX512 = 2,
  ORV_INT8_PATH_NEON = 3
};
int orv_int8_path_supported(int path);
void orv_matvec_int8_path(int path, float *y, const float *x, const orv_int8_matrix_t *w);

#ifdef __cplusplus
}
#endif

#endif
