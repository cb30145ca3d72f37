#include "formats/safetensors.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "base/half.h"
#include "temp_dir.h"

namespace {

std::string u64le(uint64_t v) {
  std::string s(8, '\0');
  for (int i = 0; i < 8; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}

std::string file_bytes(const std::string& header, const std::string& data = "") {
  return u64le(header.size()) + header + data;
}

std::string entry(const std::string& name, const std::string& dtype, const std::string& shape,
                  uint64_t begin, uint64_t end) {
  return "\"" + name + "\":{\"dtype\":\"" + dtype + "\",\"shape\":" + shape +
         ",\"data_offsets\":[" + std::to_string(begin) + "," + std::to_string(end) + "]}";
}

template <class T>
std::string raw(const std::vector<T>& v) {
  return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}

struct Closer {
  void operator()(safetensors_file_t* f) const { safetensors_close(f); }
};
using File = std::unique_ptr<safetensors_file_t, Closer>;

File open_bytes(const TempDir& dir, const std::string& bytes) {
  return File(safetensors_open(dir.write("w.safetensors", bytes).c_str()));
}

std::string open_error(const TempDir& dir, const std::string& bytes) {
  testing::internal::CaptureStderr();
  File f = open_bytes(dir, bytes);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(f, nullptr);
  return err;
}

long resident_kb() {
  long pages = 0, resident = 0;
  FILE* f = fopen("/proc/self/statm", "r");
  if (f && fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  if (f) fclose(f);
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

TEST(Safetensors, ReadsEveryTypeAsCopiesAndInPlace) {
  TempDir dir;
  std::vector<float> f32 = {1.5f, -2.0f, 0.25f, 3e8f, -0.0f, 7.0f};
  std::vector<uint16_t> bf16 = {0x3F80, 0xC000, 0x4049, 0x0000};  // 1, -2, 3.140625, 0
  std::vector<uint16_t> f16 = {0x8001, 0x3c00, 0x7c00, 0x7e01};   // a signed subnormal, 1, infinity, NaN
  std::string data = raw(f32) + raw(bf16) + raw(f16);
  // Braces inside metadata strings must not unbalance the skip.
  std::string header = "{\"__metadata__\":{\"note\":\"}{ not a brace\"}," +
                       entry("w.f32", "F32", "[2, 3]", 0, 24) + "," +
                       entry("w.bf16", "BF16", "[4]", 24, 32) + "," + entry("w.f16", "F16", "[4]", 32, 40) + "}";
  header += std::string((8 - header.size() % 8) % 8, ' ');
  File sf = open_bytes(dir, file_bytes(header, data));
  ASSERT_NE(sf, nullptr);
  EXPECT_EQ(safetensors_count(sf.get()), 3);
  EXPECT_EQ(safetensors_header_size(sf.get()), header.size());
  EXPECT_EQ(safetensors_file_size(sf.get()), 8 + header.size() + data.size());
  EXPECT_EQ(safetensors_find(sf.get(), "w"), nullptr);  // names match whole, not by prefix
  EXPECT_EQ(safetensors_find(sf.get(), "__metadata__"), nullptr);

  const safetensors_tensor_t* t = safetensors_find(sf.get(), "w.f32");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->ndim, 2);
  EXPECT_EQ(t->shape[1], 3);
  std::unique_ptr<float, decltype(&free)> got(safetensors_get_f32(sf.get(), t), free);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(std::vector<float>(got.get(), got.get() + 6), f32);

  t = safetensors_find(sf.get(), "w.bf16");
  ASSERT_TRUE(safetensors_is_bf16(t));
  got.reset(safetensors_get_f32(sf.get(), t));
  EXPECT_EQ(std::vector<float>(got.get(), got.get() + 4), (std::vector<float>{1, -2, 3.140625f, 0}));
  std::unique_ptr<uint16_t, decltype(&free)> copy(safetensors_get_bf16(sf.get(), t), free);
  EXPECT_EQ(std::vector<uint16_t>(copy.get(), copy.get() + 4), bf16);
  const uint16_t* direct = safetensors_get_bf16_direct(sf.get(), t);
  EXPECT_EQ(static_cast<const void*>(direct), safetensors_data(sf.get(), t));
  EXPECT_EQ(std::vector<uint16_t>(direct, direct + 4), bf16);
  got.reset(safetensors_get_f32(sf.get(), safetensors_find(sf.get(), "w.f16")));
  ASSERT_NE(got, nullptr);
  for (size_t i = 0; i < f16.size(); ++i)
    EXPECT_EQ(std::bit_cast<uint32_t>(got.get()[i]), std::bit_cast<uint32_t>(orv_f16_to_f32(f16[i]))) << i;

  testing::internal::CaptureStdout();
  safetensors_print_tensor(safetensors_find(sf.get(), "w.f32"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "w.f32: dtype=F32, shape=[2, 3], offset=0, size=24\n");
}

TEST(Safetensors, OpenFailuresReleaseAndReport) {
  TempDir dir;
  testing::internal::CaptureStderr();
  EXPECT_EQ(safetensors_open(dir.file("missing").c_str()), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "safetensors_open: open failed: No such file or directory\n");
  const std::string tensor8 = entry("t", "F32", "[2]", 0, 8);
  const struct {
    std::string bytes, message;
  } cases[] = {
      {"1234567", "safetensors_open: file too small\n"},
      {u64le(0), "safetensors_open: failed to parse header\n"},
      {u64le(3) + "{}", "safetensors_open: invalid header size\n"},
      {u64le(UINT64_MAX) + "{}", "safetensors_open: invalid header size\n"},
      {u64le(UINT64_MAX - 6) + "{}", "safetensors_open: invalid header size\n"},
      {file_bytes("{" + tensor8 + "}", "1234567"), "safetensors_open: data out of bounds for t\n"},
      {file_bytes("{" + entry("t", "F32", "[1]", 8, 4) + "}", std::string(16, 'x')),
       "safetensors_open: data out of bounds for t\n"},
      {file_bytes("{" + entry("t", "F32", "[2]", 9, 17) + "}", std::string(16, 'x')),
       "safetensors_open: data out of bounds for t\n"},  // ends one byte past the data area
      {file_bytes("{\"t\":{\"data_offsets\":[-8,8]}}", std::string(16, 'x')),
       "safetensors_open: data out of bounds for t\n"},
      {file_bytes("{" + tensor8 + ", \"u\":{\"shape\":[1,2,3,4,5,6,7,8,9]}}", "12345678"),
       "safetensors_open: failed to parse header\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(open_error(dir, c.bytes), c.message) << c.bytes;
  // Ending exactly at the end of the data area is in bounds.
  File last = open_bytes(dir, file_bytes("{" + entry("t", "F32", "[2]", 8, 16) + "}", std::string(16, 'x')));
  EXPECT_NE(last, nullptr);
}

TEST(SafetensorsHeader, RejectsMalformedAndTruncatedText) {
  std::string long_key = "\"";
  long_key.append(256, 'k').append("\":{}");
  const std::string long_field = "\"t\":{\"" + std::string(64, 'f') + "\":1}";
  const char* bad[] = {
      "", "[]", "{\"t\"", "{\"t\":", "{\"t\" {}}", "{\"t\":[]}", "{t:{}}",
      "{\"t\":{\"dtype\":\"F32\"", "{\"t\":{\"dtype\":\"F32}}", "{\"t\":{\"dtype\":3}}",
      "{\"t\":{\"shape\":[1,2}}", "{\"t\":{\"shape\":4}}", "{\"t\":{\"data_offsets\":4}}",
      "{\"t\":{\"shape\":[99999999999999999999]}}", "{\"t\":{\"data_offsets\":[0,99999999999999999999]}}",
      "{\"__metadata__\":\"x\"}", "{\"__metadata__\":{\"k\":\"}\"", "{\"t\":{\"x\":[[[{\"y\":1}]]}}",
      "{\"t\":{\"x\":\"open", long_key.c_str(), long_field.c_str(),
  };
  std::vector<safetensors_tensor_t> out(SAFETENSORS_MAX_TENSORS);
  for (const char* h : bad) EXPECT_EQ(safetensors_parse_header(h, strlen(h), out.data()), -1) << h;
  const char nul_inside[] = "{\"t\":{}\0}";
  EXPECT_EQ(safetensors_parse_header(nul_inside, sizeof nul_inside - 1, out.data()), -1);
  const char nul_after[] = "{}\0{{{";
  EXPECT_EQ(safetensors_parse_header(nul_after, sizeof nul_after - 1, out.data()), 0);
}

TEST(SafetensorsHeader, AcceptsWhatRealWritersProduce) {
  std::vector<safetensors_tensor_t> out(SAFETENSORS_MAX_TENSORS);
  auto parse = [&](const std::string& h) { return safetensors_parse_header(h.data(), h.size(), out.data()); };
  std::string key255(255, 'k');
  ASSERT_EQ(parse("{\"" + key255 + "\":{\"dtype\":\"F16\"}} trailing text"), 1);
  EXPECT_EQ(std::string(out[0].name), key255);
  EXPECT_EQ(out[0].dtype, SAFETENSORS_F16);

  ASSERT_EQ(parse("{\n  \"a\\\"b\\\\c\\u0041\\t\": {\n    \"shape\": [ 3 , -4 ],\n"
                  "    \"dtype\": \"bf16\",\n    \"data_offsets\": [ 6 , 2 ]\n  }\n}\n"), 1);
  EXPECT_STREQ(out[0].name, "a\"b\\cu0041\t");
  EXPECT_EQ(out[0].dtype, SAFETENSORS_UNKNOWN);  // type names are case-sensitive
  EXPECT_EQ(out[0].ndim, 2);
  EXPECT_EQ(out[0].shape[1], -4);
  EXPECT_EQ(out[0].data_offset, 6u);
  EXPECT_EQ(out[0].size, uint64_t(2) - 6);

  // Nesting far deeper than any call stack would survive, inside skipped values.
  std::string deep = std::string(200000, '[') + std::string(200000, ']');
  ASSERT_EQ(parse("{\"__metadata__\":{\"x\":" + deep + "},\"t\":{\"extra\":" + deep +
                  ",\"dtype\":\"" + std::string(40, 'F') + "\",\"shape\":[]}}"), 1);
  EXPECT_EQ(out[0].dtype, SAFETENSORS_UNKNOWN);
  EXPECT_EQ(out[0].ndim, 0);
  EXPECT_EQ(safetensors_numel(&out[0]), 1);
}

TEST(Safetensors, KeepsTheFirst1024TensorsAndTheFirstOfADuplicateName) {
  TempDir dir;
  std::string header = "{" + entry("dup", "F32", "[1]", 0, 4) + "," + entry("dup", "F32", "[1]", 4, 8);
  for (int i = 2; i <= 1024; ++i) header.append(",").append(entry("t" + std::to_string(i), "F32", "[1]", 0, 4));
  File sf = open_bytes(dir, file_bytes(header + "}", std::string(8, '\0')));
  ASSERT_NE(sf, nullptr);
  EXPECT_EQ(safetensors_count(sf.get()), 1024);
  EXPECT_NE(safetensors_find(sf.get(), "t1023"), nullptr);
  EXPECT_EQ(safetensors_find(sf.get(), "t1024"), nullptr);
  EXPECT_EQ(safetensors_find(sf.get(), "dup")->data_offset, 0u);
  EXPECT_EQ(safetensors_tensor(sf.get(), 1024), nullptr);
}

TEST(Safetensors, AccessorsRefuseBadCountsSizesTypesAndAlignment) {
  TempDir dir;
  std::string header = "{" + entry("huge", "F32", "[4611686018427387905]", 0, 16) + "," +
                       entry("wraps", "BF16", "[4294967296, 4294967296]", 0, 16) + "," +
                       entry("negative", "F32", "[-1, -4]", 0, 16) + "," +
                       entry("empty", "F32", "[0, 5]", 0, 16) + "," +
                       entry("short", "F32", "[5]", 0, 16) + "," +
                       entry("short16", "BF16", "[9]", 0, 16) + "," +
                       entry("lower", "bf16", "[2]", 0, 4) + "," + entry("ints", "I32", "[2]", 0, 8) +
                       "," + entry("odd", "BF16", "[2]", 1, 5) + "," + entry("f32", "F32", "[2]", 0, 8) + "}";
  header += std::string((8 - header.size() % 8) % 8, ' ');
  File sf = open_bytes(dir, file_bytes(header, std::string(16, '\x01')));
  ASSERT_NE(sf, nullptr);
  auto find = [&](const char* name) { return safetensors_find(sf.get(), name); };
  EXPECT_EQ(safetensors_numel(find("huge")), (int64_t{1} << 62) + 1);  // n * 4 wraps to 4
  EXPECT_EQ(safetensors_numel(find("wraps")), -1);
  EXPECT_EQ(safetensors_numel(find("negative")), -1);
  EXPECT_EQ(safetensors_numel(find("empty")), 0);
  for (const char* name : {"huge", "wraps", "negative", "empty", "short", "short16"}) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(safetensors_get_f32(sf.get(), find(name)), nullptr) << name;
    EXPECT_EQ(safetensors_get_bf16_direct(sf.get(), find(name)), nullptr) << name;
    if (safetensors_is_bf16(find(name))) {
      EXPECT_EQ(safetensors_get_bf16(sf.get(), find(name)), nullptr) << name;
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << name;
  }
  // Only F32, F16 and BF16 widen; only BF16 is handed out as BF16.
  for (const auto& [name, dtype] : {std::pair{"lower", -1}, {"ints", 3}, {"f32", 0}}) {
    testing::internal::CaptureStderr();
    float* f = safetensors_get_f32(sf.get(), find(name));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), dtype == 0 ? "" : "safetensors_get_f32: unsupported dtype\n");
    EXPECT_EQ(f != nullptr, dtype == 0);
    free(f);
    testing::internal::CaptureStderr();
    EXPECT_EQ(safetensors_get_bf16(sf.get(), find(name)), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "safetensors_get_bf16: tensor is not BF16 (dtype=" + std::to_string(dtype) + ")\n");
    EXPECT_EQ(safetensors_get_bf16_direct(sf.get(), find(name)), nullptr);
  }
  testing::internal::CaptureStdout();
  safetensors_print_tensor(find("lower"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "lower: dtype=UNKNOWN, shape=[2], offset=0, size=4\n");
  // An odd address cannot be handed out as uint16_t, but the copy still works.
  EXPECT_EQ(safetensors_get_bf16_direct(sf.get(), find("odd")), nullptr);
  uint16_t* odd = safetensors_get_bf16(sf.get(), find("odd"));
  ASSERT_NE(odd, nullptr);
  EXPECT_EQ(odd[1], 0x0101);
  free(odd);
}

TEST(Safetensors, OpeningMapsTheFileInsteadOfReadingIt) {
  TempDir dir;
  const uint64_t gib = uint64_t{1} << 30;
  std::string header = "{" + entry("big", "BF16", "[536870912]", 0, gib) + "}";
  header += std::string((8 - header.size() % 8) % 8, ' ');
  std::string path = dir.write("big.safetensors", file_bytes(header));
  std::filesystem::resize_file(path, 8 + header.size() + gib);  // sparse: no disk used
  long before = resident_kb();
  File sf(safetensors_open(path.c_str()));
  ASSERT_NE(sf, nullptr);
  EXPECT_NE(safetensors_get_bf16_direct(sf.get(), safetensors_find(sf.get(), "big")), nullptr);
  EXPECT_LT(resident_kb() - before, 16 * 1024);
}

}  // namespace
