// A context filled with seeded random weights for a given shape, built in memory (no weight
// file): the networks' tests use it to control every tensor directly.
#ifndef ORVANE_TEST_RANDOM_MODEL_H
#define ORVANE_TEST_RANDOM_MODEL_H

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "context.h"

// The tests' standard small shape.
orv_shape_t tiny_shape();

struct RandomModel {
  std::unique_ptr<orv_ctx_t> ctx;
  std::deque<std::vector<uint16_t>> bf16;  // storage the context's BF16 pointers refer to
};

// Weights uniform in +-1/sqrt(fan-in), norm weights near 1, small biases; ada_scale filled too
// (clear it to test the plain norm).
RandomModel make_random_model(const orv_shape_t& shape, uint32_t seed);

#endif
