// Timed transcript text: whole UTF-8 characters, segments and the output formats.
#include "transcript.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr int32_t kPauseMs = 800;     // a silence this long between words ends a cue
constexpr int32_t kMaxCueMs = 7000;   // a cue spans at most about this long
constexpr int32_t kLingerMs = 800;    // a cue stays up this long after its last token
constexpr size_t kLineChars = 42;     // characters per subtitle line, two lines per cue
const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Byte count of the UTF-8 character S begins with: 0 when S holds only a valid beginning of one,
// -1 when its first byte begins no character (stray continuation byte, overlong form, surrogate,
// beyond U+10FFFF).
int char_length(std::string_view s) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  if (b0 < 0x80) return 1;
  int len = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return -1;
  }
  for (size_t i = 1; i < static_cast<size_t>(len); i++) {
    if (i >= s.size()) return 0;
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF)) return -1;
  }
  return len;
}

size_t char_count(std::string_view s) {
  return static_cast<size_t>(std::count_if(s.begin(), s.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

std::string trimmed(std::string_view s) {
  size_t a = 0, b = s.size();
  while (a < b && is_space(s[a])) a++;
  while (b > a && is_space(s[b - 1])) b--;
  return std::string(s.substr(a, b - a));
}

bool ends_sentence(std::string_view s) {
  const std::string t = trimmed(s);
  for (const std::string_view end : {".", "!", "?", "\xE2\x80\xA6", "\xE3\x80\x82", "\xEF\xBC\x81", "\xEF\xBC\x9F"})
    if (t.size() >= end.size() && t.compare(t.size() - end.size(), end.size(), end) == 0) return true;
  return false;
}

// Lines of at most kLineChars characters, broken at white space (a longer word gets a line of
// its own).
std::vector<std::string> wrap(std::string_view text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && is_space(text[at])) at++;
    size_t end = at;
    while (end < text.size() && !is_space(text[end])) end++;
    if (end == at) break;
    const std::string_view word = text.substr(at, end - at);
    if (!lines.empty() && char_count(lines.back()) + 1 + char_count(word) <= kLineChars)
      (lines.back() += ' ') += word;
    else
      lines.emplace_back(word);
    at = end;
  }
  return lines;
}

std::string json_string(std::string_view s) {
  std::string out = "\"";
  for (const char c : s) {
    if (c == '"' || c == '\\') {
      (out += '\\') += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
      out += esc;
    } else {
      out += c;
    }
  }
  return out + '"';
}

std::string seconds(int32_t ms) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", ms / 1000.0);
  return buf;
}

std::string clock(int32_t ms, char fraction_mark) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d%c%03d", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60,
                fraction_mark, ms % 1000);
  return buf;
}

}  // namespace

std::string Transcript::add(std::string_view bytes, int32_t ms) {
  if (held_.empty()) held_ms_ = ms;
  held_ += bytes;
  std::string done;
  size_t at = 0;
  while (at < held_.size()) {
    const int len = char_length(std::string_view(held_).substr(at));
    if (len == 0) break;  // completed by a later token
    if (len < 0) {
      done += kReplacement;
      at++;
    } else {
      done.append(held_, at, static_cast<size_t>(len));
      at += static_cast<size_t>(len);
    }
  }
  held_.erase(0, at);
  if (!done.empty()) {
    tokens_.push_back({done, held_ms_});
    held_ms_ = ms;  // whatever is still held began in this token
  }
  return done;
}

std::string Transcript::finish() {
  const std::string tail = held_.empty() ? "" : kReplacement;
  if (!tail.empty()) tokens_.push_back({tail, held_ms_});
  held_.clear();
  while (!tokens_.empty()) {
    std::string& t = tokens_.front().text;
    t.erase(0, std::find_if(t.begin(), t.end(), [](char c) { return !is_space(c); }) - t.begin());
    if (!t.empty()) break;
    tokens_.erase(tokens_.begin());
  }
  while (!tokens_.empty()) {
    std::string& t = tokens_.back().text;
    while (!t.empty() && is_space(t.back())) t.pop_back();
    if (!t.empty()) break;
    tokens_.pop_back();
  }
  return tail;
}

std::string Transcript::text() const {
  std::string out;
  for (const TimedToken& t : tokens_) out += t.text;
  return out;
}

std::string LiveText::put(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (is_space(c)) {
      if (started_) pending_ += c;
      continue;
    }
    out += pending_;
    pending_.clear();
    out += c;
    started_ = true;
  }
  return out;
}

namespace {

// The end of the word that begins at token A: the next token that begins with white space.
size_t word_end(const std::vector<TimedToken>& tokens, size_t a) {
  size_t b = a + 1;
  while (b < tokens.size() && !(tokens[b].text.empty() || is_space(tokens[b].text[0]))) b++;
  return b;
}

}  // namespace

