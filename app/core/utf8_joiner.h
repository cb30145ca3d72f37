// Joins token bytes into text without cutting a character in two: a character may be split
// across tokens and across reads, so an incomplete sequence at the end waits for the next piece.
#ifndef ORVANE_APP_UTF8_JOINER_H
#define ORVANE_APP_UTF8_JOINER_H

#include <QString>
#include <string>
#include <string_view>

class Utf8Joiner {
 public:
  // Appends BYTES and returns the text of every sequence now complete.
  QString push(std::string_view bytes);
  // Returns what is left (an unfinished sequence becomes a replacement character) and resets.
  QString flush();

 private:
  std::string pending_;
};

#endif
