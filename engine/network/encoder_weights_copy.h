// The encoder's and the adapter's BF16 matrices, copied out of the mapped weight file into one
// block of anonymous memory for the CPU path. Their products read every weight once per encoder
// run in short row pieces, and pieces of the page-cache mapping came in about a fifth slower
// than the same bytes in anonymous memory (more with the huge pages asked for here).
#ifndef ORVANE_ENCODER_WEIGHTS_COPY_H
#define ORVANE_ENCODER_WEIGHTS_COPY_H

struct orv_ctx_t;

// Points the context's encoder and adapter matrices at copies in ctx->encoder_weights, an
// anonymous mapping with huge pages asked for. Without the memory for them the context keeps
// reading the mapped file; returns whether the copies were made.
bool orv_copy_encoder_weights(orv_ctx_t *ctx);

#endif
