// The model generator: complete, well-formed and deterministic model directories.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "formats/safetensors.h"
#include "formats/tensor_table.h"
#include "formats/tokenizer.h"
#include "temp_dir.h"
#include "tiny_model.h"

namespace fs = std::filesystem;

// Loading checks every tensor's type and shape; what it cannot see is tensors sharing bytes.
TEST(ModelGen, WeightFileHoldsTheTableBackToBack) {
  const orv_shape_t shape = orv_shape_tiny();
  safetensors_file_t* sf = safetensors_open((tiny_model_dir() + "/consolidated.safetensors").c_str());
  ASSERT_NE(sf, nullptr);
  ASSERT_EQ(safetensors_count(sf), orv_tensor_count(&shape));
  EXPECT_EQ((8 + safetensors_header_size(sf)) % 8, 0u) << "data area must start aligned";
  uint64_t end = 0;
  for (int i = 0; i < safetensors_count(sf); i++) {
    orv_tensor_info_t want;
    orv_tensor_info(&shape, i, &want);
    const safetensors_tensor_t* t = safetensors_find(sf, want.name);
    ASSERT_NE(t, nullptr) << want.name;
    EXPECT_EQ(t->data_offset, end) << want.name << " leaves a gap or overlaps";
    end = t->data_offset + t->size;
  }
  EXPECT_EQ(8 + safetensors_header_size(sf) + end, safetensors_file_size(sf)) << "trailing bytes";
  safetensors_close(sf);
}

TEST(ModelGen, SameSeedSameBytesOtherSeedOtherWeightsAndWords) {
  const std::string a = make_model_dir(orv_shape_tiny(), 7);
  const std::string b = make_model_dir(orv_shape_tiny(), 7);
  const std::string c = make_model_dir(orv_shape_tiny(), 8);
  for (const char* f : {"consolidated.safetensors", "tekken.json", "params.json", "orvane-shape.json"})
    EXPECT_TRUE(read_file(fs::path(a) / f) == read_file(fs::path(b) / f)) << f;
  const std::string wa = read_file(fs::path(a) / "consolidated.safetensors");
  const std::string wc = read_file(fs::path(c) / "consolidated.safetensors");
  ASSERT_EQ(wa.size(), wc.size());
  size_t same = 0;  // bytes at equal positions; the header differs only in the seed
  for (size_t i = 0; i < wa.size(); i++) same += wa[i] == wc[i];
  EXPECT_LT(same, wa.size() / 4);
  EXPECT_NE(read_file(fs::path(a) / "tekken.json"), read_file(fs::path(c) / "tekken.json"));

  std::set<fs::path> names;  // nothing left behind from the temporary names
  for (const auto& e : fs::directory_iterator(a)) names.insert(e.path().filename());
  EXPECT_EQ(names, (std::set<fs::path>{"consolidated.safetensors", "tekken.json", "params.json",
                                       "orvane-shape.json"}));
}

TEST(ModelGen, VocabularyIsDistinctPrintableWordPieces) {
  orv_tokenizer_t* tok = orv_tokenizer_load((tiny_model_dir() + "/tekken.json").c_str());
  ASSERT_NE(tok, nullptr);
  const int vocab = orv_shape_tiny().decoder.vocab;
  EXPECT_EQ(orv_tokenizer_n_vocab(tok), vocab - 1000);
  EXPECT_EQ(orv_tokenizer_n_special(tok), 1000);
  EXPECT_STREQ(orv_tokenizer_token(tok, 1), "<s>");
  EXPECT_STREQ(orv_tokenizer_token(tok, 2), "</s>");

  std::set<std::string> text, special;
  int leading_space = 0;
  for (int id = 0; id < vocab; id++) {
    const char* s = orv_tokenizer_token(tok, id);
    ASSERT_NE(s, nullptr) << id;
    ASSERT_GT(std::strlen(s), 0u) << id;
    (id < 1000 ? special : text).insert(s);
    for (const char* p = s; *p; p++) ASSERT_TRUE(*p >= 0x20 && *p < 0x7f) << "id " << id;
    leading_space += id >= 1000 && s[0] == ' ' && s[1];
  }
  EXPECT_EQ(special.size(), 1000u);
  EXPECT_EQ(text.size(), static_cast<size_t>(vocab - 1000));
  EXPECT_GT(leading_space, (vocab - 1000) / 3);
  orv_tokenizer_free(tok);
}

