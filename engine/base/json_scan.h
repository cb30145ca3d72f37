// Lexing shared by the three model-file readers (weight-file header, vocabulary, shape file). The
// cursor never reads outside the LEN bytes it was given and never recurses, so hostile text cannot
// overrun a buffer or exhaust the stack. Each reader decides how strict to be about what it finds.
#ifndef ORVANE_JSON_SCAN_H
#define ORVANE_JSON_SCAN_H

#include <cstddef>
#include <cstdint>
#include <string>

class JsonScan {
 public:
  JsonScan(const char* text, size_t len) : begin_(text), p_(text), end_(text + len) {}

  // TEXT cut at its first NUL: the C-string view of a buffer that may hold one.
  static size_t c_length(const char* text, size_t len);

  bool at_end() const { return p_ == end_; }
  size_t offset() const { return static_cast<size_t>(p_ - begin_); }
  // Next byte, or NUL at the end of the text.
  char peek() const { return p_ < end_ ? *p_ : '\0'; }
  bool eat(char c) {
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }
  void skip_ws();         // space, tab, line feed, carriage return
  void skip_ws_commas();  // the same and commas, the separator between members

  enum class Str { ok, truncated, bad };
  // Reads the string at the cursor, appending at most MAX bytes to *OUT (OUT may be null to skip).
  // \n \r \t give control characters, \uXXXX gives UTF-8 when UNICODE is set (a non-hex digit
  // counting as 0), and a backslash before anything else keeps that character. A character that
  // does not fit whole is dropped and the result is `truncated`; `bad` means no opening quote or
  // no closing one before the end of the text.
  Str read_string(std::string* out, size_t max, bool unicode);

  enum class Num { none, ok, overflow };
  // An optional minus sign and decimal digits. `none` (cursor unmoved, *V = 0) without digits;
  // `overflow` when the value does not fit in 64 bits (every digit is still consumed).
  Num read_int(int64_t* v);

  // Skips one value: a string, an object or array (brackets counted, strings inside skipped as
  // strings), or a bare word up to the next comma, closing bracket or end. False when a string or
  // bracket is still open at the end of the text.
  bool skip_value();

 private:
  const char* begin_;
  const char* p_;
  const char* end_;
};

#endif
