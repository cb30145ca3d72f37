// Arbitrary bytes as a Wyoming connection's input: no crash, events never claim more bytes than
// there are, and every event read writes out as one that reads back the same.
#include <cstdint>
#include <string_view>

#include "wyoming_event.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  for (;;) {
    WyomingEvent e;
    size_t used = 0;
    std::string error;
    if (parse_wyoming_event(bytes, &e, &used, &error) != WyomingParse::event) return 0;
    if (used == 0 || used > bytes.size()) __builtin_trap();
    const std::string again = encode_wyoming_event(e.type, e.data, e.payload);
    WyomingEvent back;
    size_t back_used = 0;
    if (parse_wyoming_event(again, &back, &back_used, &error) != WyomingParse::event || back_used != again.size() ||
        back.type != e.type || back.payload != e.payload)
      __builtin_trap();
    bytes.remove_prefix(used);
  }
}
