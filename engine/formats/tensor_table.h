// The model's tensors for a shape, in the order the loader binds them: name, dtype, dimensions and
// the context field each one fills. The model generator writes exactly this table and the loader
// checks every tensor of a weight file against it, so the two can never disagree.
#ifndef ORVANE_TENSOR_TABLE_H
#define ORVANE_TENSOR_TABLE_H

#include <stdint.h>

#include "formats/safetensors.h"
#include "formats/shape.h"
#include "orvane.h"

#ifdef __cplusplus
extern "C" {
#endif

// The field a tensor is bound to. Per-layer roles repeat for every layer, in this order.
typedef enum orv_tensor_role {
  ORV_ENC_CONV0_WEIGHT,
  ORV_ENC_CONV0_BIAS,
  ORV_ENC_CONV1_WEIGHT,
  ORV_ENC_CONV1_BIAS,
  // per encoder layer
  ORV_ENC_WQ,
  ORV_ENC_WK,
  ORV_ENC_WV,
  ORV_ENC_WO,
  ORV_ENC_W1,
  ORV_ENC_W2,
  ORV_ENC_W3,
  ORV_ENC_WQ_BIAS,
  ORV_ENC_WV_BIAS,
  ORV_ENC_WO_BIAS,
  ORV_ENC_ATTENTION_NORM,
  ORV_ENC_W2_BIAS,
  ORV_ENC_FFN_NORM,
  // after the encoder layers
  ORV_ENC_NORM,
  ORV_ADAPTER_LINEAR0,
  ORV_ADAPTER_LINEAR1,
  ORV_DEC_TOK_EMBEDDINGS,
  // per decoder layer
  ORV_DEC_ADA_NORM_DOWN,
  ORV_DEC_ADA_NORM_UP,
  ORV_DEC_WQ,
  ORV_DEC_WK,
  ORV_DEC_WV,
  ORV_DEC_WO,
  ORV_DEC_ATTENTION_NORM,
  ORV_DEC_W1,
  ORV_DEC_W2,
  ORV_DEC_W3,
  ORV_DEC_FFN_NORM,
  // after the decoder layers
  ORV_DEC_NORM,
} orv_tensor_role;

enum {
  ORV_ENC_STEM_TENSORS = ORV_ENC_WQ - ORV_ENC_CONV0_WEIGHT,
  ORV_ENC_LAYER_TENSORS = ORV_ENC_FFN_NORM - ORV_ENC_WQ + 1,
  ORV_DEC_LAYER_TENSORS = ORV_DEC_FFN_NORM - ORV_DEC_ADA_NORM_DOWN + 1,
};

typedef struct orv_tensor_info_t {
  char name[SAFETENSORS_NAME_MAX];
  orv_tensor_role role;
  int layer;  // -1 outside the layer stacks
  int dtype;  // SAFETENSORS_BF16 for matrices used in place, SAFETENSORS_F32 for the rest
  int ndim;
  int64_t shape[3];  // outermost first; [out][in] for matrices
} orv_tensor_info_t;

// Number of tensors of a model of SHAPE (which must be valid).
int64_t orv_tensor_count(const orv_shape_t *shape);
// Fills OUT with tensor INDEX (0 .. count - 1) of SHAPE. 0, or -1 for an index out of range.
int orv_tensor_info(const orv_shape_t *shape, int64_t index, orv_tensor_info_t *out);
// Number of elements of a described tensor; -1 if the product overflows 64 bits.
int64_t orv_tensor_numel(const orv_tensor_info_t *info);

#ifdef __cplusplus
}
#endif

#endif
