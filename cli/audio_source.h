// Recordings as blocks of 16 kHz mono samples for the command line: 16-bit PCM WAV files through
// the engine's reader, standard input as it arrives, and every other format libsndfile reads
// (24/32-bit and float WAV, FLAC, Ogg Vorbis, Opus, MP3, AIFF), mixed to mono and resampled
// with libsoxr at its high quality.
#ifndef ORVANE_CLI_AUDIO_SOURCE_H
#define ORVANE_CLI_AUDIO_SOURCE_H

#include <memory>
#include <string>

class AudioSource {
 public:
  virtual ~AudioSource() = default;
  // Points *SAMPLES at the next block (valid until the next call): its count, 0 at the end, or
  // -1 after a message on standard error.
  virtual int read(const float** samples) = 0;
};

// Opens PATH, or standard input for "-". Null after one message on standard error.
std::unique_ptr<AudioSource> open_audio(const std::string& path);

#endif
