// The model's dimensions. Production values by default; a model directory may declare others in
// orvane-shape.json (small generated models for tests).
#ifndef ORVANE_SHAPE_H
#define ORVANE_SHAPE_H

#include "orvane.h"

#ifdef __cplusplus
extern "C" {
#endif

// Fixed whatever the shape file says.
enum {
  ORV_SAMPLE_RATE = 16000,
  ORV_MEL_BINS = 128,
  ORV_HOP = 160,                 // samples per mel frame
  ORV_ADAPTER_GROUP = 4,         // encoder positions per adapter row
  ORV_SAMPLES_PER_TOKEN = 1280,  // samples per adapter row / decoder position
  ORV_FIRST_CHUNK_FRAMES = 312,
  ORV_TOKEN_BOS = 1,
  ORV_TOKEN_EOS = 2,
  ORV_TOKEN_PAD = 32,
  ORV_FIRST_TEXT_TOKEN = 1000,
  ORV_MAX_VOCAB = 131072,
  ORV_DECODER_HEADROOM = 1024,   // decoder cache rows beyond the window
  ORV_ENCODER_HEADROOM = 256,    // encoder cache rows beyond the window (GPU capacity)
  ORV_ENCODER_FIRST_ROWS = 256,  // first capacity of a CPU encoder cache, which then doubles
  ORV_INT8_GROUP = 128,
};
#define ORV_ROPE_THETA 1000000.0f
#define ORV_NORM_EPS 1e-5f

typedef struct orv_block_shape_t {
  int dim;       // residual width
  int layers;
  int heads;     // query heads
  int kv_heads;  // key/value heads (heads % kv_heads == 0)
  int head_dim;  // even
  int hidden;    // feed-forward width
  int window;    // attention window in positions
  int vocab;     // decoder only: token ids (1001..131072); 0 for the encoder
} orv_block_shape_t;

typedef struct orv_shape_t {
  orv_block_shape_t encoder;
  orv_block_shape_t decoder;
  int ada_hidden;  // adaptive-norm hidden width
} orv_shape_t;

// The production shape.
orv_shape_t orv_shape_default(void);
// 0 when every size is positive, heads divide, head widths are even and the vocabulary is in
// range; otherwise -1 with a message naming the offending key.
int orv_shape_validate(const orv_shape_t *shape);
// Parses orvane-shape.json text (LEN bytes, need not be NUL-terminated) over the production
// defaults. 0 on success; -1 with a message on standard error for bad JSON, unknown keys,
// values that are not integers in range, or a shape that fails validation.
int orv_shape_parse(const char *text, size_t len, orv_shape_t *out);
// Shape of a model directory: the production shape when DIR has no orvane-shape.json, else the
// parsed file. 0 or -1 (with a message naming the file).
int orv_shape_load_dir(const char *dir, orv_shape_t *out);

#ifdef __cplusplus
}
#endif

#endif
