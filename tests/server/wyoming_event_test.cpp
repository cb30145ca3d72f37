// Wyoming framing: events cut anywhere arrive whole, data merges from both places, and every
// malformed header is refused without waiting for bytes that will not help.
#include "wyoming_event.h"

#include <gtest/gtest.h>

namespace {

using nlohmann::json;

TEST(WyomingEvent, events_cut_anywhere_arrive_whole_with_data_merged) {
  const std::string bytes = std::string("{\"type\":\"audio-chunk\",\"data\":{\"rate\":8000,\"width\":2},"
                                        "\"data_length\":24,\"payload_length\":4,\"version\":\"1.5.0\"}\n") +
                            "{\"rate\":16000,\"x\":[1]}  " + "\x01\x02\n\x04" + encode_wyoming_event("ping", json::object());
  WyomingEvent e;
  size_t used = 0;
  std::string error;
  for (size_t cut = 0; cut < bytes.size(); cut++) {
    const WyomingParse r = parse_wyoming_event(std::string_view(bytes).substr(0, cut), &e, &used, &error);
    if (r == WyomingParse::event) {
      EXPECT_GE(cut, used);
      break;
    }
    ASSERT_EQ(r, WyomingParse::need_more) << "cut at " << cut << ": " << error;
  }
  ASSERT_EQ(parse_wyoming_event(bytes, &e, &used, &error), WyomingParse::event);
  EXPECT_EQ(e.type, "audio-chunk");
  EXPECT_EQ(e.data, json({{"rate", 16000}, {"width", 2}, {"x", {1}}})) << "the extra block wins over inline data";
  EXPECT_EQ(e.payload, std::string("\x01\x02\n\x04", 4));
  ASSERT_EQ(parse_wyoming_event(std::string_view(bytes).substr(used), &e, &used, &error), WyomingParse::event);
  EXPECT_EQ(e.type, "ping");
  EXPECT_TRUE(e.data.empty());

  const std::string out = encode_wyoming_event("transcript", {{"text", "h\xC3\xA9"}}, "P");
  ASSERT_EQ(parse_wyoming_event(out, &e, &used, &error), WyomingParse::event);
  EXPECT_EQ(used, out.size());
  EXPECT_EQ(e.data["text"], "h\xC3\xA9");
  EXPECT_EQ(e.payload, "P");
}

TEST(WyomingEvent, malformed_headers_are_refused_at_once) {
  WyomingEvent e;
  size_t used = 0;
  std::string error;
  for (const std::string& bad :
       {std::string(kWyomingMaxHeader + 1, ' '), std::string("[1]\n"), std::string("{\"data\":{}}\n"),
        std::string("{\"type\":7}\n"), std::string("{\"type\":\"x\",\"data\":[]}\n"),
        std::string("{\"type\":\"x\",\"data_length\":-1}\n"), std::string("{\"type\":\"x\",\"payload_length\":\"9\"}\n"),
        std::string("{\"type\":\"x\",\"payload_length\":99999999999}\n"), std::string("{\"type\":\"x\",\"data_length\":2}\n[]"),
        std::string("not json\n")}) {
    EXPECT_EQ(parse_wyoming_event(bad, &e, &used, &error), WyomingParse::error) << bad.substr(0, 60);
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
