// The table of one model's INT8 matrices, keyed by the address of their BF16 source in the
// mapped weight file: quantised in memory (kernels/int8_weights.h) or bound to the entries of a
// cache file (formats/int8_cache_file.h).
#ifndef ORVANE_INT8_TABLE_H
#define ORVANE_INT8_TABLE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

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

orv_int8_table_t *orv_int8_table_new(void);
void orv_int8_table_free(orv_int8_table_t *t);
// Releases every entry and clears the loaded-from-file state.
void orv_int8_table_clear(orv_int8_table_t *t);
int orv_int8_table_count(const orv_int8_table_t *t);

// 1 and *OUT when the matrix with BF16 source W is in the table, else 0. No quantisation.
int orv_int8_find(const orv_int8_table_t *t, const uint16_t *w, orv_int8_matrix_t *out);

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
