#include "feed_line.h"

FeedLine parseFeedLine(std::string_view line) {
  if (line == "begin") return {FeedLine::Kind::Begin, {}};
  if (line == "end") return {FeedLine::Kind::End, {}};
  constexpr std::string_view kText = "text ";
  if (!line.starts_with(kText)) return {};
  FeedLine out{FeedLine::Kind::Text, {}};
  const std::string_view escaped = line.substr(kText.size());
  for (size_t i = 0; i < escaped.size(); i++) {
    if (escaped[i] != '\\' || i + 1 == escaped.size()) {
      out.text += escaped[i];
      continue;
    }
    const char c = escaped[++i];
    out.text += c == 'n' ? '\n' : c == 'r' ? '\r' : c;
  }
  return out;
}
