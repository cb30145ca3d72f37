// A zero-filled block of floats with a single owner: the key/value caches. Its memory comes from
// the BlockMemory it was allocated with, and goes back there.
#ifndef ORVANE_FLOAT_BLOCK_H
#define ORVANE_FLOAT_BLOCK_H

#include <cstddef>
#include <utility>

#include "base/block_memory.h"

class FloatBlock {
 public:
  FloatBlock() = default;
  // Empty on allocation failure.
  static FloatBlock allocate(size_t count, const BlockMemory& memory);

  FloatBlock(FloatBlock&& other) noexcept { swap(other); }
  FloatBlock& operator=(FloatBlock&& other) noexcept {
    FloatBlock(std::move(other)).swap(*this);
    return *this;
  }
  FloatBlock(const FloatBlock&) = delete;
  FloatBlock& operator=(const FloatBlock&) = delete;
  ~FloatBlock() {
    if (data_) release_(data_);
  }

  float* data() const { return data_; }
  size_t size() const { return count_; }
  bool is_shared() const { return shared_; }
  explicit operator bool() const { return data_ != nullptr; }

 private:
  void swap(FloatBlock& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(count_, other.count_);
    std::swap(shared_, other.shared_);
    std::swap(release_, other.release_);
  }
  float* data_ = nullptr;
  size_t count_ = 0;
  bool shared_ = false;
  void (*release_)(void*) = nullptr;
};

#endif
