#include "network/float_block.h"

#include <cstdlib>

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
