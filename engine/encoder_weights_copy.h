// The encoder's and the adapter's BF16 matrices, copied out of the mapped weight file into one
// block of anonymous memory for the CPU path. Their products read every weight once per encoder
// run in short row pieces, and pieces of the page-cache mapping came in about a fifth slower
// than the same bytes in anonymous memory (more with the huge pages asked for here).
#ifndef ORVANE_ENCODER_WEIGHTS_COPY_H
#define ORVANE_ENCODER_WEIGHTS_COPY_H

#include <cstddef>
#include <utility>

struct orv_ctx_t;

// An anonymous mapping, unmapped on destruction.
class AnonymousBlock {
 public:
  AnonymousBlock() = default;
  AnonymousBlock(AnonymousBlock &&other) noexcept { swap(other); }
  AnonymousBlock &operator=(AnonymousBlock &&other) noexcept {
    AnonymousBlock(std::move(other)).swap(*this);
    return *this;
  }
  ~AnonymousBlock();

  // BYTES of zeroed memory, huge pages advised; false (and nothing held) when refused.
  bool allocate(size_t bytes);
  void *data() const { return data_; }

 private:
  void swap(AnonymousBlock &other) noexcept {
    std::swap(data_, other.data_);
    std::swap(bytes_, other.bytes_);
  }
  void *data_ = nullptr;
  size_t bytes_ = 0;
};

// Points the context's encoder and adapter matrices at copies in ctx->encoder_weights. Without
// the memory for them the context keeps reading the mapping; returns whether the copies were made.
bool orv_copy_encoder_weights(orv_ctx_t *ctx);

#endif
