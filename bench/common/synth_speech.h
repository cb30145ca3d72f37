// Deterministic speech-like audio for benchmarks: a voiced source at a wandering pitch through
// vowel formants, in syllables of a few per second with pauses between phrases.
#ifndef ORVANE_BENCH_SYNTH_SPEECH_H
#define ORVANE_BENCH_SYNTH_SPEECH_H

#include <cstdint>
#include <vector>

// SECONDS of 16 kHz mono samples in [-1, 1]; the same SEED gives the same samples.
std::vector<float> synth_speech(double seconds, uint32_t seed = 1);

#endif
