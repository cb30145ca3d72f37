// Work rows of a transformer layer, shared by the encoder and the decoder: the widths of one
// block's buffers, and n rows of each, either borrowed from the context or owned by one call.
#ifndef ORVANE_LAYER_BUFFERS_H
#define ORVANE_LAYER_BUFFERS_H

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "shape.h"

struct BlockWidths {
  int dim, q_dim, kv_dim, hidden;
  explicit BlockWidths(const orv_block_shape_t& s)
      : dim(s.dim),
        q_dim(s.heads * s.head_dim),
        kv_dim(s.kv_heads * s.head_dim),
        hidden(s.hidden) {}
  // The kernels take int element counts: ROWS rows of the widest buffer (or of a caller's
  // buffer EXTRA_WIDTH wide) must fit.
  bool rows_fit(int64_t rows, int64_t extra_width = 0) const {
    const int64_t widest =
        std::max({int64_t{dim}, int64_t{q_dim}, int64_t{kv_dim}, int64_t{hidden}, extra_width});
    return rows >= 0 && rows <= INT_MAX / widest;
  }
};

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

// Rows for a single call (whole-sequence encoder, decoder prefill). Throws std::bad_alloc.
struct OwnedLayerBuffers {
  std::vector<float> x_norm, q, k, v, attn_out, proj_out, gate, up, ffn_out;
  OwnedLayerBuffers(const BlockWidths& w, size_t n)
      : x_norm(n * w.dim),
        q(n * w.q_dim),
        k(n * w.kv_dim),
        v(n * w.kv_dim),
        attn_out(n * w.q_dim),
        proj_out(n * w.dim),
        gate(n * w.hidden),
        up(n * w.hidden),
        ffn_out(n * w.dim) {}
  LayerBuffers view() {
    return {x_norm.data(),   q.data(),    k.data(),  v.data(),      attn_out.data(),
            proj_out.data(), gate.data(), up.data(), ffn_out.data()};
  }
};

#endif
