// Generated model directories for tests, made in-process and removed when the test program ends.
#ifndef ORVANE_TEST_TINY_MODEL_H
#define ORVANE_TEST_TINY_MODEL_H

#include <cstdint>
#include <string>

#include "modelgen/modelgen.h"

// The standard small model (orv_shape_tiny(), seed 1), written once per test program.
const std::string& tiny_model_dir();

// A new directory holding a model of SHAPE made with SEED (shape file included).
std::string make_model_dir(const orv_shape_t& shape, uint64_t seed);

#endif
