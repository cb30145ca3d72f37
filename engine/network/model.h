// Loading a model directory into a context (orv_load, orv_free and orv_set_delay are public).
#ifndef ORVANE_MODEL_H
#define ORVANE_MODEL_H

#include "orvane.h"

#ifdef __cplusplus
extern "C" {
#endif

// Recomputes t_cond and ada_scale from delay_tokens. NULL does nothing.
void orv_update_time_cond(orv_ctx_t *ctx);
// The context's delay in decoder positions (80 ms each); -1 for NULL.
int orv_delay_tokens(const orv_ctx_t *ctx);

#ifdef __cplusplus
}
#endif

#endif
