// A stream's text as it is decoded: audio in, the text it completes out (ready to show at once),
// and at the end the timed transcript the output formats are written from.
#ifndef ORVANE_CLI_STREAM_TEXT_H
#define ORVANE_CLI_STREAM_TEXT_H

#include <cstdint>
#include <span>
#include <string>

#include "orvane.h"
#include "transcript.h"

class StreamText {
 public:
  explicit StreamText(orv_stream_t* stream) : stream_(stream) {}  // not owned

  // Feeds 16 kHz mono samples; returns the text they completed.
  std::string feed(std::span<const float> samples);
  // Ends the audio; returns the last of the text. The transcript is complete afterwards.
  std::string finish();

  const Transcript& transcript() const { return transcript_; }
  int32_t duration_ms() const;

 private:
  std::string collect();

  orv_stream_t* stream_;
  Transcript transcript_;
  LiveText live_;
  int64_t samples_ = 0;
};

#endif
