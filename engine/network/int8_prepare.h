// The load-time step that fills a context's INT8 table from the model directory's cache file,
// quantising and writing the file when it cannot be used.
#ifndef ORVANE_INT8_PREPARE_H
#define ORVANE_INT8_PREPARE_H

#include "formats/shape.h"
#include "orvane.h"

// Fills the context's INT8 table with every decoder matrix and the token embedding: reads the
// model directory's cache file, binds or quantises each matrix in the cache file's order, and
// writes the file when it could not be read. 0, or -1 (after a message) when some matrix could
// not be quantised.
int orv_int8_prepare(orv_ctx_t *ctx);
// Whether a decoder of shape S has an INT8 form: every matrix's row length a multiple of the group.
bool orv_int8_form_exists(const orv_block_shape_t &s);

#endif
