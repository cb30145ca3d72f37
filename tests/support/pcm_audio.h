// 16-bit PCM forms of test audio: the samples a WAV file or a raw s16le pipe would carry.
#ifndef ORVANE_TEST_PCM_AUDIO_H
#define ORVANE_TEST_PCM_AUDIO_H

#include <cstdint>
#include <string>
#include <vector>

// Floats in [-1, 1] rounded to 16-bit samples (clipped).
std::vector<int16_t> to_pcm16(const std::vector<float>& samples);
// The floats the engine reads back from 16-bit samples (s / 32768).
std::vector<float> from_pcm16(const std::vector<int16_t>& pcm);
// Little-endian bytes of PCM, as raw s16le input.
std::string pcm16_bytes(const std::vector<int16_t>& pcm);
// A canonical 44-byte-header WAV image of interleaved PCM.
std::string wav_image(const std::vector<int16_t>& pcm, uint32_t rate = 16000, int channels = 1);

#endif
