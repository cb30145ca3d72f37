// A zero-filled block of floats with a single owner: the key/value caches. A block is either
// plain heap memory or GPU-shared memory from the GPU backend, and is released accordingly.
#ifndef ORVANE_FLOAT_BLOCK_H
#define ORVANE_FLOAT_BLOCK_H

#include <cstddef>
#include <utility>

class FloatBlock {
 public:
  FloatBlock() = default;
  // Empty on allocation failure.
  static FloatBlock heap(size_t count);
  static FloatBlock gpu_shared(size_t count);
  // GPU-shared when a GPU backend is available, so the GPU reads the caches in place; heap otherwise.
  static FloatBlock for_cache(size_t count);

  FloatBlock(FloatBlock&& other) noexcept { swap(other); }
  FloatBlock& operator=(FloatBlock&& other) noexcept {
    FloatBlock(std::move(other)).swap(*this);
    return *this;
  }
  FloatBlock(const FloatBlock&) = delete;
  FloatBlock& operator=(const FloatBlock&) = delete;
  ~FloatBlock();

  float* data() const { return data_; }
  size_t size() const { return count_; }
  bool is_shared() const { return shared_; }
  explicit operator bool() const { return data_ != nullptr; }

 private:
  void swap(FloatBlock& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(count_, other.count_);
    std::swap(shared_, other.shared_);
  }
  float* data_ = nullptr;
  size_t count_ = 0;
  bool shared_ = false;
};

#endif
