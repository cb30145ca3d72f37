// Work rows of a transformer layer, shared by the encoder and the decoder: a store that hands
// out n rows of each of a block's buffers.
#ifndef ORVANE_LAYER_BUFFERS_H
#define ORVANE_LAYER_BUFFERS_H

#include <cstddef>
#include <new>
#include <vector>

#include "formats/block_widths.h"

struct LayerBuffers {
  float* x_norm;    // [n][dim]
  float* q;         // [n][q_dim]
  float* k;         // [n][kv_dim]
  float* v;         // [n][kv_dim]
  float* attn_out;  // [n][q_dim]
  float* proj_out;  // [n][dim]
  float* gate;      // [n][hidden]
  float* up;        // [n][hidden]
  float* ffn_out;   // [n][dim]
};

// One allocation holding the rows of every buffer, grown on demand and kept between calls.
class LayerWork {
 public:
  explicit LayerWork(const BlockWidths& w) : w_(w) {}
  // Buffers for N rows; false (and the old buffers kept) when memory runs out.
  bool reserve(size_t n) {
    if (n <= rows_) return true;
    try {
      store_.resize(n * row_floats());
    } catch (const std::bad_alloc&) {
      return false;
    }
    rows_ = n;
    return true;
  }
  LayerBuffers view() {
    float* p = store_.data();
    auto take = [&](int width) {
      float* at = p;
      p += rows_ * size_t(width);
      return at;
    };
    LayerBuffers b{};
    b.x_norm = take(w_.dim);
    b.q = take(w_.q_dim);
    b.k = take(w_.kv_dim);
    b.v = take(w_.kv_dim);
    b.attn_out = take(w_.q_dim);
    b.proj_out = take(w_.dim);
    b.gate = take(w_.hidden);
    b.up = take(w_.hidden);
    b.ffn_out = take(w_.dim);
    return b;
  }
  size_t bytes() const { return store_.capacity() * sizeof(float); }

 private:
  size_t row_floats() const {
    return size_t(3 * w_.dim + 2 * w_.q_dim + 2 * w_.kv_dim + 2 * w_.hidden);
  }
  BlockWidths w_;
  size_t rows_ = 0;
  std::vector<float> store_;
};

#endif
