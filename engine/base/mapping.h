// A memory mapping with a single owner, unmapped on destruction: the weight file, or anonymous
// memory for copies of weights.
#ifndef ORVANE_MAPPING_H
#define ORVANE_MAPPING_H

#include <sys/mman.h>

#include <cstddef>
#include <utility>

class Mapping {
 public:
  Mapping() = default;
  Mapping(void* base, size_t len) : base_(base), len_(len) {}
  Mapping(Mapping&& other) noexcept { swap(other); }
  Mapping& operator=(Mapping&& other) noexcept {
    Mapping(std::move(other)).swap(*this);
    return *this;
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() {
    if (base_) munmap(base_, len_);
  }
  const unsigned char* bytes() const { return static_cast<const unsigned char*>(base_); }
  void* data() const { return base_; }
  size_t size() const { return len_; }

 private:
  void swap(Mapping& other) noexcept {
    std::swap(base_, other.base_);
    std::swap(len_, other.len_);
  }
  void* base_ = nullptr;
  size_t len_ = 0;
};

#endif
