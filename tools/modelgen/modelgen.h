// Generated model directories with random weights: the tests' small models and a full-size
// model for benchmarks.
#ifndef ORVANE_MODELGEN_H
#define ORVANE_MODELGEN_H

#include <cstdint>
#include <string>

#include "formats/shape.h"

// The tests' standard small model.
orv_shape_t orv_shape_tiny();

// Writes DIR/consolidated.safetensors, DIR/tekken.json, DIR/params.json and, when
// WRITE_SHAPE_FILE is set, DIR/orvane-shape.json (otherwise a stale one is removed, so that the
// directory reads as the production shape). The same SHAPE and SEED always give the same bytes.
// DIR is created if needed. 0, or -1 after a message on standard error.
int orv_write_model(const std::string& dir, const orv_shape_t& shape, uint64_t seed,
                    bool write_shape_file);

#endif
