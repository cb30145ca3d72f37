#include "base/json_scan.h"

#include <algorithm>
#include <cstring>

namespace {

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

unsigned hex_value(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  return 0;
}

// UTF-8 of a code point below 0x10000; surrogate halves are encoded as they come.
size_t utf8(unsigned cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  out[0] = static_cast<char>(0xE0 | (cp >> 12));
  out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[2] = static_cast<char>(0x80 | (cp & 0x3F));
  return 3;
}

}  // namespace

size_t JsonScan::c_length(const char* text, size_t len) {
  if (!text) return 0;
  const void* nul = std::memchr(text, 0, len);
  return nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : len;
}

void JsonScan::skip_ws() {
  while (p_ < end_ && is_ws(*p_)) ++p_;
}

void JsonScan::skip_ws_commas() {
  while (p_ < end_ && (is_ws(*p_) || *p_ == ',')) ++p_;
}

JsonScan::Str JsonScan::read_string(std::string* out, size_t max, bool unicode) {
  if (!eat('"')) return Str::bad;
  bool cut = false;
  // Single bytes fit one at a time; a multi-byte character fits whole or not at all.
  auto put = [&](const char* bytes, size_t n, bool whole) {
    if (!out) return;
    size_t room = max - std::min(max, out->size());
    if (n > room) cut = true;
    if (n <= room || !whole) out->append(bytes, std::min(n, room));
  };
  while (p_ < end_) {
    // Plain runs are copied in one piece: vocabulary files are megabytes of them.
    const char* run = p_;
    while (p_ < end_ && *p_ != '"' && *p_ != '\\') ++p_;
    put(run, static_cast<size_t>(p_ - run), false);
    if (p_ == end_) break;
    if (*p_++ == '"') return cut ? Str::truncated : Str::ok;
    if (p_ == end_) break;
    char e = *p_++;
    if (e == 'n') {
      put("\n", 1, true);
    } else if (e == 'r') {
      put("\r", 1, true);
    } else if (e == 't') {
      put("\t", 1, true);
    } else if (e == 'u' && unicode) {
      // A short escape ends at the closing quote rather than swallowing it.
      unsigned cp = 0;
      for (int i = 0; i < 4 && p_ < end_ && *p_ != '"'; ++i) cp = cp * 16 + hex_value(*p_++);
      char bytes[3];
      put(bytes, utf8(cp, bytes), true);
    } else {
      put(&e, 1, true);
    }
  }
  return Str::bad;
}

JsonScan::Num JsonScan::read_int(int64_t* v) {
  *v = 0;
  const char* q = p_;
  bool negative = q < end_ && *q == '-';
  if (negative) ++q;
  if (q == end_ || *q < '0' || *q > '9') return Num::none;
  // The magnitude may reach 2^63 for a negative value.
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  uint64_t magnitude = 0;
  bool overflow = false;
  for (; q < end_ && *q >= '0' && *q <= '9'; ++q) {
    auto digit = static_cast<uint64_t>(*q - '0');
    if (magnitude > (limit - digit) / 10) overflow = true;
    if (!overflow) magnitude = magnitude * 10 + digit;
  }
  p_ = q;
  if (overflow) return Num::overflow;
  *v = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return Num::ok;
}

bool JsonScan::skip_value() {
  skip_ws();
  if (p_ == end_) return true;
  if (*p_ == '"') return read_string(nullptr, 0, false) != Str::bad;
  if (*p_ != '{' && *p_ != '[') {
    while (p_ < end_ && *p_ != ',' && *p_ != '}' && *p_ != ']') ++p_;
    return true;
  }
  // A depth counter rather than recursion: nesting depth is the input's choice.
  size_t depth = 0;
  while (p_ < end_) {
    char c = *p_;
    if (c == '"') {
      if (read_string(nullptr, 0, false) == Str::bad) return false;
      continue;
    }
    ++p_;
    if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      if (--depth == 0) return true;
    }
  }
  return false;
}
