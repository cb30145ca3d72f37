#include "formats/tokenizer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "temp_dir.h"

namespace {

struct Freer {
  void operator()(orv_tokenizer_t* t) const { orv_tokenizer_free(t); }
};
using Tokenizer = std::unique_ptr<orv_tokenizer_t, Freer>;

Tokenizer parse(const std::string& json) { return Tokenizer(orv_tokenizer_parse(json.data(), json.size())); }

std::string decode(const orv_tokenizer_t* tok, std::initializer_list<int> ids) {
  std::unique_ptr<char, decltype(&free)> text(orv_tokenizer_decode(tok, ids.begin(), int(ids.size())), free);
  return text ? text.get() : "<null>";
}

std::string token(const orv_tokenizer_t* tok, int id) {
  const char* s = orv_tokenizer_token(tok, id);
  return s ? s : "<null>";
}

TEST(Tokenizer, MapsIdsToTextAndControlTokensByRank) {
  Tokenizer tok = parse(R"({
    "config": {"pattern": "[}\"]", "nested": [{"rank": 7}]},
    "vocab": [
      {"rank": 0, "token_bytes": "SGk=", "token_str": "Hi"},
      {"token_bytes": "SGk=", "rank": 3, "extra": {"a": ["}"]}},
      {"rank": 1, "token_bytes": ""},
      {"token_bytes": "SGk="},
      {"rank": 130072, "token_bytes": "SGk="}, {"rank": -5, "token_bytes": "SGk="},
      {"rank": "4", "token_bytes": "SGk="}, {"rank": 4.5, "token_bytes": "SGk="},
      {"rank": 99999999999999999999, "token_bytes": "SGk="},
      {"rank": 130071, "token_bytes": "eg=="}
    ],
    "special_tokens": [
      {"rank": 0, "token_str": "<unk>", "is_control": true}, {"rank": 2, "token_str": "b"},
      {"rank": 1000, "token_str": "x"}, {"rank": 5, "token_str": ""}
    ]
  })");
  ASSERT_NE(tok, nullptr);
  EXPECT_EQ(orv_tokenizer_n_vocab(tok.get()), 130072);
  EXPECT_EQ(orv_tokenizer_n_special(tok.get()), 3);
  EXPECT_EQ(token(tok.get(), 1000), "Hi");
  EXPECT_EQ(token(tok.get(), 1003), "Hi");
  EXPECT_EQ(token(tok.get(), 131071), "z");
  for (int absent : {-1, 1, 999, 1001, 1002, 1004, 1007, 131072, 1 << 30}) {
    EXPECT_EQ(token(tok.get(), absent), "<null>") << absent;
  }
  EXPECT_EQ(token(tok.get(), 0), "<unk>");
  EXPECT_EQ(token(tok.get(), 2), "b");
  EXPECT_EQ(orv_tokenizer_bos(tok.get()), 1);
  EXPECT_EQ(orv_tokenizer_eos(tok.get()), 2);
  EXPECT_EQ(orv_tokenizer_vocab_size(), 131072);

  // Control tokens never reach the text, even when they have a name.
  EXPECT_EQ(decode(tok.get(), {1, 1000, 2, 1001, 131071, 0, 1003}), "HizHi");
  EXPECT_EQ(decode(tok.get(), {}), "");
  int ids[] = {1000};
  std::unique_ptr<char, decltype(&free)> none(orv_tokenizer_decode(tok.get(), ids, -4), free);
  EXPECT_STREQ(none.get(), "");
}

TEST(Tokenizer, DecodesStringEscapesAndUnicodeEscapesToUtf8) {
  Tokenizer tok = parse(R"({"special_tokens": [
    {"rank": 0, "token_str": "a\n\r\t\"\\\/b"},
    {"rank": 1, "token_str": "\u0041\u00e9\u20AC"},
    {"rank": 2, "token_str": "\ud83d\ude00"},
    {"rank": 3, "token_str": "\u004z"},
    {"rank": 4, "token_str": "x\u12"},
    {"rank": 5, "token_str": "ab\u0000cd"},
    {"rank": 6, "token_str": "\u0000cd"},
    {"rank": 7, "token_str": ")" + std::string(254, 'a') + R"(\u20ACbc"}
  ]})");
  ASSERT_NE(tok, nullptr);
  EXPECT_EQ(token(tok.get(), 0), "a\n\r\t\"\\/b");
  EXPECT_EQ(token(tok.get(), 1), "A\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(token(tok.get(), 2), "\xED\xA0\xBD\xED\xB8\x80");  // halves are not combined
  EXPECT_EQ(token(tok.get(), 3), "@");                         // a non-hex digit counts as 0
  EXPECT_EQ(token(tok.get(), 4), "x\x12");                     // a short escape stops at the quote
  EXPECT_EQ(token(tok.get(), 5), "ab");
  EXPECT_EQ(token(tok.get(), 6), "<null>");
  // 254 bytes leave no room for a 3-byte character, which is dropped whole; one more byte fits.
  EXPECT_EQ(token(tok.get(), 7), std::string(254, 'a') + "b");
}

