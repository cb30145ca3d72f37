// The transcript as timed text: token strings joined into whole UTF-8 characters, trimmed, cut
// into segments, and written as plain text, JSON, SubRip or WebVTT.
#ifndef ORVANE_CLI_TRANSCRIPT_H
#define ORVANE_CLI_TRANSCRIPT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct TimedToken {
  std::string text;  // whole UTF-8 characters
  int32_t ms = 0;    // time of the audio it was decoded from
};

struct Segment {
  size_t first = 0, end = 0;    // tokens [first, end)
  int32_t start_ms = 0, end_ms = 0;
  std::string text;             // the tokens' text, trimmed
};

// Collects token strings as the stream hands them out. A token may end inside a UTF-8 character
// that the next one completes: such bytes are held and the character goes, whole, to the token
// where it began. Bytes that form no character become U+FFFD.
class Transcript {
 public:
  // Adds a token string decoded from the audio at MS; returns the text it completes.
  std::string add(std::string_view bytes, int32_t ms);
  // Ends the text (held bytes become U+FFFD, which it returns) and trims white space at both ends.
  std::string finish();
  const std::vector<TimedToken>& tokens() const { return tokens_; }
  std::string text() const;

 private:
  std::vector<TimedToken> tokens_;
  std::string held_;  // the start of a character still incomplete
  int32_t held_ms_ = 0;
};

// Cuts TOKENS into cues at sentence ends, pauses, about 7 s, and what two lines of 42 characters
// hold, never inside a word. Times never go backwards and stay within DURATION_MS.
std::vector<Segment> cut_segments(const std::vector<TimedToken>& tokens, int32_t duration_ms);

// Text handed out while it is decoded, so that the pieces join into the trimmed transcript:
// leading white space is dropped and trailing white space held back until more text follows.
class LiveText {
 public:
  // Returns the part of TEXT that can be shown now.
  std::string put(std::string_view text);

 private:
  bool started_ = false;
  std::string pending_;
};

std::string format_json(const Transcript& t, int32_t duration_ms);
// The OpenAI-style "verbose_json": duration, language, text, segments (cut as format_cues cuts
// them, with their token strings) and, when WORDS, each word with its start and end.
std::string format_verbose_json(const Transcript& t, int32_t duration_ms, std::string_view language, bool words);
// SubRip (WEBVTT false) or WebVTT cues, each of at most two lines.
std::string format_cues(const Transcript& t, int32_t duration_ms, bool webvtt);

#endif
