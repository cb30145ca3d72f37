// The start every stream shares: its audio follows a fixed stretch of silence, and whatever the
// networks compute from that silence alone is the same for every stream of a context (the
// decoder's part for each delay). A stream computes it once, as a separate first step, and the
// context keeps a copy that later streams start from. Streams that compute it and streams that
// copy it take the same steps, so their results are identical bit for bit.
#ifndef ORVANE_SILENCE_START_H
#define ORVANE_SILENCE_START_H

#include "network/kv_cache.h"
#include "network/silence_state.h"
#include "orvane.h"

// Puts the copied silence run into a stream that has not run its encoder yet (and its encoder
// cache). False, changing nothing, when there is no copy or no room for it.
bool silence_restore_encoder(orv_stream_t* s);
// Keeps a copy of a stream's state right after it ran the silence itself.
void silence_save_encoder(const orv_stream_t* s);
// Puts the decoder cache rows of the silence, for the current delay and weights, into rows
// 0 .. ROWS - 1 of CACHE. False when there is no such copy or no room for it.
bool silence_restore_decoder(orv_ctx_t* ctx, KvCache* cache, int rows);
// Keeps a copy of CACHE's rows 0 .. ROWS - 1 right after the silence was prefilled.
void silence_save_decoder(orv_ctx_t* ctx, const KvCache& cache, int rows);

#endif