TEST(Tokenizer, Base64DecodingIsLenientAndBounded) {
  std::string abc;
  for (int i = 0; i < 150; ++i) abc += "QUJD";  // "ABC" repeated, 600 characters of base64
  Tokenizer tok = parse(R"({"vocab": [
    {"rank": 0, "token_bytes": "SGk"}, {"rank": 1, "token_bytes": "S G\nk\t="},
    {"rank": 2, "token_bytes": "SGk=QUJD"}, {"rank": 3, "token_bytes": "+/+/"},
    {"rank": 4, "token_bytes": "QQ"}, {"rank": 5, "token_bytes": "Q"},
    {"rank": 6, "token_bytes": "QQBC"}, {"rank": 7, "token_bytes": "SGk*!=="},
    {"rank": 8, "token_bytes": ")" + abc + R"("}, {"rank": 9, "token_bytes": "QQ=="},
    {"rank": 9, "token_bytes": "Qg=="}
  ]})");
  ASSERT_NE(tok, nullptr);
  for (int id : {1000, 1001, 1002, 1007}) EXPECT_EQ(token(tok.get(), id), "Hi") << id;
  EXPECT_EQ(token(tok.get(), 1003), "\xFB\xFF\xBF");
  EXPECT_EQ(token(tok.get(), 1004), "A");
  EXPECT_EQ(token(tok.get(), 1005), "");   // six bits make no byte
  EXPECT_EQ(token(tok.get(), 1006), "A");  // the bytes end at the first zero
  // 511 characters of base64 survive the read, 383 bytes decode, 255 are kept.
  std::string want;
  while (want.size() < 255) want += "ABC";
  EXPECT_EQ(token(tok.get(), 1008), want.substr(0, 255));
  EXPECT_EQ(token(tok.get(), 1009), "B");  // a repeated rank takes the later entry
}

TEST(Tokenizer, MalformedTextKeepsWhatWasReadBeforeIt) {
  for (const char* not_object : {"", "   ", "[]", "x{}", "\0{}"}) {
    EXPECT_EQ(orv_tokenizer_parse(not_object, strlen(not_object)), nullptr) << not_object;
  }
  Tokenizer empty = parse("{}");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(orv_tokenizer_n_vocab(empty.get()), 0);
  EXPECT_EQ(token(empty.get(), 1000), "<null>");
  EXPECT_EQ(token(empty.get(), 0), "<null>");

  const std::string first = R"({"vocab": [{"rank": 0, "token_bytes": "SGk="})";
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  const std::string cases[] = {
      first + R"(, {"rank": 1, "token_bytes": "SGk=)",
      first + R"(, 7, {"rank": 1, "token_bytes": "SGk="}])",
      first + R"(]} "special_tokens": 5)",
      first + R"(], 5: {"special_tokens": []})",
      first + R"(], "special_tokens" [{"rank": 1, "token_str": "s"}]})",
      first + std::string("]", 1) + std::string(1, '\0') + R"(, "special_tokens": [{"rank": 1, "token_str": "s"}]})",
      R"({"config": )" + deep + R"(, "special_tokens": [], )" + first.substr(1) + "]",
  };
  for (const std::string& text : cases) {
    Tokenizer tok = parse(text);
    ASSERT_NE(tok, nullptr) << text.substr(0, 120);
    EXPECT_EQ(token(tok.get(), 1000), "Hi") << text.substr(0, 120);
    EXPECT_EQ(token(tok.get(), 1001), "<null>") << text.substr(0, 120);
    EXPECT_EQ(token(tok.get(), 1), "<null>") << text.substr(0, 120);
  }
}

TEST(Tokenizer, LoadReadsFilesAndReportsOnlyMissingOnes) {
  TempDir dir;
  testing::internal::CaptureStderr();
  EXPECT_EQ(orv_tokenizer_load(dir.file("tekken.json").c_str()), nullptr);
  EXPECT_EQ(orv_tokenizer_load(dir.write("empty.json", "").c_str()), nullptr);
  EXPECT_EQ(orv_tokenizer_load(dir.path().c_str()), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "orv_tokenizer_load: cannot open " + dir.file("tekken.json") + "\n");

  std::string path = dir.write("tekken.json", R"({"vocab": [{"rank": 4, "token_bytes": "SGk="}],
    "special_tokens": [{"rank": 9, "token_str": "[EOS]"}]})");
  int saved = orv_verbose;
  orv_verbose = 2;
  testing::internal::CaptureStderr();
  Tokenizer tok(orv_tokenizer_load(path.c_str()));
  orv_verbose = saved;
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Tokenizer: 5 vocab + 10 special tokens\n");
  ASSERT_NE(tok, nullptr);
  EXPECT_EQ(token(tok.get(), 1004), "Hi");
  EXPECT_EQ(token(tok.get(), 9), "[EOS]");
}

}  // namespace
