// Feeding a stream and reading its timed tokens into a transcript.
#include "stream_text.h"

#include <algorithm>
#include <climits>

std::string StreamText::feed(std::span<const float> samples) {
  // The engine takes counts as int: long blocks go in pieces.
  constexpr size_t kPiece = 1 << 20;
  for (size_t at = 0; at < samples.size(); at += kPiece)
    orv_stream_feed(stream_, samples.data() + at, static_cast<int>(std::min(kPiece, samples.size() - at)));
  samples_ += static_cast<int64_t>(samples.size());
  return collect();
}

std::string StreamText::finish() {
  orv_stream_finish(stream_);
  std::string text = collect();
  return text + live_.put(transcript_.finish());
}

int32_t StreamText::duration_ms() const {
  return static_cast<int32_t>(std::min<int64_t>(samples_ * 1000 / 16000, INT32_MAX));
}

std::string StreamText::collect() {
  enum { kBatch = 64 };
  const char* tokens[kBatch];
  int32_t ms[kBatch];
  std::string text;
  for (int n; (n = orv_stream_get_timed(stream_, tokens, ms, kBatch)) > 0;)
    for (int i = 0; i < n; i++) text += live_.put(transcript_.add(tokens[i], ms[i]));
  return text;
}
