// Model loading: tensor binding and validation, failure messages, and the delay conditioning.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <vector>

#include "formats/tensor_table.h"
#include "modelgen/safetensors_writer.h"
#include "network/context.h"
#include "network/model.h"
#include "temp_dir.h"
#include "tiny_model.h"

namespace fs = std::filesystem;

namespace {

using Entries = std::vector<modelgen::TensorEntry>;

// Copies the tiny model into DIR with its weight file rewritten after EDIT changed the list of
// tensors; data of a tensor comes from the tiny model's tensor of the same name, zero-padded.
void write_edited_model(const TempDir& dir, const std::function<void(Entries&)>& edit) {
  for (const char* f : {"tekken.json", "orvane-shape.json"})
    fs::copy_file(fs::path(tiny_model_dir()) / f, dir.path() / f);
  safetensors_file_t* sf = safetensors_open((tiny_model_dir() + "/consolidated.safetensors").c_str());
  ASSERT_NE(sf, nullptr);
  Entries entries;
  std::map<std::string, const safetensors_tensor_t*> source;
  for (int i = 0; i < safetensors_count(sf); i++) {
    const safetensors_tensor_t* t = safetensors_tensor(sf, i);
    entries.push_back({t->name, safetensors_dtype_name(t->dtype), {t->shape, t->shape + t->ndim}, t->size});
    source[t->name] = t;
  }
  edit(entries);
  const int rc = modelgen::write_safetensors(
      dir.file("consolidated.safetensors"), entries, {},
      [&](size_t i, uint64_t offset, std::span<uint8_t> out) {
        const safetensors_tensor_t* t = source[entries[i].name];
        std::memset(out.data(), 0, out.size());
        if (offset < t->size)
          std::memcpy(out.data(), static_cast<const uint8_t*>(safetensors_data(sf, t)) + offset,
                      std::min<uint64_t>(out.size(), t->size - offset));
      });
  safetensors_close(sf);
  ASSERT_EQ(rc, 0);
}

modelgen::TensorEntry& entry(Entries& e, const std::string& name) {
  for (auto& x : e)
    if (x.name == name) return x;
  throw std::runtime_error("no tensor " + name);
}

void drop(Entries& e, const std::string& name) { std::erase_if(e, [&](auto& x) { return x.name == name; }); }

// Loads DIR expecting failure; returns what was printed.
std::string failed_load(const std::string& dir) {
  testing::internal::CaptureStderr();
  orv_ctx_t* ctx = orv_load(dir.c_str());
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(ctx, nullptr);
  orv_free(ctx);
  return err;
}

const std::string kEncLayer = "mm_streams_embeddings.embedding_module.whisper_encoder.transformer.layers.";

double gelu(double x) { return 0.5 * x * (1 + std::tanh(std::sqrt(2 / M_PI) * (x + 0.044715 * x * x * x))); }

}  // namespace

// Names and dimensions as the production weight file has them, and the tiny model's.
TEST(TensorTable, NamesAndDimensionsFollowTheShape) {
  struct Case {
    orv_shape_t shape;
    std::string name;
    std::vector<int64_t> dims;
    int dtype;
  };
  const orv_shape_t full = orv_shape_default(), tiny = orv_shape_tiny();
  const Case cases[] = {
      {full, "mm_streams_embeddings.embedding_module.whisper_encoder.conv_layers.0.conv.weight", {1280, 128, 3}, SAFETENSORS_F32},
      {full, kEncLayer + "31.attention.wk.weight", {2048, 1280}, SAFETENSORS_BF16},
      {full, kEncLayer + "0.attention.wo.weight", {1280, 2048}, SAFETENSORS_BF16},
      {full, kEncLayer + "7.feed_forward.w2.bias", {1280}, SAFETENSORS_F32},
      {full, "mm_streams_embeddings.embedding_module.audio_language_projection.0.weight", {3072, 5120}, SAFETENSORS_BF16},
      {full, "mm_streams_embeddings.embedding_module.tok_embeddings.weight", {131072, 3072}, SAFETENSORS_BF16},
      {full, "layers.25.ada_rms_norm_t_cond.0.weight", {32, 3072}, SAFETENSORS_F32},
      {full, "layers.3.attention.wv.weight", {1024, 3072}, SAFETENSORS_BF16},
      {full, "layers.0.feed_forward.w2.weight", {3072, 9216}, SAFETENSORS_BF16},
      {full, "norm.weight", {3072}, SAFETENSORS_F32},
      {tiny, "layers.0.ada_rms_norm_t_cond.2.weight", {256, 8}, SAFETENSORS_F32},
      {tiny, "mm_streams_embeddings.embedding_module.audio_language_projection.0.weight", {256, 256}, SAFETENSORS_BF16},
  };
  EXPECT_EQ(orv_tensor_count(&full), 4 + 32 * 13 + 4 + 26 * 11 + 1);
  for (const Case& c : cases) {
    bool found = false;
    for (int64_t i = 0; i < orv_tensor_count(&c.shape); i++) {
      orv_tensor_info_t t;
      ASSERT_EQ(orv_tensor_info(&c.shape, i, &t), 0);
      if (c.name != t.name) continue;
      EXPECT_FALSE(found) << "listed twice: " << c.name;
      found = true;
      EXPECT_EQ(std::vector<int64_t>(t.shape, t.shape + t.ndim), c.dims) << c.name;
      EXPECT_EQ(t.dtype, c.dtype) << c.name;
    }
    EXPECT_TRUE(found) << c.name;
  }
  orv_tensor_info_t t;
  EXPECT_EQ(orv_tensor_info(&full, orv_tensor_count(&full), &t), -1);
}