TEST(ModelGen, ShapeFileRoundTripsAndAStaleOneIsRemoved) {
  TempDir dir;
  orv_shape_t shape = orv_shape_tiny(), read;
  shape.encoder.heads = shape.encoder.kv_heads = 2;
  ASSERT_EQ(orv_write_model(dir.path().string(), shape, 3, true), 0);
  ASSERT_EQ(orv_shape_load_dir(dir.path().c_str(), &read), 0);
  EXPECT_EQ(std::memcmp(&read, &shape, sizeof shape), 0);
  ASSERT_EQ(orv_write_model(dir.path().string(), shape, 3, false), 0);
  EXPECT_FALSE(fs::exists(dir.path() / "orvane-shape.json"));
}

TEST(ModelGen, RefusesBadShapesAndUnwritableDirectories) {
  TempDir dir;
  orv_shape_t bad = orv_shape_tiny();
  bad.decoder.kv_heads = 3;  // does not divide 4 query heads
  testing::internal::CaptureStderr();
  EXPECT_EQ(orv_write_model(dir.file("m"), bad, 1, true), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(fs::exists(dir.path() / "m" / "consolidated.safetensors"));

  const std::string file = dir.write("plain", "x");
  testing::internal::CaptureStderr();
  EXPECT_EQ(orv_write_model(file + "/m", orv_shape_tiny(), 1, true), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("orv_write_model: cannot create " + file + "/m", 0), 0u);
}

TEST(MkModel, CommandLineWritesWhatTheLibraryWrites) {
  const std::string exe = std::string(ORVANE_TEST_BIN_DIR) + "/tools/orvane-mkmodel";
  TempDir dir;
  const std::string shape_file = dir.write(
      "s.json",
      "{\"encoder\": {\"dim\": 64, \"layers\": 1, \"heads\": 4, \"kv_heads\": 4, \"head_dim\": 16,"
      " \"hidden\": 128, \"window\": 32},\n \"decoder\": {\"dim\": 256, \"layers\": 1, \"heads\": 4,"
      " \"kv_heads\": 2, \"head_dim\": 64, \"hidden\": 512, \"window\": 32, \"vocab\": 2048},"
      " \"ada_hidden\": 8}");
  orv_shape_t shape = orv_shape_tiny();
  shape.encoder.layers = shape.decoder.layers = 1;
  ASSERT_EQ(std::system((exe + " --seed 5 --shape " + shape_file + " " + dir.file("cli") + " 2>/dev/null").c_str()), 0);
  ASSERT_EQ(orv_write_model(dir.file("lib"), shape, 5, true), 0);
  for (const char* f : {"consolidated.safetensors", "tekken.json", "orvane-shape.json"})
    EXPECT_TRUE(read_file(dir.path() / "cli" / f) == read_file(dir.path() / "lib" / f)) << f;

  for (const char* args : {"", "--seed -3 x", "--seed 12abc x", "--shape tiny", "a b", "--bogus x"})
    EXPECT_EQ(WEXITSTATUS(std::system((exe + " " + args + " 2>/dev/null").c_str())), 2) << args;
  const std::string bad = dir.write("bad.json", "{\"decoder\": {\"dim\": \"wide\"}}");
  EXPECT_NE(std::system((exe + " --shape " + bad + " " + dir.file("x") + " 2>/dev/null").c_str()), 0);
  EXPECT_FALSE(fs::exists(dir.path() / "x"));
}
