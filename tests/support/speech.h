// Spoken test audio from espeak-ng, generated once per text and cached under the build directory.
#ifndef ORVANE_TEST_SPEECH_H
#define ORVANE_TEST_SPEECH_H

#include <string>
#include <vector>

// Path of a WAV file (22050 Hz mono 16-bit) of TEXT spoken by espeak-ng. Throws
// std::runtime_error when it cannot be generated.
std::string speech_wav(const std::string& text);

// The same speech as 16 kHz mono samples, read through orv_load_wav. Throws on failure.
std::vector<float> speech_samples(const std::string& text);

#endif
