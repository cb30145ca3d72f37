#include "formats/shape.h"

#include <gtest/gtest.h>

#include <string>

#include "temp_dir.h"

namespace {

bool same(const orv_block_shape_t& a, const orv_block_shape_t& b) {
  return a.dim == b.dim && a.layers == b.layers && a.heads == b.heads && a.kv_heads == b.kv_heads &&
         a.head_dim == b.head_dim && a.hidden == b.hidden && a.window == b.window && a.vocab == b.vocab;
}

// The message orv_shape_parse prints for TEXT, which must fail.
std::string parse_error(const std::string& text) {
  orv_shape_t s = orv_shape_default();
  s.ada_hidden = 12345;
  testing::internal::CaptureStderr();
  int rc = orv_shape_parse(text.data(), text.size(), &s);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(rc, -1) << text;
  EXPECT_EQ(s.ada_hidden, 12345) << "a failed parse must leave the output alone";
  return err;
}

TEST(Shape, ParsesDeclaredKeysOverProductionDefaults) {
  const std::string tiny = R"({
    "encoder": {"dim": 64, "layers": 2, "heads": 4, "kv_heads": 4, "head_dim": 16, "hidden": 128, "window": 32},
    "decoder": {"dim": 256, "layers": 2, "heads": 4, "kv_heads": 2, "head_dim": 64, "hidden": 512,
                "window": 32, "vocab": 2048},
    "ada_hidden": 8
  })";
  orv_shape_t s{};
  ASSERT_EQ(orv_shape_parse(tiny.data(), tiny.size(), &s), 0);
  EXPECT_TRUE(same(s.encoder, {64, 2, 4, 4, 16, 128, 32, 0}));
  EXPECT_TRUE(same(s.decoder, {256, 2, 4, 2, 64, 512, 32, 2048}));
  EXPECT_EQ(s.ada_hidden, 8);

  const std::string partial = "{\"decoder\":{\"vocab\":1001},\"encoder\":{}}\n";
  ASSERT_EQ(orv_shape_parse(partial.data(), partial.size(), &s), 0);
  orv_shape_t want = orv_shape_default();
  want.decoder.vocab = 1001;
  EXPECT_TRUE(same(s.encoder, want.encoder) && same(s.decoder, want.decoder));
  EXPECT_EQ(s.ada_hidden, 32);
  ASSERT_EQ(orv_shape_parse(" {} ", 4, &s), 0);
  EXPECT_TRUE(same(s.decoder, orv_shape_default().decoder));
}

TEST(Shape, RejectsAnythingButTheDeclaredFormat) {
  const std::string p = "orvane-shape.json: ";
  const struct {
    std::string text, message;
  } cases[] = {
      {"", "expected '{' at byte 0"},
      {"{\"ada_hidden\": 8", "expected ',' or '}' at byte 16"},
      {"{\"ada_hidden", "unterminated string at byte 1"},
      {"{} {}", "expected end of text at byte 3"},
      {std::string("{}\0", 3), "expected end of text at byte 2"},
      {"{\"adapter\": 1}", "unknown key \"adapter\""},
      {"{\"encoder\": {\"vocab\": 2048}}", "unknown key \"encoder.vocab\""},
      {"{\"ada_hidden\": 8, \"ada_hidden\": 9}", "duplicate key \"ada_hidden\""},
      {"{\"encoder\": 5}", "encoder must be an object"},
      {"{\"decoder\": {\"dim\": 1.5}}", "decoder.dim must be an integer"},
      {"{\"decoder\": {\"dim\": \"64\"}}", "decoder.dim must be an integer"},
      {"{\"ada_hidden\": 2147483648}", "ada_hidden is out of range"},
      {"{\"ada_hidden\": 99999999999999999999999}", "ada_hidden is out of range"},
      {"{\"\x01\n\": 1}", "unknown key \"??\""},
      // Validation of what was read.
      {"{\"decoder\": {\"kv_heads\": 5}}", "decoder.heads must be divisible by decoder.kv_heads"},
      {"{\"encoder\": {\"heads\": 4, \"kv_heads\": 8}}", "encoder.heads must be divisible by encoder.kv_heads"},
      {"{\"encoder\": {\"head_dim\": 63}}", "encoder.head_dim must be even"},
      {"{\"decoder\": {\"vocab\": 1000}}", "decoder.vocab must be above 1000 and at most 131072"},
      {"{\"decoder\": {\"vocab\": 131073}}", "decoder.vocab must be above 1000 and at most 131072"},
      {"{\"encoder\": {\"window\": 0}}", "encoder.window must be positive"},
      {"{\"decoder\": {\"window\": 2147483647}}", "decoder.window must be at most 1048576"},
      {"{\"ada_hidden\": 0}", "ada_hidden must be positive"},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_error(c.text), p + c.message + "\n") << c.text;
}

TEST(Shape, ValidatesShapesBuiltInCode) {
  orv_shape_t s = orv_shape_default();
  s.encoder.kv_heads = 0;  // must be refused before it divides anything
  testing::internal::CaptureStderr();
  EXPECT_EQ(orv_shape_validate(&s), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "orvane-shape.json: encoder.kv_heads must be positive\n");
}

TEST(Shape, LoadDirUsesTheFileOnlyWhenPresent) {
  TempDir dir;
  orv_shape_t s{};
  ASSERT_EQ(orv_shape_load_dir(dir.path().c_str(), &s), 0);
  EXPECT_TRUE(same(s.decoder, orv_shape_default().decoder));

  dir.write("orvane-shape.json", "{\"decoder\": {\"layers\": 3}}");
  ASSERT_EQ(orv_shape_load_dir(dir.path().c_str(), &s), 0);
  EXPECT_EQ(s.decoder.layers, 3);

  const std::string path = dir.file("orvane-shape.json");
  // Valid JSON padded past the size limit: refused for its size alone.
  dir.write("orvane-shape.json", "{}" + std::string(64 * 1024 - 1, ' '));
  testing::internal::CaptureStderr();
  EXPECT_EQ(orv_shape_load_dir(dir.path().c_str(), &s), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "orv_shape_load_dir: " + path + " is larger than 65536 bytes\n");
  dir.write("orvane-shape.json", "{}" + std::string(64 * 1024 - 2, ' '));
  EXPECT_EQ(orv_shape_load_dir(dir.path().c_str(), &s), 0);

  std::filesystem::remove(path);
  std::filesystem::create_directory(path);
  testing::internal::CaptureStderr();
  EXPECT_EQ(orv_shape_load_dir(dir.path().c_str(), &s), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "orv_shape_load_dir: " + path + " is not a regular file\n");
}

}  // namespace
