// Matrix products recorded into a command buffer: the building blocks of the GPU operations and
// of the fused passes.
#ifndef ORVANE_GPU_MATMUL_H
#define ORVANE_GPU_MATMUL_H

#include <cstdint>

#include "gpu/buffer.h"
#include "gpu/caches.h"

namespace gpu {

// Push constants of the gemm kernels: Y[m][n] = alpha * sum_k X[m][k] * W(n, k), element offsets
// and row strides in elements; W(n, k) = w[n * ldw + k] when trans_w, else w[k * ldw + n].
struct GemmArgs {
  int32_t m, n, k, lda, ldw, ldy, x_off, w_off, y_off, trans_w;
  float alpha;
};

// Y[M][N] = X[M][K] * W^T for a linear layer's weights W [N][K] (half, or float when W_F32). W is
// bound in slices of rows that each fit one storage-buffer binding. Rows of X lie LDA floats apart
// (K when 0).
void record_linear(Recorder& rec, const Buffer& x, const Buffer& w, bool w_f32, const Buffer& y,
                   int m, int n, int k, int lda = 0);

// The input rows of an INT8 product and what the product does to them first.
struct Int8Input {
  Int8Input(const Buffer& rows) : x(&rows) {}  // NOLINT: plain rows convert implicitly
  const Buffer* x;
  const Buffer* norm = nullptr;  // RMS-normalise each row with these K weights
  Binding ada{nullptr};          // with NORM: then scale by 1 + these K values
};

// What an INT8 product does with its results.
enum class Int8Output {
  store,
  add,         // onto Y (a residual connection)
  silu_pairs,  // W from Caches::int8_upload with GATE_UP: Y is silu(gate) * up, N / 2 wide
};

// Y[M][N] (bound from byte Y_OFFSET) = X[M][K] * dequant(W)^T, W quantised in groups of 128.
void record_int8_matmul(Recorder& rec, const Int8Matrix& w, const Int8Input& x, const Buffer& y,
                        uint64_t y_offset, int m, int n, int k, Int8Output out = Int8Output::store);

}  // namespace gpu

#endif
