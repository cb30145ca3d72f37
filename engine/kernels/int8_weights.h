// INT8 forms of the decoder's BF16 matrices: weight-only quantisation in groups of 128 along each
// row, one half-precision scale per group, and the table that holds one model's quantised
// matrices, keyed by the address of their BF16 source in the mapped weight file. The CPU decoder
// and the GPU backend read the same table, so both compute with bit-identical weights.
#ifndef ORVANE_INT8_WEIGHTS_H
#define ORVANE_INT8_WEIGHTS_H

#include <stddef.h>
#include <stdint.h>

#include "base/half.h"
#include "formats/shape.h"
#include "orvane.h"

#ifdef __cplusplus
extern "C" {
#endif

// ORV_INT8_GROUP (shape.h) weights share one scale, along a row.
enum { ORV_INT8_TABLE_CAP = 256 };  // matrices one table (and one cache file) holds

typedef struct orv_int8_table_t orv_int8_table_t;

// A quantised matrix: weight (r, c) is weights[r * k + c] * scales[r * (k / 128) + c / 128].
// The arrays belong to the table and live until it is cleared or freed.
typedef struct {
  const int8_t *weights;   // [n][k], -127..127
  const uint16_t *scales;  // [n][k / 128], IEEE half
  int32_t n;               // rows (outputs)
  int32_t k;               // row length (inputs), a multiple of 128
} orv_int8_matrix_t;

// Quantises N rows of K (a multiple of 128) BF16 weights. Per group: absmax (NaN ignored) / 127
// narrowed to half is the scale s; each weight becomes round-half-away(w / s) clamped to +-127,
// and a NaN weight or a zero scale gives 0.
void orv_int8_quantize(const uint16_t *w, int32_t n, int32_t k, int8_t *weights,
                       uint16_t *scales);

orv_int8_table_t *orv_int8_table_new(void);
void orv_int8_table_free(orv_int8_table_t *t);
// Releases every entry and clears the loaded-from-file state.
void orv_int8_table_clear(orv_int8_table_t *t);
int orv_int8_table_count(const orv_int8_table_t *t);

// 1 and *OUT when the matrix with BF16 source W is in the table, else 0. No quantisation.
int orv_int8_find(const orv_int8_table_t *t, const uint16_t *w, orv_int8_matrix_t *out);
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

#include <memory>
#include <vector>

#include "base/mapping.h"

// An entry owns its arrays when quantised or read into memory; one taken from a mapped cache
// file points into the table's mapping instead (file_weights, file_scales).
struct Int8Entry {
  const uint16_t *key = nullptr;  // BF16 source; null for a file entry not bound yet
  std::unique_ptr<int8_t[]> weights;
  std::unique_ptr<uint16_t[]> scales;
  const int8_t *file_weights = nullptr;
  const uint16_t *file_scales = nullptr;
  uint64_t numel = 0;
  uint32_t k = 0;

  const int8_t *weight_data() const { return weights ? weights.get() : file_weights; }
  const uint16_t *scale_data() const { return scales ? scales.get() : file_scales; }
};

struct orv_int8_table_t {
  std::vector<Int8Entry> entries;  // in registration order, at most ORV_INT8_TABLE_CAP
  bool loaded_from_file = false;   // entries came from a cache file and are bound in order
  int match_index = 0;             // next file entry to bind
  Mapping file;                    // the mapped cache file the file entries point into
};

// Rows of ENTRY's matrix (numel / k).
inline int32_t int8_rows(uint64_t numel, uint32_t k) { return static_cast<int32_t>(numel / k); }

#endif  // __cplusplus

#endif
