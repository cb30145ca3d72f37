#include "utf8_joiner.h"

namespace {

// Length of the longest prefix of S that does not end inside a sequence whose lead byte promises
// more bytes than have arrived. Invalid bytes count as complete: they decode the same whether
// they come now or later.
size_t complete_prefix(std::string_view s) {
  const size_t n = s.size();
  for (size_t back = 1; back <= 3 && back <= n; back++) {
    const auto c = static_cast<unsigned char>(s[n - back]);
    if ((c & 0xC0) == 0x80) continue;  // continuation byte: look further back for its lead
    if (c < 0xC0 || c >= 0xF8) return n;
    const size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    return back < length ? n - back : n;
  }
  return n;
}

}  // namespace

QString Utf8Joiner::push(std::string_view bytes) {
  pending_.append(bytes);
  const size_t cut = complete_prefix(pending_);
  QString text = QString::fromUtf8(pending_.data(), static_cast<qsizetype>(cut));
  pending_.erase(0, cut);
  return text;
}

QString Utf8Joiner::flush() {
  QString text = QString::fromUtf8(pending_.data(), static_cast<qsizetype>(pending_.size()));
  pending_.clear();
  return text;
}
