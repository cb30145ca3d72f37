// 128-bin log-mel frames, one per 160 samples, in batch (orv_mel_spectrogram, in orvane.h) and
// incremental form.
#ifndef ORVANE_MEL_H
#define ORVANE_MEL_H

#include <stddef.h>

#include "orvane.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  ORV_MEL_WINDOW = 400,  // samples per frame window
  ORV_MEL_FFT_BINS = 201,
  ORV_MEL_MARGIN = 200,  // centring margin on each side
};

typedef struct orv_mel_stream_t orv_mel_stream_t;

// Fills FILTERS [128][201] with the Slaney mel filter bank.
void orv_mel_filters(float *filters);

// New incremental state whose signal starts after PREFIX + 200 zero samples. NULL on failure.
orv_mel_stream_t *orv_mel_stream_new(int prefix);
// Appends N samples and computes every complete frame; returns the number of new frames.
int orv_mel_stream_feed(orv_mel_stream_t *m, const float *samples, int n);
// Appends EXTRA zero samples and the mirrored right margin, drops the last frame; returns the
// final frame count. Finishing twice returns the same count.
int orv_mel_stream_finish(orv_mel_stream_t *m, int extra);
// Frames computed so far: *N_FRAMES is the absolute count. Frames [0, *first) may have been
// released (see orv_mel_stream_release); the returned pointer addresses frame *first, so frame f
// is at ptr + (f - *first) * 128. Valid until the next feed, finish or release. NULL and 0 for a
// NULL state. FIRST may be NULL for callers that never release.
const float *orv_mel_stream_frames(const orv_mel_stream_t *m, int *n_frames, int *first);
// Lets the state drop every frame below FRAME and every sample no later frame needs, so that an
// endless stream keeps bounded memory. Frame indices stay absolute, and later frames are
// bit-identical to those of a state that keeps everything.
void orv_mel_stream_release(orv_mel_stream_t *m, int frame);
// Bytes held by the sample and frame buffers (capacity, not use).
size_t orv_mel_stream_bytes(const orv_mel_stream_t *m);
void orv_mel_stream_free(orv_mel_stream_t *m);

#ifdef __cplusplus
}
#endif

#endif
