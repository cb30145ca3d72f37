// INT8 weights: the quantiser's rounding rules, the table, and the cache file's life cycle on a
// generated model (written, read back, found stale, damaged, mismatched, unwritable).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <utime.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>

#include "context_ptr.h"
#include "formats/int8_cache_file.h"
#include "kernel_check.h"
#include "kernels/int8_weights.h"
#include "kernels/kernels.h"
#include "network/context.h"
#include "network/int8_prepare.h"
#include "temp_dir.h"
#include "tiny_model.h"

namespace fs = std::filesystem;

namespace {

const auto bf16 = orv_f32_to_bf16_trunc;

struct Quantised {
  std::vector<int8_t> q;
  std::vector<uint16_t> s;
};

Quantised quantise(const std::vector<uint16_t>& w, int n, int k) {
  Quantised r{std::vector<int8_t>(w.size()), std::vector<uint16_t>(w.size() / ORV_INT8_GROUP)};
  orv_int8_quantize(w.data(), n, k, r.q.data(), r.s.data());
  return r;
}

// Largest |a - b| relative to the largest |b| (NaN counts as a failure).
double max_abs_rel(const float* a, const double* b, size_t n) {
  double err = 0, scale = 1e-30;
  for (size_t i = 0; i < n; i++) {
    const double d = std::fabs(double(a[i]) - b[i]);
    err = d == d ? std::max(err, d) : 1e30;
    scale = std::max(scale, std::fabs(b[i]));
  }
  return err / scale;
}

// Loads a context of DIR with INT8 on and returns what the engine said at verbosity 1.
std::string prepare_verbose(const std::string& dir) {
  CtxPtr ctx = load_context(dir);
  orv_verbose = 1;
  testing::internal::CaptureStderr();
  const int rc = orv_int8_prepare(ctx.get());
  orv_verbose = 0;
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(orv_int8_table_count(&ctx->int8), 15);  // 2 layers x 7 + the embedding
  return err;
}

}  // namespace

TEST(Int8, half_narrowing_truncates_and_flushes) {
  EXPECT_EQ(orv_f32_to_f16_trunc(1.0f), 0x3c00);
  EXPECT_EQ(orv_f32_to_f16_trunc(-2.0f), 0xc000);
  EXPECT_EQ(orv_f32_to_f16_trunc(1.0f + 1.0f / 1024 + 1.0f / 2048), 0x3c01);  // a tie, cut down
  EXPECT_EQ(orv_f32_to_f16_trunc(65535.0f), 0x7bff);   // largest exponent kept, not rounded up
  EXPECT_EQ(orv_f32_to_f16_trunc(65536.0f), 0x7c00);   // exponent past the half range
  EXPECT_EQ(orv_f32_to_f16_trunc(std::ldexp(1.0f, -14)), 0x0400);
  EXPECT_EQ(orv_f32_to_f16_trunc(std::ldexp(1.9f, -15)), 0x0000);  // would be a half subnormal
}

// One group with its largest magnitude 127 * 2^-7: scale exactly 2^-7, so every weight is an
// exact multiple of the step and halves show the rounding direction.
TEST(Int8, quantiser_rounds_halves_away_from_zero_and_ignores_nan) {
  std::vector<uint16_t> w(2 * 128, bf16(0.0f));
  const float step = std::ldexp(1.0f, -7);
  w[0] = bf16(127 * step);
  w[1] = bf16(2.5f * step);
  w[2] = bf16(-2.5f * step);
  w[3] = bf16(-127 * step);
  w[4] = 0x7fc0;  // NaN: not counted in the largest magnitude, quantised to 0
  w[5] = bf16(0.25f * step);
  // Second group: below the smallest normal half after the division by 127, so all zero.
  w[128] = bf16(std::ldexp(1.0f, -20));
  w[129] = bf16(-std::ldexp(1.0f, -21));
  const Quantised r = quantise(w, 1, 256);
  EXPECT_EQ(r.s[0], orv_f32_to_f16_trunc(step));
  EXPECT_EQ(orv_f16_to_f32(r.s[0]), step);
  const int8_t want[] = {127, 3, -3, -127, 0, 0};
  for (int i = 0; i < 6; i++) EXPECT_EQ(r.q[i], want[i]) << i;
  EXPECT_EQ(r.s[1], 0);
  EXPECT_EQ(r.q[128], 0);
  EXPECT_EQ(r.q[129], 0);
}

