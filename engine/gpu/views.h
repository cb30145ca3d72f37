// Plain views the GPU backend takes of a loaded model's weights and of a stream's key/value
// cache: pointers, sizes and the shape, owned by the caller and valid for the call.
#ifndef ORVANE_GPU_VIEWS_H
#define ORVANE_GPU_VIEWS_H

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "formats/decoder_matrices.h"
#include "formats/int8_table.h"
#include "formats/shape.h"

// BF16 matrices [out][in]; float vectors. Biases may be null.
struct GpuEncoderLayer {
  const uint16_t *wq, *wk, *wv, *wo, *w1, *w2, *w3;
  const float *wq_bias, *wv_bias, *wo_bias, *w2_bias, *attention_norm, *ffn_norm;
};

struct GpuEncoderWeights {
  orv_block_shape_t shape;
  std::vector<GpuEncoderLayer> layers;
  const float* norm;  // [dim]
};

struct GpuDecoderLayer {
  std::array<const uint16_t*, kDecoderMatrixCount> matrices;  // by DecoderMatrix
  const float *attention_norm, *ffn_norm;
  const uint16_t* matrix(DecoderMatrix m) const { return matrices[size_t(m)]; }
};

struct GpuDecoderWeights {
  orv_block_shape_t shape;
  std::vector<GpuDecoderLayer> layers;
  const uint16_t* embedding;       // [vocab][dim], also the output projection
  const float* norm;               // [dim]
  std::span<const float> ada_scale;  // [layers][dim]; empty without the delay conditioning
};

struct GpuModelWeights {
  GpuEncoderWeights encoder;
  const uint16_t *adapter0, *adapter1;  // [dec dim][4 * enc dim], [dec dim][dec dim]
  GpuDecoderWeights decoder;
};

// One key/value cache: LAYERS slabs of CAPACITY rows of WIDTH floats, rows 0 .. len - 1 valid,
// row i at absolute position pos_offset + i.
struct GpuKvView {
  float *k, *v;
  int layers, capacity, width;
  int len, pos_offset;
  // Set by the owner when it rewrote the arrays in a way the device copy cannot follow (rows
  // copied in); the next pass reloads its copy and clears the flag.
  bool* device_stale;
};

#endif
