// The quantiser, and the table operations that quantise. The rounding rules are fixed bit for
// bit, since a cache file written by one process is read by another and the GPU backend uploads
// these arrays as they are.
#include "kernels/int8_weights.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/thread_pool.h"
#include "kernels/kernels.h"

namespace {

constexpr float kInv127 = 0.0078740157f;  // the float nearest to 1/127

int8_t quantize_one(float w, float inv) {
  const float r = std::round(w * inv);  // halves away from zero
  if (r >= 127.0f) return 127;
  if (r <= -127.0f) return -127;
  return r == r ? static_cast<int8_t>(r) : int8_t{0};  // NaN (a NaN or infinite weight) -> 0
}

bool valid_size(uint64_t numel, uint32_t k) {
  return k >= ORV_INT8_GROUP && k % ORV_INT8_GROUP == 0 && numel % k == 0 && numel / k >= 1 &&
         numel / k <= INT32_MAX;
}

// Rows BEGIN .. END - 1 of the quantisation.
void quantize_rows(const uint16_t* w, int32_t begin, int32_t end, int32_t k, int8_t* weights,
                   uint16_t* scales) {
  const int32_t groups = k / ORV_INT8_GROUP;
  for (int32_t r = begin; r < end; r++) {
    for (int32_t g = 0; g < groups; g++) {
      const size_t at = static_cast<size_t>(r) * k + static_cast<size_t>(g) * ORV_INT8_GROUP;
      float absmax = 0.0f;
      for (int i = 0; i < ORV_INT8_GROUP; i++) {
        const float a = std::fabs(orv_bf16_to_f32(w[at + i]));
        if (a > absmax) absmax = a;  // false for NaN
      }
      const uint16_t half = orv_f32_to_f16_trunc(absmax * kInv127);
      scales[static_cast<size_t>(r) * groups + g] = half;
      const float s = orv_f16_to_f32(half);
      if (s == 0.0f) {
        std::memset(weights + at, 0, ORV_INT8_GROUP);
        continue;
      }
      const float inv = 1.0f / s;
      for (int i = 0; i < ORV_INT8_GROUP; i++)
        weights[at + i] = quantize_one(orv_bf16_to_f32(w[at + i]), inv);
    }
  }
}

}  // namespace

extern "C" {

void orv_int8_quantize(const uint16_t* w, int32_t n, int32_t k, int8_t* weights,
                       uint16_t* scales) {
  if (n < 1 || k < ORV_INT8_GROUP) return;
  orv_parallel_for(size_t(n), [&](size_t begin, size_t end) {
    quantize_rows(w, static_cast<int32_t>(begin), static_cast<int32_t>(end), k, weights, scales);
  });
}

int orv_int8_get(orv_int8_table_t* t, const uint16_t* w, uint64_t numel, uint32_t k,
                 orv_int8_matrix_t* out) {
  if (!t || !w || !out) return 0;
  if (orv_int8_find(t, w, out)) return 1;
  if (!valid_size(numel, k) || t->entries.size() >= ORV_INT8_TABLE_CAP) return 0;
  try {
    Int8Entry e;
    e.key = w;
    e.numel = numel;
    e.k = k;
    e.weights = std::make_unique_for_overwrite<int8_t[]>(numel);
    e.scales = std::make_unique_for_overwrite<uint16_t[]>(numel / ORV_INT8_GROUP);
    orv_int8_quantize(w, int8_rows(numel, k), static_cast<int32_t>(k), e.weights.get(),
                      e.scales.get());
    t->entries.push_back(std::move(e));
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return orv_int8_find(t, w, out);
}

void orv_int8_register(orv_int8_table_t* t, const uint16_t* w, uint64_t numel, uint32_t k) {
  if (!t || !w || numel == 0) return;
  if (t->loaded_from_file && t->match_index < static_cast<int>(t->entries.size())) {
    Int8Entry& e = t->entries[static_cast<size_t>(t->match_index)];
    if (e.numel == numel && e.k == k) {
      e.key = w;
      t->match_index++;
      return;
    }
    if (orv_verbose >= 1)
      std::fprintf(stderr, "INT8 cache: entry %d mismatch, regenerating\n", t->match_index);
    orv_int8_table_clear(t);
  }
  orv_int8_matrix_t unused;
  orv_int8_get(t, w, numel, k, &unused);
}

}  // extern "C"
