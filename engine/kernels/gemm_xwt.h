// The multi-row products y[M][N] = x[M][K] W^T of the encoder and the decoder prefill, with W
// stored in a compact form (BF16, or INT8 with scales) that is widened a panel at a time: a
// register-tiled AVX-512 kernel that keeps a small float panel of W in the first-level cache and
// sweeps the rows of x past it. Each weight is widened exactly once per call.
#ifndef ORVANE_GEMM_XWT_H
#define ORVANE_GEMM_XWT_H

#include <cstddef>
#include <cstdint>

// Writes rows N0 .. N0 + ROWS - 1 of W, columns K0 .. K0 + DEPTH - 1, as floats into PANEL, one
// row every STRIDE floats. K0 and DEPTH are multiples of 128, but for the last columns of W.
using OrvPanelFill = void (*)(const void *w, float *panel, size_t stride, size_t n0, size_t rows,
                              size_t k0, size_t depth);

// y[M][N] = x[M][K] W^T, every thread taking panels of rows of W. Returns false, with y untouched,
// where the CPU lacks AVX-512 F.
bool orv_gemm_xwt(float *y, const float *x, int m, int k, int n, OrvPanelFill fill, const void *w);

#endif
