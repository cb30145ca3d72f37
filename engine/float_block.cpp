#include "float_block.h"

#include <cstdlib>
#include <cstring>

#include "gpu/gpu.h"

FloatBlock FloatBlock::heap(size_t count) {
  FloatBlock b;
  b.data_ = static_cast<float*>(std::calloc(count, sizeof(float)));
  if (b.data_) b.count_ = count;
  return b;
}

FloatBlock FloatBlock::gpu_shared(size_t count) {
  FloatBlock b;
  b.data_ = static_cast<float*>(orv_gpu_shared_alloc(count * sizeof(float)));
  if (b.data_) {
    b.count_ = count;
    b.shared_ = true;
  }
  return b;
}

FloatBlock FloatBlock::for_cache(size_t count) {
  return orv_gpu_available() ? gpu_shared(count) : heap(count);
}

FloatBlock::~FloatBlock() {
  if (shared_)
    orv_gpu_shared_free(data_);
  else
    std::free(data_);
}

bool alloc_cache_pair(int layers, size_t capacity, size_t width, FloatBlock* k, FloatBlock* v) {
  const size_t count = capacity * static_cast<size_t>(layers) * width;
  FloatBlock new_k = FloatBlock::for_cache(count);
  FloatBlock new_v = FloatBlock::for_cache(count);
  if (!new_k || !new_v) return false;
  *k = std::move(new_k);
  *v = std::move(new_v);
  return true;
}

void copy_cache_rows(float* dst, size_t dst_capacity, const float* src, size_t src_capacity,
                     int layers, size_t width, int rows) {
  const size_t bytes = size_t(rows) * width * sizeof(float);
  for (int l = 0; l < layers; l++)
    std::memcpy(dst + l * dst_capacity * width, src + l * src_capacity * width, bytes);
}

void drop_cache_rows(float* cache, size_t capacity, int layers, size_t width, int shift, int keep) {
  for (int l = 0; l < layers; l++) {
    float* slab = cache + l * capacity * width;
    std::memmove(slab, slab + size_t(shift) * width, size_t(keep) * width * sizeof(float));
  }
}
