// The widths of one transformer block's rows, derived from its shape.
#ifndef ORVANE_BLOCK_WIDTHS_H
#define ORVANE_BLOCK_WIDTHS_H

#include <algorithm>
#include <climits>
#include <cstdint>

#include "formats/shape.h"

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

#endif
