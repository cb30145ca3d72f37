// Audio read from a file descriptor while it arrives: a 16-bit PCM WAV stream, whose sizes may be
// placeholders because the writer could not know the length, or raw s16le 16 kHz mono. Behind
// the public orv_audio_reader_* functions and orv_transcribe_stdin.
#ifndef ORVANE_AUDIO_READER_H
#define ORVANE_AUDIO_READER_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/wav.h"
#include "orvane.h"

enum class ReadRefusal { none, short_input, not_wav, unsupported, read_error };

struct orv_audio_reader_t {
  // Reads the first bytes of FD and, for a WAV stream, its header up to the samples. Null with
  // KIND and WHY (a reason without a prefix) set when the input is refused or cannot be read.
  static std::unique_ptr<orv_audio_reader_t> open(int fd, ReadRefusal* kind, std::string* why);
  // Waits for the next block and returns its 16 kHz mono samples (valid until the next call):
  // empty at the end of the input; false with WHY set on a read error.
  bool read(std::vector<float>** block, std::string* why);
  bool is_wav() const { return wav_; }

  // Use open(); public for make_unique.
  orv_audio_reader_t(int fd, bool wav, const orv_wav_info_t& fmt, uint64_t data_left);

 private:
  int fd_;
  bool wav_;
  int channels_;
  uint32_t rate_;
  uint64_t data_left_;         // sample bytes still to read (UINT64_MAX: to the end)
  std::vector<uint8_t> bytes_;  // [block frames][channels] 16-bit samples, partial frame first
  size_t carry_ = 0;           // bytes of a partial frame held from the last read
  bool ended_ = false;
  std::vector<float> mono_, out_;
  std::unique_ptr<Resampler16k> resampler_;  // null at 16 kHz
};

#endif