// Random rows: each weight is recovered to within half a step of its own row and group's scale,
// and the largest of each group reaches 127 in magnitude.
TEST(Int8, dequantised_weights_are_within_half_a_step) {
  const int n = 3, k = 384;
  const std::vector<uint16_t> w = random_bf16(size_t(n) * k, 5);
  const Quantised r = quantise(w, n, k);
  for (int row = 0; row < n; row++)
    for (int g = 0; g < 3; g++) {
      const float s = orv_f16_to_f32(r.s[row * 3 + g]);
      int largest = 0;
      for (int i = 0; i < 128; i++) {
        const size_t at = size_t(row) * k + g * 128 + i;
        ASSERT_LE(std::fabs(orv_bf16_to_f32(w[at]) - r.q[at] * s), 0.5001f * s) << at;
        largest = std::max(largest, std::abs(int(r.q[at])));
      }
      EXPECT_EQ(largest, 127);
    }
}

// The products against a double-precision sum over the dequantised weights: every vector path of
// the single row (blocks of rows and the rows left over), and several rows through panels (the
// last one partial).
TEST(Int8, products_match_dequantised_sums_on_every_path) {
  const int n = 70, k = 384, m = 5;
  const std::vector<uint16_t> w = random_bf16(size_t(n) * k, 3);
  Quantised q = quantise(w, n, k);
  const orv_int8_matrix_t mat{q.q.data(), q.s.data(), n, k};
  const std::vector<float> x = random_floats(size_t(m) * k, 4);
  std::vector<double> want(size_t(m) * n);
  for (int r = 0; r < m; r++)
    for (int o = 0; o < n; o++)
      for (int i = 0; i < k; i++)
        want[size_t(r) * n + o] += double(x[size_t(r) * k + i]) * q.q[size_t(o) * k + i] *
                                   orv_f16_to_f32(q.s[size_t(o) * 3 + i / 128]);
  for (int path : {ORV_INT8_PATH_PORTABLE, ORV_INT8_PATH_AVX2, ORV_INT8_PATH_AVX512,
                   ORV_INT8_PATH_NEON}) {
    if (!orv_int8_path_supported(path)) continue;
    std::vector<float> y(n, std::nanf(""));
    orv_matvec_int8_path(path, y.data(), x.data(), &mat);
    EXPECT_LT(max_abs_rel(y.data(), want.data(), n), 1e-5) << "path " << path;
  }
  std::vector<float> y(size_t(m) * n, std::nanf(""));
  orv_linear_int8(y.data(), x.data(), &mat, m);
  EXPECT_LT(max_abs_rel(y.data(), want.data(), y.size()), 1e-5);
}

TEST(Int8, table_quantises_once_and_refuses_what_it_cannot_hold) {
  std::unique_ptr<orv_int8_table_t, decltype(&orv_int8_table_free)> table(orv_int8_table_new(),
                                                                        &orv_int8_table_free);
  orv_int8_table_t* t = table.get();
  const std::vector<uint16_t> w = random_bf16(256 * 128, 9);
  orv_int8_matrix_t a, b;
  EXPECT_EQ(orv_int8_find(t, w.data(), &a), 0);
  ASSERT_EQ(orv_int8_get(t, w.data(), w.size(), 128, &a), 1);
  ASSERT_EQ(orv_int8_get(t, w.data(), w.size(), 128, &b), 1);
  EXPECT_EQ(a.weights, b.weights);
  EXPECT_EQ(a.n, 256);
  EXPECT_EQ(a.k, 128);
  EXPECT_EQ(orv_int8_get(t, w.data() + 1, 200, 100, &b), 0);  // K not a multiple of 128
  EXPECT_EQ(orv_int8_get(t, w.data() + 1, 300, 128, &b), 0);  // K does not divide the count
  for (int i = 1; i < ORV_INT8_TABLE_CAP; i++)
    ASSERT_EQ(orv_int8_get(t, w.data() + i * 128, 128, 128, &b), 1);
  EXPECT_EQ(orv_int8_get(t, w.data() + 1, 128, 128, &b), 0);  // full
  EXPECT_EQ(orv_int8_table_count(t), ORV_INT8_TABLE_CAP);
}

