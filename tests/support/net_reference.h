// Straightforward double-precision forward passes of the three networks, written from their
// mathematical definitions (whole sequence at once, no cache, softmax over explicit scores). They
// read the weights of a context, so they check any context, however it was built.
#ifndef ORVANE_TEST_NET_REFERENCE_H
#define ORVANE_TEST_NET_REFERENCE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "network/context.h"

// Encoder states [ceil(n_frames / 2)][enc dim] of mel frames [n_frames][128].
std::vector<double> ref_encoder(const orv_ctx_t& ctx, const float* mel, int n_frames);
// Adapter rows [n / 4][dec dim] of encoder states [n][enc dim].
std::vector<double> ref_adapter(const orv_ctx_t& ctx, const float* states, int n);
// Value I (row-major index) of the matrix whose BF16 form is W: lets the decoder reference run on
// another form of the same matrices, such as their INT8 quantisation.
using WeightReader = std::function<double(const uint16_t* w, size_t i)>;

// Logits [n][vocab]: row p is the prediction after input embeddings 0..p [n][dec dim], at
// absolute positions FIRST_POS + p. The conditioning is ctx.ada_scale when it is set. The
// matrices and the output projection are read through READ when it is given.
std::vector<double> ref_decoder_logits(const orv_ctx_t& ctx, const float* embeds, int n,
                                       int first_pos = 0, const WeightReader& read = {});

// Largest |a - b| over N values, relative to max(1, largest |b|).
double max_rel_diff(const float* a, const double* b, size_t n);
double max_rel_diff(const float* a, const float* b, size_t n);

#endif
