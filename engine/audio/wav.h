// WAV images and raw 16-bit PCM to 16 kHz mono floats. The public entry points orv_load_wav,
// orv_read_pcm_stdin and the orv_audio_reader_* functions are declared in orvane.h.
#ifndef ORVANE_WAV_H
#define ORVANE_WAV_H

#include <stddef.h>
#include <stdint.h>

#include "orvane.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  ORV_WAV_PCM = 1,
  ORV_WAV_FLOAT = 3,
  ORV_WAV_ALAW = 6,
  ORV_WAV_MULAW = 7,
  ORV_WAV_EXTENSIBLE = 0xFFFE,
};

// Format fields of a scanned WAV image.
typedef struct orv_wav_info_t {
  int format;            // audio format code, 0 without a "fmt " chunk; an extensible format with
                         // a standard sub-format gives the sub-format's code (PCM: 1, float: 3)
  int channels;
  uint32_t sample_rate;
  int bits;              // bits per sample (container width), 0 without a "fmt " chunk
  const uint8_t *data;   // start of the "data" chunk body, NULL without one
  size_t data_bytes;
} orv_wav_info_t;

// True for the data or RIFF sizes that recorders writing to a pipe put in the header because they
// cannot know the length (0, 0x80000000, 0xFFFFFFFF): the samples run to the end of the input.
int orv_wav_size_unknown(uint32_t size);
// Takes the format fields of a "fmt " chunk body of SIZE bytes into INFO (nothing below 16 bytes).
void orv_wav_take_fmt(const uint8_t *body, size_t size, orv_wav_info_t *info);
// Scans the chunks of a RIFF/WAVE image (LEN >= 12 assumed checked by the caller). A data chunk
// whose size is unknown or runs past the end takes the rest of the image. Returns 0 when the
// image is 16-bit PCM with a data chunk and at least one channel, -1 otherwise (INFO is still
// filled with what was found; orv_wav_refusal says why).
int orv_wav_scan(const uint8_t *bytes, size_t len, orv_wav_info_t *info);
// Why INFO cannot be read ("24-bit samples: only 16-bit PCM WAV is read directly"), written into
// OUT (CAP bytes); returns 0 when it can be read (a data chunk is required only with NEED_DATA).
int orv_wav_refusal(const orv_wav_info_t *info, int need_data, char *out, size_t cap);
// Mixes FRAMES interleaved 16-bit little-endian frames of CHANNELS samples to mono floats.
void orv_s16le_mix(const uint8_t *bytes, int frames, int channels, float *out);
// Mixes 16-bit interleaved frames to mono and resamples to 16 kHz. New array to free(), or NULL.
float *orv_wav_to_mono16k(const orv_wav_info_t *info, int *n_out);
// Parses a whole WAV image. New array of 16 kHz mono samples to free(), or NULL after a message.
float *parse_wav_buffer(const uint8_t *bytes, size_t len, int *n_out);
// Linear-interpolation resampling of N samples at RATE to 16 kHz. New array to free(), or NULL.
float *orv_resample_16k(const float *x, int n, uint32_t rate, int *n_out);
// Converts signed 16-bit little-endian samples to floats in [-1, 1).
void orv_s16le_to_float(const uint8_t *bytes, int n_samples, float *out);

#ifdef __cplusplus
}

#include <vector>

// Linear-interpolation resampling to 16 kHz of audio that arrives in pieces: the output of all
// pushes and the finish equals orv_resample_16k over the whole audio, sample for sample.
class Resampler16k {
 public:
  explicit Resampler16k(uint32_t rate);
  // Appends the output that the N new samples X complete to OUT.
  void push(const float *x, size_t n, std::vector<float> &out);
  // Appends the last outputs, which lie past the final sample pair.
  void finish(std::vector<float> &out);

 private:
  void emit(bool at_end, std::vector<float> &out);
  uint32_t rate_;
  double step_;
  std::vector<float> held_;  // input samples from index base_ on
  int64_t base_ = 0, received_ = 0, next_ = 0;  // next_: index of the next output
};
#endif

#endif
