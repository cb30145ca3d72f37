// One line from orvane-app to an input-method engine ("begin", "text PIECE", "end"), read back
// into what it says. PIECE has backslash, newline and carriage return escaped.
#ifndef ORVANE_IME_FEED_LINE_H
#define ORVANE_IME_FEED_LINE_H

#include <string>
#include <string_view>

struct FeedLine {
  enum class Kind { Begin, Text, End, Unknown };
  Kind kind = Kind::Unknown;
  std::string text;  // the piece, unescaped, for Kind::Text
};

// LINE without its line end.
FeedLine parseFeedLine(std::string_view line);

#endif
