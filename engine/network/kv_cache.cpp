#include "network/kv_cache.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

namespace {

// Copies rows 0 .. ROWS - 1 of every slab of SRC into the same rows of DST (another capacity).
void copy_rows(float* dst, size_t dst_capacity, const float* src, size_t src_capacity, int layers,
               size_t width, int rows) {
  const size_t bytes = size_t(rows) * width * sizeof(float);
  for (int l = 0; l < layers; l++)
    std::memcpy(dst + l * dst_capacity * width, src + l * src_capacity * width, bytes);
}

}  // namespace

bool KvCache::replace(int64_t capacity) {
  const size_t count = size_t(capacity) * size_t(layers_) * size_t(width_);
  FloatBlock k = FloatBlock::allocate(count, memory_);
  FloatBlock v = FloatBlock::allocate(count, memory_);
  if (!k || !v) return false;
  if (k_ && len > 0) {
    copy_rows(k.data(), size_t(capacity), k_.data(), size_t(capacity_), layers_, width_, len);
    copy_rows(v.data(), size_t(capacity), v_.data(), size_t(capacity_), layers_, width_, len);
  }
  k_ = std::move(k);
  v_ = std::move(v);
  capacity_ = static_cast<int>(capacity);
  return true;
}

bool KvCache::init(int capacity) {
  if (k_) return true;
  if (capacity < 1) return false;
  len = 0;
  return replace(capacity);
}

bool KvCache::reserve(int64_t needed, int first) {
  if (k_ && capacity_ >= needed) return true;
  if (needed > INT_MAX) return false;
  int64_t capacity = k_ ? capacity_ : std::max(first, 1);
  while (capacity < needed) capacity *= 2;
  if (!k_) len = 0;
  return replace(std::min<int64_t>(capacity, INT_MAX));
}

void KvCache::keep_latest(int keep) {
  const int shift = len - keep;
  if (shift <= 0) return;
  for (float* base : {k_.data(), v_.data()})
    for (int l = 0; l < layers_; l++) {
      float* slab = base + size_t(l) * layer_floats();
      std::memmove(slab, slab + size_t(shift) * width_, size_t(keep) * width_ * sizeof(float));
    }
  pos_offset += shift;
  len = keep;
}

bool KvCache::save_rows(std::vector<float>* k, std::vector<float>* v, int rows) const {
  if (!k_ || rows > len) return false;
  const size_t count = size_t(layers_) * size_t(rows) * size_t(width_);
  try {
    k->resize(count);
    v->resize(count);
  } catch (const std::bad_alloc&) {
    return false;
  }
  copy_rows(k->data(), size_t(rows), k_.data(), size_t(capacity_), layers_, width_, rows);
  copy_rows(v->data(), size_t(rows), v_.data(), size_t(capacity_), layers_, width_, rows);
  return true;
}

void KvCache::load_rows(const std::vector<float>& k, const std::vector<float>& v, int rows,
                        int offset) {
  copy_rows(k_.data(), size_t(capacity_), k.data(), size_t(rows), layers_, width_, rows);
  copy_rows(v_.data(), size_t(capacity_), v.data(), size_t(rows), layers_, width_, rows);
  device_stale = true;
  len = rows;
  pos_offset = offset;
}
