// The timed transcript: characters split across tokens stay whole, cues are cut where a reader
// expects and their times never go backwards.
#include "transcript.h"

#include <gtest/gtest.h>

namespace {

Transcript of(const std::vector<std::pair<std::string, int32_t>>& tokens) {
  Transcript t;
  for (const auto& [bytes, ms] : tokens) t.add(bytes, ms);
  t.finish();
  return t;
}

TEST(Transcript, characters_split_across_tokens_stay_whole) {
  // "€" (E2 82 AC) in three tokens, "ü" (C3 BC) over two; a stray continuation byte, an overlong
  // form, an encoded surrogate and a character cut off by the end become U+FFFD.
  const Transcript t = of({{" caf\xC3", 0}, {"\xBC \xE2", 80}, {"\x82", 160}, {"\xAC!", 240},
                           {" \x80\xC0\xAF", 320}, {" \xED\xA0\x80", 360}, {" \xF0\x9F", 400}});
  std::vector<std::pair<std::string, int32_t>> got;
  for (const TimedToken& tok : t.tokens()) got.emplace_back(tok.text, tok.ms);
  const std::vector<std::pair<std::string, int32_t>> want = {
      {"caf", 0}, {"\xC3\xBC ", 0}, {"\xE2\x82\xAC!", 80}, {" \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", 320},
      {" \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", 360}, {" ", 400}, {"\xEF\xBF\xBD", 400}};
  EXPECT_EQ(got, want);
  EXPECT_EQ(t.text(), "caf\xC3\xBC \xE2\x82\xAC! \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD "
                     "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD \xEF\xBF\xBD");
  EXPECT_EQ(of({{"  \n", 0}, {" a ", 80}, {" ", 160}}).text(), "a") << "trimmed at both ends";
}

TEST(Transcript, cues_end_at_sentences_pauses_length_and_line_room) {
  std::vector<std::pair<std::string, int32_t>> tokens;
  int32_t ms = 0;
  auto say = [&](const std::string& words, int32_t gap = 80) {
    for (size_t at = 0; at < words.size();) {
      const size_t next = words.find(' ', at + 1);
      tokens.emplace_back(words.substr(at, next - at), ms);
      ms += gap;
      at = next == std::string::npos ? words.size() : next;
    }
  };
  say("One sentence.");
  say(" Then");
  say(" a", 1200);  // a pause inside a word does not cut it
  say("nother after the pause");
  ms += 900;
  say(" and a long run of words that fills more than two lines of forty-two characters each, as"
      " subtitles allow, before it ends");
  for (int i = 0; i < 30; i++) say(" so", 400);  // twelve seconds of short words
  const Transcript t = of(tokens);
  const int32_t duration = ms;
  const std::vector<Segment> cues = cut_segments(t.tokens(), duration);
  ASSERT_GE(cues.size(), 5u);
  EXPECT_EQ(cues[0].text, "One sentence.");
  EXPECT_EQ(cues[1].text, "Then another after the pause");
  int32_t last = 0;
  for (const Segment& c : cues) {
    EXPECT_LE(last, c.start_ms);
    EXPECT_LE(c.start_ms, c.end_ms);
    EXPECT_LE(c.end_ms, duration);
    EXPECT_LE(c.end_ms - c.start_ms, 7000 + 800) << c.text;
    last = c.end_ms;
    const std::string cue = format_cues(of({{c.text, 0}}), 1000, false);
    EXPECT_LE(std::count(cue.begin(), cue.end(), '\n'), 2 + 2 + 1) << "two lines at most: " << cue;
  }
  // A pause of exactly 800 ms between words ends a cue; 799 ms does not.
  const std::vector<Segment> paused =
      cut_segments(of({{"One", 0}, {" two", 799}, {" three", 1598}, {" four", 2398}}).tokens(), 3000);
  ASSERT_EQ(paused.size(), 2u);
  EXPECT_EQ(paused[0].text, "One two three");
  EXPECT_EQ(paused[1].text, "four");
}

}  // namespace