// The cache file of a model directory through its life: written by the first load, read by the
// second, stale after the weights are touched, replaced when damaged, kept on a mismatch.
TEST(Int8Cache, file_is_written_reused_and_replaced_when_stale_or_damaged) {
  const std::string dir = make_model_dir(orv_shape_tiny(), 1);
  const std::string cache = dir + "/int8_cache.bin";
  EXPECT_NE(prepare_verbose(dir).find("INT8 cache: saved 15 entries to " + cache), std::string::npos);
  const std::string good = read_file(cache);
  ASSERT_GT(good.size(), 64u);
  EXPECT_EQ(good.substr(0, 8), std::string("ORVINT8\0", 8));
  {  // entries follow the format's fixed order, whatever order the code walks the matrices in
    CtxPtr ctx = load_context(dir);
    const safetensors_file_t* sf = ctx->safetensors.get();
    std::vector<std::string> names;
    for (int l = 0; l < ctx->shape.decoder.layers; l++)
      for (const char* m : {"attention.wq", "attention.wk", "attention.wv", "attention.wo",
                            "feed_forward.w1", "feed_forward.w2", "feed_forward.w3"})
        names.push_back("layers." + std::to_string(l) + "." + m + ".weight");
    names.push_back("mm_streams_embeddings.embedding_module.tok_embeddings.weight");
    size_t at = 64;
    for (const std::string& name : names) {
      const safetensors_tensor_t* t = safetensors_find(sf, name.c_str());
      ASSERT_NE(t, nullptr) << name;
      const int n = int(t->shape[0]), k = int(t->shape[1]);
      const auto* src = static_cast<const uint16_t*>(safetensors_data(sf, t));
      const Quantised q = quantise(std::vector<uint16_t>(src, src + size_t(n) * k), n, k);
      ASSERT_LE(at + 16 + q.q.size() + 2 * q.s.size(), good.size());
      EXPECT_EQ(std::memcmp(good.data() + at + 16, q.q.data(), q.q.size()), 0) << name;
      EXPECT_EQ(std::memcmp(good.data() + at + 16 + q.q.size(), q.s.data(), 2 * q.s.size()), 0) << name;
      at += 16 + q.q.size() + 2 * q.s.size();
    }
    EXPECT_EQ(at, good.size());
  }

  EXPECT_EQ(prepare_verbose(dir), "INT8 cache: loaded 15 entries from " + cache + "\n");
  {  // the loaded entries are the file's bytes: the last one's weights and scales end the file
    std::unique_ptr<orv_int8_table_t, decltype(&orv_int8_table_free)> t(orv_int8_table_new(), &orv_int8_table_free);
    ASSERT_EQ(orv_int8_cache_load(t.get(), dir.c_str()), 1);
    ASSERT_EQ(orv_int8_table_count(t.get()), 15);
    const Int8Entry& e = t->entries.back();
    const size_t payload = e.numel + e.numel / ORV_INT8_GROUP * 2;
    EXPECT_EQ(std::memcmp(e.weight_data(), good.data() + good.size() - payload, e.numel), 0);
    EXPECT_EQ(std::memcmp(e.scale_data(), good.data() + good.size() - payload + e.numel, payload - e.numel), 0);
  }

  struct stat st;
  ASSERT_EQ(stat((dir + "/consolidated.safetensors").c_str(), &st), 0);
  const utimbuf later{st.st_atime, st.st_mtime + 10};
  ASSERT_EQ(utime((dir + "/consolidated.safetensors").c_str(), &later), 0);
  const std::string stale = prepare_verbose(dir);
  EXPECT_NE(stale.find("INT8 cache: stale, regenerating\n"), std::string::npos);
  EXPECT_NE(stale.find("saved 15 entries"), std::string::npos);
  const std::string fresh = read_file(cache);
  EXPECT_EQ(fresh.substr(64), good.substr(64));  // same weights, new header

  auto with_count = [&](uint32_t n) {
    std::string b = fresh;
    std::memcpy(&b[16], &n, 4);
    return b;
  };
  for (const std::string& damaged :
       {fresh.substr(0, fresh.size() - 1), with_count(0), with_count(257), with_count(16)}) {
    write_file(cache, damaged);
    const std::string err = prepare_verbose(dir);
    EXPECT_EQ(err.find("loaded"), std::string::npos);
    EXPECT_NE(err.find("saved 15 entries"), std::string::npos);
    EXPECT_EQ(read_file(cache), fresh);
  }

  // The first record claims another shape: the whole table is quantised afresh and the file,
  // which may belong to another build, is left alone.
  std::string other = fresh;
  other[64 + 8] = char(0x80);  // K 256 -> 128: the same bytes, another shape
  other[64 + 9] = 0;
  write_file(cache, other);
  EXPECT_NE(prepare_verbose(dir).find("INT8 cache: entry 0 mismatch, regenerating\n"),
            std::string::npos);
  EXPECT_EQ(read_file(cache), other);
}

// A save that cannot complete leaves no file behind and the engine goes on with its table.
TEST(Int8Cache, failed_save_leaves_no_partial_file) {
  const std::string dir = make_model_dir(orv_shape_tiny(), 1);
  fs::create_directory(dir + "/int8_cache.bin");  // the final rename cannot replace a directory
  fs::create_directory(dir + "/int8_cache.bin/x");
  const std::string err = prepare_verbose(dir);
  EXPECT_NE(err.find("INT8 cache: cannot write"), std::string::npos);
  int files = 0;
  for (const auto& e : fs::directory_iterator(dir)) files += e.path().filename().string().rfind("int8_cache", 0) == 0;
  EXPECT_EQ(files, 1);  // the directory itself, no temporary file
}
