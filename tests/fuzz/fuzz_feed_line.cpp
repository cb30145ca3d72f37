// Lines from orvane-app to an input-method engine, read back and typed: whatever the bytes, the
// text committed over a dictation is exactly the text given, in order.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/dictation_text.h"
#include "common/feed_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  DictationText text;
  text.begin();
  std::string given, committed;
  for (size_t at = 0; at <= input.size();) {
    const size_t end = std::min(input.find('\n', at), input.size());
    const FeedLine line = parseFeedLine(input.substr(at, end - at));
    if (line.kind == FeedLine::Kind::Text) {
      given += line.text;
      committed += text.add(line.text);
      if (!std::string_view(given).starts_with(committed + text.preedit())) std::abort();
    }
    at = end + 1;
  }
  committed += text.end();
  if (committed != given) std::abort();
  return 0;
}
