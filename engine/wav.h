// WAV images and raw 16-bit PCM to 16 kHz mono floats. The public entry points orv_load_wav and
// orv_read_pcm_stdin are declared in orvane.h.
#ifndef ORVANE_WAV_H
#define ORVANE_WAV_H

#include <stddef.h>
#include <stdint.h>

#include "orvane.h"

#ifdef __cplusplus
extern "C" {
#endif

// Format fields of a scanned WAV image.
typedef struct orv_wav_info_t {
  int format;            // audio format code (1 = PCM), 0 without a "fmt " chunk
  int channels;
  uint32_t sample_rate;
  int bits;              // bits per sample, 0 without a "fmt " chunk
  const uint8_t *data;   // start of the "data" chunk body, NULL without one
  size_t data_bytes;
} orv_wav_info_t;

// Scans the chunks of a RIFF/WAVE image (LEN >= 12 assumed checked by the caller). Returns 0 when
// the image is 16-bit PCM with a data chunk and at least one channel, -1 otherwise (INFO is still
// filled with what was found).
ORV_API int orv_wav_scan(const uint8_t *bytes, size_t len, orv_wav_info_t *info);
// Mixes 16-bit interleaved frames to mono and resamples to 16 kHz. New array to free(), or NULL.
ORV_API float *orv_wav_to_mono16k(const orv_wav_info_t *info, int *n_out);
// Parses a whole WAV image. New array of 16 kHz mono samples to free(), or NULL after a message.
ORV_API float *parse_wav_buffer(const uint8_t *bytes, size_t len, int *n_out);
// Linear-interpolation resampling of N samples at RATE to 16 kHz. New array to free(), or NULL.
ORV_API float *orv_resample_16k(const float *x, int n, uint32_t rate, int *n_out);
// Converts signed 16-bit little-endian samples to floats in [-1, 1).
ORV_API void orv_s16le_to_float(const uint8_t *bytes, int n_samples, float *out);

#ifdef __cplusplus
}
#endif

#endif
