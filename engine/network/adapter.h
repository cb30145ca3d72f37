// Groups of four encoder states to decoder-width audio embeddings.
#ifndef ORVANE_ADAPTER_H
#define ORVANE_ADAPTER_H

#include "orvane.h"

#ifdef __cplusplus
extern "C" {
#endif

// Rows [n / 4][dec dim] of encoder states [n][enc dim], as new memory to free() (NULL when
// n / 4 is 0 or on failure; *out_len gets the row count).
float *orv_adapter_forward(orv_ctx_t *ctx, const float *states, int n, int *out_len);

#ifdef __cplusplus
}
#endif

#endif
