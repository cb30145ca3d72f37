#include "network/float_block.h"

FloatBlock FloatBlock::allocate(size_t count, const BlockMemory& memory) {
  FloatBlock b;
  b.data_ = static_cast<float*>(memory.alloc(count * sizeof(float)));
  if (b.data_) {
    b.count_ = count;
    b.shared_ = memory.gpu_shared;
    b.release_ = memory.release;
  }
  return b;
}