// The decoder's matrices are read in place; without a GPU the encoder's and the adapter's are
// copies of the same bytes.
TEST(ModelLoad, BindsMatricesAndWidensVectors) {
  orv_verbose = 2;
  testing::internal::CaptureStderr();
  orv_ctx_t* ctx = orv_load(tiny_model_dir().c_str());
  const std::string log = testing::internal::GetCapturedStderr();
  orv_verbose = 0;
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(log, "Loading model from " + tiny_model_dir() + "/consolidated.safetensors\nLoading weights...\n"
                 "  Encoder layer 1/2 loaded\n  Encoder layer 2/2 loaded\n"
                 "  Decoder layer 1/2 loaded\n  Decoder layer 2/2 loaded\nModel loaded.\n");
  EXPECT_EQ(orv_delay_tokens(ctx), 6);
  EXPECT_EQ(ctx->model_dir, tiny_model_dir());
  ASSERT_EQ(ctx->encoder.layers.size(), 2u);
  ASSERT_EQ(ctx->decoder.layers.size(), 2u);

  const safetensors_file_t* sf = ctx->safetensors.get();
  auto data = [&](const std::string& name) { return safetensors_data(sf, safetensors_find(sf, name.c_str())); };
  EXPECT_EQ(ctx->decoder.layers[1].w2_weight_bf16, data("layers.1.feed_forward.w2.weight"));
  const orv_block_shape_t& e = ctx->shape.encoder;
  const size_t wk_bytes = size_t(e.kv_heads) * e.head_dim * e.dim * 2, dec_dim = ctx->shape.decoder.dim;
  const void* wk = data(kEncLayer + "0.attention.wk.weight");
  EXPECT_NE(ctx->encoder.layers[0].wk_weight_bf16, wk);
  // Without a GPU the encoder reads copies of its matrices: each must be the whole tensor.
  for (int l = 0; l < e.layers; l++) {
    const orv_enc_layer_t& w = ctx->encoder.layers[size_t(l)];
    const std::pair<const char*, const uint16_t*> copies[] = {
        {"attention.wq", w.wq_weight_bf16}, {"attention.wk", w.wk_weight_bf16},
        {"attention.wv", w.wv_weight_bf16}, {"attention.wo", w.wo_weight_bf16},
        {"feed_forward.w1", w.w1_weight_bf16}, {"feed_forward.w2", w.w2_weight_bf16},
        {"feed_forward.w3", w.w3_weight_bf16}};
    for (const auto& [name, copy] : copies) {
      const std::string tensor = kEncLayer + std::to_string(l) + "." + name + ".weight";
      const safetensors_tensor_t* t = safetensors_find(sf, tensor.c_str());
      ASSERT_NE(t, nullptr) << tensor;
      EXPECT_EQ(std::memcmp(copy, safetensors_data(sf, t), size_t(safetensors_numel(t)) * 2), 0) << tensor;
    }
  }
  // The copies are read from the file; a range that leaves the mapping is refused.
  std::vector<unsigned char> buf(wk_bytes);
  EXPECT_EQ(safetensors_read_mapped(sf, wk, wk_bytes, buf.data()), 0);
  EXPECT_EQ(std::memcmp(buf.data(), wk, wk_bytes), 0);
  const auto* end = static_cast<const unsigned char*>(wk) + safetensors_file_size(sf);
  EXPECT_EQ(safetensors_read_mapped(sf, end - wk_bytes / 2, wk_bytes, buf.data()), -1);
  EXPECT_EQ(std::memcmp(ctx->adapter.linear1_weight_bf16,
                        data("mm_streams_embeddings.embedding_module.audio_language_projection.2.weight"),
                        dec_dim * dec_dim * 2),
            0);
  EXPECT_EQ(std::memcmp(ctx->encoder.layers[1].w2_bias.get(), data(kEncLayer + "1.feed_forward.w2.bias"), 64 * 4), 0);
  EXPECT_EQ(std::memcmp(ctx->decoder.norm.get(), data("norm.weight"), 256 * 4), 0);
  orv_free(ctx);
  orv_free(nullptr);
}

