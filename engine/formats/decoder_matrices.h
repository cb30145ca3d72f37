// The seven matrices of a decoder layer and their sizes. kDecoderMatrices is the one order in
// which they are walked: the INT8 cache file stores its entries in it (per layer, then the token
// embedding) and binds them back by position, so the order is part of that file's format.
#ifndef ORVANE_DECODER_MATRICES_H
#define ORVANE_DECODER_MATRICES_H

#include <array>
#include <cstdint>

#include "formats/block_widths.h"

enum class DecoderMatrix : uint8_t { wq, wk, wv, wo, w1, w2, w3 };

inline constexpr std::array<DecoderMatrix, 7> kDecoderMatrices = {
    DecoderMatrix::wq, DecoderMatrix::wk, DecoderMatrix::wv, DecoderMatrix::wo,
    DecoderMatrix::w1, DecoderMatrix::w2, DecoderMatrix::w3};
inline constexpr int kDecoderMatrixCount = int(kDecoderMatrices.size());

// [rows][cols] of a BF16 matrix: rows are outputs, cols the inputs it is multiplied with.
struct MatrixDims {
  int rows, cols;
  uint64_t numel() const { return uint64_t(rows) * uint64_t(cols); }
};

inline MatrixDims decoder_matrix_dims(const BlockWidths& w, DecoderMatrix m) {
  switch (m) {
    case DecoderMatrix::wq: return {w.q_dim, w.dim};
    case DecoderMatrix::wk:
    case DecoderMatrix::wv: return {w.kv_dim, w.dim};
    case DecoderMatrix::wo: return {w.dim, w.q_dim};
    case DecoderMatrix::w1:
    case DecoderMatrix::w3: return {w.hidden, w.dim};
    case DecoderMatrix::w2: return {w.dim, w.hidden};
  }
  return {0, 0};
}

#endif