std::vector<Segment> cut_segments(const std::vector<TimedToken>& tokens, int32_t duration_ms) {
  std::vector<Segment> out;
  std::string raw;  // the open segment's text, untrimmed
  for (size_t a = 0; a < tokens.size();) {
    const size_t b = word_end(tokens, a);
    std::string word;
    for (size_t i = a; i < b; i++) word += tokens[i].text;
    if (!raw.empty()) {
      const bool cut = ends_sentence(raw) || tokens[a].ms - tokens[a - 1].ms >= kPauseMs ||
                       tokens[b - 1].ms - out.back().start_ms > kMaxCueMs || wrap(raw + word).size() > 2;
      if (cut) {
        out.back().text = trimmed(raw);
        raw.clear();
      }
    }
    if (raw.empty()) out.push_back({a, a, std::min(tokens[a].ms, duration_ms), 0, {}});
    raw += word;
    out.back().end = b;
    a = b;
  }
  if (!out.empty()) out.back().text = trimmed(raw);
  for (size_t i = 0; i < out.size(); i++) {
    const int32_t limit = i + 1 < out.size() ? out[i + 1].start_ms : duration_ms;
    out[i].end_ms = std::max(out[i].start_ms, std::min(tokens[out[i].end - 1].ms + kLingerMs, limit));
  }
  return out;
}

std::string format_json(const Transcript& t, int32_t duration_ms) {
  const std::vector<TimedToken>& tokens = t.tokens();
  std::string out = "{\"text\": " + json_string(t.text()) + ", \"duration\": " + seconds(duration_ms) +
                    ", \"segments\": [";
  const std::vector<Segment> segments = cut_segments(tokens, duration_ms);
  for (size_t s = 0; s < segments.size(); s++) {
    const Segment& seg = segments[s];
    out += s ? ",\n  " : "\n  ";
    out += "{\"start\": " + seconds(seg.start_ms) + ", \"end\": " + seconds(seg.end_ms) +
           ", \"text\": " + json_string(seg.text) + ", \"tokens\": [";
    for (size_t i = seg.first; i < seg.end; i++)
      out += (i > seg.first ? ", " : "") + std::string("{\"text\": ") + json_string(tokens[i].text) +
             ", \"time\": " + seconds(tokens[i].ms) + "}";
    out += "]}";
  }
  return out + (segments.empty() ? "]}\n" : "\n]}\n");
}

std::string format_cues(const Transcript& t, int32_t duration_ms, bool webvtt) {
  std::string out = webvtt ? "WEBVTT\n\n" : "";
  const std::vector<Segment> segments = cut_segments(t.tokens(), duration_ms);
  for (size_t s = 0; s < segments.size(); s++) {
    const char mark = webvtt ? '.' : ',';
    if (!webvtt) out += std::to_string(s + 1) + "\n";
    out += clock(segments[s].start_ms, mark) + " --> " + clock(segments[s].end_ms, mark) + "\n";
    for (const std::string& line : wrap(segments[s].text)) out += line + "\n";
    out += "\n";
  }
  return out;
}

std::string format_verbose_json(const Transcript& t, int32_t duration_ms, std::string_view language, bool words) {
  const std::vector<TimedToken>& tokens = t.tokens();
  const std::vector<Segment> segments = cut_segments(tokens, duration_ms);
  std::string out = "{\"task\": \"transcribe\", \"language\": " + json_string(language) +
                    ", \"duration\": " + seconds(duration_ms) + ", \"text\": " + json_string(t.text()) +
                    ", \"segments\": [";
  for (size_t s = 0; s < segments.size(); s++) {
    const Segment& seg = segments[s];
    out += (s ? ", " : "") + std::string("{\"id\": ") + std::to_string(s) + ", \"start\": " + seconds(seg.start_ms) +
           ", \"end\": " + seconds(seg.end_ms) + ", \"text\": " + json_string(seg.text) + ", \"tokens\": [";
    for (size_t i = seg.first; i < seg.end; i++) out += (i > seg.first ? ", " : "") + json_string(tokens[i].text);
    out += "]}";
  }
  out += "]";
  if (words) {
    // A word ends where the next begins, or where its segment ends.
    out += ", \"words\": [";
    bool first = true;
    for (const Segment& seg : segments)
      for (size_t a = seg.first; a < seg.end;) {
        const size_t b = word_end(tokens, a);
        std::string word;
        for (size_t i = a; i < b; i++) word += tokens[i].text;
        const int32_t start = std::clamp(tokens[a].ms, seg.start_ms, seg.end_ms);
        const int32_t end = b < seg.end ? std::clamp(tokens[b].ms, start, seg.end_ms) : seg.end_ms;
        out += (first ? "" : ", ") + std::string("{\"word\": ") + json_string(trimmed(word)) +
               ", \"start\": " + seconds(start) + ", \"end\": " + seconds(end) + "}";
        first = false;
        a = b;
      }
    out += "]";
  }
  return out + "}\n";
}