// A long directory name is kept whole: cutting it would read another directory's files.
TEST(ModelLoad, KeepsLongDirectoryNamesWhole) {
  TempDir root;
  fs::path dir = root.path();
  for (int i = 0; i < 4; i++) dir /= std::string(150, static_cast<char>('a' + i));
  ASSERT_EQ(orv_write_model(dir.string(), orv_shape_tiny(), 2, true), 0);
  orv_ctx_t* ctx = orv_load(dir.c_str());
  ASSERT_NE(ctx, nullptr);
  EXPECT_GT(ctx->model_dir.size(), 600u);
  EXPECT_EQ(ctx->model_dir, dir.string());
  orv_free(ctx);
}

TEST(ModelLoad, RefusesUnreadableOrForeignWeightFiles) {
  TempDir missing;
  fs::copy_file(fs::path(tiny_model_dir()) / "orvane-shape.json", missing.path() / "orvane-shape.json");
  std::string err = failed_load(missing.path().string());
  EXPECT_EQ(err.rfind("safetensors_open: open failed", 0), 0u) << err;
  EXPECT_TRUE(err.ends_with("orv_load: cannot open " + missing.file("consolidated.safetensors") + "\n")) << err;

  TempDir truncated;
  fs::copy(tiny_model_dir(), truncated.path(), fs::copy_options::recursive);
  fs::resize_file(truncated.path() / "consolidated.safetensors", fs::file_size(truncated.path() / "consolidated.safetensors") / 2);
  err = failed_load(truncated.path().string());
  EXPECT_EQ(err.rfind("safetensors_open: data out of bounds for ", 0), 0u) << err;
  EXPECT_TRUE(err.ends_with("orv_load: cannot open " + truncated.file("consolidated.safetensors") + "\n")) << err;

  // The weights of a wider model under the tiny model's shape file.
  orv_shape_t wide = orv_shape_tiny();
  wide.encoder.dim = 96;
  TempDir foreign;
  fs::copy(make_model_dir(wide, 1), foreign.path(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  fs::copy_file(fs::path(tiny_model_dir()) / "orvane-shape.json", foreign.path() / "orvane-shape.json",
                fs::copy_options::overwrite_existing);
  err = failed_load(foreign.path().string());
  EXPECT_EQ(err.rfind("orv_load: tensor mm_streams_embeddings.embedding_module.whisper_encoder.conv_layers.0.conv."
                      "weight has shape [96, 128, 3] (F32), expected [64, 128, 3] (F32)\n", 0), 0u) << err;
  EXPECT_TRUE(err.ends_with("expected [64] (F32)\norv_load: failed to load encoder\n")) << err;

  TempDir bad_shape;
  fs::copy(tiny_model_dir(), bad_shape.path(), fs::copy_options::recursive);
  bad_shape.write("orvane-shape.json", "{\"decoder\": {\"dim\": -5}}");
  err = failed_load(bad_shape.path().string());
  EXPECT_TRUE(err.ends_with("orv_load: bad shape file " + bad_shape.file("orvane-shape.json") + "\n")) << err;
  EXPECT_GT(std::count(err.begin(), err.end(), '\n'), 1) << "the shape reader says what is wrong first";
}

TEST(ModelLoad, EveryTensorTheNetworksReadIsRequiredAndChecked) {
  const std::string wq = "layers.0.attention.wq.weight";
  struct Case {
    std::function<void(Entries&)> edit;
    std::string expected;
  } cases[] = {
      {[&](Entries& e) { drop(e, kEncLayer + "1.feed_forward.w2.bias"); },
       "encoder: weight not found: " + kEncLayer + "1.feed_forward.w2.bias\n"
       "encoder: failed to load layer 1 weights\norv_load: failed to load encoder\n"},
      {[&](Entries& e) { drop(e, "mm_streams_embeddings.embedding_module.whisper_encoder.transformer.norm.weight"); },
       "encoder: weight not found: mm_streams_embeddings.embedding_module.whisper_encoder.transformer.norm.weight\n"
       "orv_load: failed to load encoder\n"},
      {[&](Entries& e) { drop(e, "mm_streams_embeddings.embedding_module.audio_language_projection.0.weight"); },
       "adapter: weight not found: mm_streams_embeddings.embedding_module.audio_language_projection.0.weight\n"
       "orv_load: failed to load adapter\n"},
      {[&](Entries& e) {
         drop(e, "layers.0.ada_rms_norm_t_cond.2.weight");
         drop(e, "layers.0.ffn_norm.weight");
       },
       "decoder: weight not found: layers.0.ada_rms_norm_t_cond.2.weight\n"
       "decoder: weight not found: layers.0.ffn_norm.weight\n"
       "decoder: failed to load layer 0\norv_load: failed to load decoder\n"},
      {[&](Entries& e) { drop(e, "norm.weight"); },
       "decoder: weight not found: norm.weight\norv_load: failed to load decoder\n"},
      {[&](Entries& e) {
         entry(e, wq).shape = {512, 256};
         entry(e, wq).bytes = 512 * 256 * 2;
       },
       "orv_load: tensor " + wq + " has shape [512, 256] (BF16), expected [256, 256] (BF16)\n"
       "decoder: failed to load layer 0\norv_load: failed to load decoder\n"},
      {[&](Entries& e) { entry(e, wq).shape = {256, 256, 1}; },
       "orv_load: tensor " + wq + " has shape [256, 256, 1] (BF16), expected [256, 256] (BF16)\n"
       "decoder: failed to load layer 0\norv_load: failed to load decoder\n"},
      {[&](Entries& e) {  // used in place, so it must really be BF16
         entry(e, wq).dtype = "F32";
         entry(e, wq).bytes *= 2;
       },
       "orv_load: tensor " + wq + " has shape [256, 256] (F32), expected [256, 256] (BF16)\n"
       "decoder: failed to load layer 0\norv_load: failed to load decoder\n"},
      {[&](Entries& e) { entry(e, "layers.1.attention_norm.weight").dtype = "I32"; },
       "orv_load: tensor layers.1.attention_norm.weight has shape [256] (I32), expected [256] (F32)\n"
       "decoder: failed to load layer 1\norv_load: failed to load decoder\n"},
      {[&](Entries& e) { entry(e, "layers.1.attention_norm.weight").bytes = 1000; },
       "orv_load: tensor layers.1.attention_norm.weight has 1000 bytes of data, expected 1024\n"
       "decoder: failed to load layer 1\norv_load: failed to load decoder\n"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    write_edited_model(dir, c.edit);
    EXPECT_EQ(failed_load(dir.path().string()), c.expected);
  }
}

// Vectors are widened on load, so a file that stores one in BF16 still loads.
TEST(ModelLoad, AcceptsVectorsStoredInBf16) {
  TempDir dir;
  write_edited_model(dir, [](Entries& e) {
    entry(e, "norm.weight").dtype = "BF16";
    entry(e, "norm.weight").bytes = 256 * 2;
  });
  orv_ctx_t* ctx = orv_load(dir.path().string().c_str());
  ASSERT_NE(ctx, nullptr);
  // The BF16 values are the upper halves of the first 128 floats of the original norm.
  const safetensors_file_t* sf = ctx->safetensors.get();
  const auto* raw = static_cast<const uint16_t*>(safetensors_data(sf, safetensors_find(sf, "norm.weight")));
  for (int i = 0; i < 256; i++) {
    uint32_t got;
    std::memcpy(&got, &ctx->decoder.norm[i], 4);
    ASSERT_EQ(got, uint32_t{raw[i]} << 16) << i;
  }
  orv_free(ctx);
}

TEST(Delay, MillisecondsClampToOneToThirtyPositions) {
  orv_ctx_t* ctx = orv_load(tiny_model_dir().c_str());
  ASSERT_NE(ctx, nullptr);
  const std::pair<int, int> cases[] = {{0, 1},     {79, 1},    {80, 1},   {159, 1},      {160, 2},     {479, 5},
                                       {480, 6},   {2399, 29}, {2400, 30}, {2401, 30},   {-80, 1},     {INT_MAX, 30},
                                       {INT_MIN, 1}};
  for (auto [ms, tokens] : cases) {
    orv_set_delay(ctx, ms);
    EXPECT_EQ(orv_delay_tokens(ctx), tokens) << ms << " ms";
  }
  orv_set_delay(nullptr, 480);
  orv_update_time_cond(nullptr);
  EXPECT_EQ(orv_delay_tokens(nullptr), -1);
  orv_free(ctx);
}

// t_cond is cos/sin of delay * 10000^(-i / half); ada_scale is up * gelu(down * t_cond). Both
// are compared with double-precision evaluations over the file's weights.
TEST(Delay, TimeConditioningMatchesTheFormulas) {
  orv_ctx_t* ctx = orv_load(tiny_model_dir().c_str());
  ASSERT_NE(ctx, nullptr);
  const int dim = 256, half = 128, hidden = 8;
  const float* block = ctx->ada_scale.data();
  for (int delay_ms : {80, 480, 2400, 1040}) {
    orv_set_delay(ctx, delay_ms);
    const double t = delay_ms / 80;
    std::vector<double> tc(dim);
    for (int i = 0; i < half; i++) {
      const double f = std::pow(10000.0, -static_cast<double>(i) / half);
      tc[i] = std::cos(t * f);
      tc[half + i] = std::sin(t * f);
    }
    ASSERT_EQ(ctx->t_cond.size(), static_cast<size_t>(dim));
    for (int i = 0; i < dim; i++) ASSERT_NEAR(ctx->t_cond[i], tc[i], 1e-4) << "t_cond[" << i << "] at " << delay_ms;

    const safetensors_file_t* sf = ctx->safetensors.get();
    for (int l = 0; l < 2; l++) {
      const std::string p = "layers." + std::to_string(l) + ".ada_rms_norm_t_cond.";
      const auto* down = static_cast<const float*>(safetensors_data(sf, safetensors_find(sf, (p + "0.weight").c_str())));
      const auto* up = static_cast<const float*>(safetensors_data(sf, safetensors_find(sf, (p + "2.weight").c_str())));
      double g[hidden];
      for (int j = 0; j < hidden; j++) {
        double h = 0;
        for (int i = 0; i < dim; i++) h += double{down[j * dim + i]} * tc[i];
        g[j] = gelu(h);
      }
      for (int o = 0; o < dim; o++) {
        double s = 0, mag = 0;
        for (int j = 0; j < hidden; j++) {
          s += double{up[o * hidden + j]} * g[j];
          mag += std::abs(up[o * hidden + j] * g[j]);
        }
        ASSERT_NEAR(ctx->ada_scale[l * dim + o], s, 1e-4 * mag + 1e-7) << "layer " << l << " row " << o;
      }
    }
  }
  EXPECT_EQ(ctx->ada_scale.data(), block) << "a delay change must reuse the block";
  orv_free(ctx);
}

// At the production width the frequency step is the single-precision constant 0xBBC47CBE.
TEST(Delay, ProductionWidthUsesTheSinglePrecisionStep) {
  orv_shape_t shape = orv_shape_tiny();
  shape.decoder = {3072, 1, 1, 1, 2, 2, 1, 1001};
  shape.ada_hidden = 1;
  const std::string dir = make_model_dir(shape, 1);
  orv_ctx_t* ctx = orv_load(dir.c_str());
  ASSERT_NE(ctx, nullptr);
  const uint32_t bits = 0xBBC47CBE;
  float c;
  std::memcpy(&c, &bits, 4);
  orv_set_delay(ctx, 2400);
  ASSERT_EQ(ctx->t_cond.size(), 3072u);
  for (int i = 0; i < 1536; i++) {
    const float f = std::exp(static_cast<float>(i) * c);
    ASSERT_EQ(ctx->t_cond[i], std::cos(30.0f * f)) << i;
    ASSERT_EQ(ctx->t_cond[1536 + i], std::sin(30.0f * f)) << i;
  }
  orv_free(ctx);
}
