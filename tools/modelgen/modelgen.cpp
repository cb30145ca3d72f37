#include "modelgen.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <vector>

#include "formats/tensor_table.h"
#include "output_file.h"
#include "random.h"
#include "safetensors_writer.h"
#include "tekken_writer.h"

namespace {

using namespace modelgen;

// How a tensor's values are drawn: mean + std * (approximately normal).
struct Init {
  float mean;
  float std;
};

// Scaled so that activations stay near unit size through every layer: matrices and
// convolutions by their fan-in, norms near 1, biases and the delay conditioning small. The token
// embedding is narrow (1/16): a wider one makes each token's own embedding dominate the next
// step's scores, and the decoder then repeats one token whatever the audio says.
Init init_for(const orv_tensor_info_t& t) {
  const auto fan_in = [&] {
    double n = 1;
    for (int d = 1; d < t.ndim; d++) n *= static_cast<double>(t.shape[d]);
    return static_cast<float>(1.0 / std::sqrt(n));
  };
  switch (t.role) {
    case ORV_ENC_CONV0_BIAS:
    case ORV_ENC_CONV1_BIAS:
    case ORV_ENC_WQ_BIAS:
    case ORV_ENC_WV_BIAS:
    case ORV_ENC_WO_BIAS:
    case ORV_ENC_W2_BIAS: return {0.0f, 0.02f};
    case ORV_ENC_ATTENTION_NORM:
    case ORV_ENC_FFN_NORM:
    case ORV_ENC_NORM:
    case ORV_DEC_ATTENTION_NORM:
    case ORV_DEC_FFN_NORM:
    case ORV_DEC_NORM: return {1.0f, 0.05f};
    case ORV_DEC_TOK_EMBEDDINGS: return {0.0f, 0.0625f};
    case ORV_DEC_ADA_NORM_UP: return {0.0f, 0.1f * fan_in()};
    default: return {0.0f, fan_in()};  // matrices, convolutions, ada_norm_down
  }
}

uint16_t to_bf16(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  u += 0x7fff + ((u >> 16) & 1);  // round to nearest even
  return static_cast<uint16_t>(u >> 16);
}

// The hot loop of the full-size model, compiled for AVX2 as well where the machine has it.
template <typename Store>
#if defined(__x86_64__)
__attribute__((target_clones("avx2", "default")))
#endif
void fill_values(uint32_t key, uint32_t first, size_t n,
                                                                  Init init, Store store) {
  for (size_t i = 0; i < n; i++) store(i, init.mean + init.std * normal_at(key, first + static_cast<uint32_t>(i)));
}

void fill_tensor(const orv_tensor_info_t& t, uint64_t key, uint64_t offset, std::span<uint8_t> out) {
  const Init init = init_for(t);
  const size_t elem = t.dtype == SAFETENSORS_BF16 ? 2 : 4;
  uint64_t index = offset / elem;
  size_t done = 0;
  const size_t count = out.size() / elem;
  while (done < count) {  // blocks of 2^32 values have keys of their own
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count - done, (uint64_t{1} << 32) - (index & 0xffffffff)));
    uint8_t* dst = out.data() + done * elem;
    const uint32_t block = block_key(key, index), first = static_cast<uint32_t>(index);
    if (t.role == ORV_DEC_TOK_EMBEDDINGS) {
      // Control tokens (ids below 1000) get rows a quarter as wide, so that the greedy choice of a
      // random model falls on text tokens and its transcripts show words rather than nothing.
      const uint64_t control_end = uint64_t{ORV_FIRST_TEXT_TOKEN} * static_cast<uint64_t>(t.shape[1]);
      fill_values(block, first, n, init, [dst, start = index, control_end](size_t i, float v) {
        const uint16_t b = to_bf16(start + i < control_end ? v * 0.25f : v);
        std::memcpy(dst + 2 * i, &b, 2);
      });
    } else if (elem == 2)
      fill_values(block, first, n, init, [dst](size_t i, float v) {
        const uint16_t b = to_bf16(v);
        std::memcpy(dst + 2 * i, &b, 2);
      });
    else
      fill_values(block, first, n, init, [dst](size_t i, float v) { std::memcpy(dst + 4 * i, &v, 4); });
    done += n;
    index += n;
  }
}

int write_weights(const std::string& path, const orv_shape_t& shape, uint64_t seed) {
  const int64_t count = orv_tensor_count(&shape);
  std::vector<orv_tensor_info_t> infos(static_cast<size_t>(count));
  std::vector<TensorEntry> entries;
  entries.reserve(infos.size());
  for (int64_t i = 0; i < count; i++) {
    orv_tensor_info_t& t = infos[static_cast<size_t>(i)];
    orv_tensor_info(&shape, i, &t);
    const int64_t numel = orv_tensor_numel(&t);
    const uint64_t elem = t.dtype == SAFETENSORS_BF16 ? 2 : 4;
    if (numel < 0 || static_cast<uint64_t>(numel) > UINT64_MAX / 8 / elem) {
      std::fprintf(stderr, "orv_write_model: tensor %s is too large\n", t.name);
      return -1;
    }
    entries.push_back({t.name, t.dtype == SAFETENSORS_BF16 ? "BF16" : "F32",
                       std::vector<int64_t>(t.shape, t.shape + t.ndim), static_cast<uint64_t>(numel) * elem});
  }
  const Metadata metadata = {{"format", "pt"}, {"generator", "orvane-mkmodel"}, {"seed", std::to_string(seed)}};
  return write_safetensors(path, entries, metadata, [&](size_t i, uint64_t offset, std::span<uint8_t> out) {
    fill_tensor(infos[i], stream_key(seed, i), offset, out);
  });
}

std::string block_json(const orv_block_shape_t& b, bool with_vocab) {
  std::string s = "{\"dim\": " + std::to_string(b.dim) + ", \"layers\": " + std::to_string(b.layers) +
                  ", \"heads\": " + std::to_string(b.heads) + ", \"kv_heads\": " + std::to_string(b.kv_heads) +
                  ", \"head_dim\": " + std::to_string(b.head_dim) + ", \"hidden\": " + std::to_string(b.hidden) +
                  ", \"window\": " + std::to_string(b.window);
  if (with_vocab) s += ", \"vocab\": " + std::to_string(b.vocab);
  return s + "}";
}

std::string shape_json(const orv_shape_t& s) {
  return "{\n  \"encoder\": " + block_json(s.encoder, false) + ",\n  \"decoder\": " +
         block_json(s.decoder, true) + ",\n  \"ada_hidden\": " + std::to_string(s.ada_hidden) + "\n}\n";
}

// Descriptive only: the engine reads its dimensions from the shape record.
std::string params_json(const orv_shape_t& s, uint64_t seed) {
  const orv_block_shape_t& e = s.encoder;
  const orv_block_shape_t& d = s.decoder;
  return "{\n  \"dim\": " + std::to_string(d.dim) + ",\n  \"n_layers\": " + std::to_string(d.layers) +
         ",\n  \"head_dim\": " + std::to_string(d.head_dim) + ",\n  \"hidden_dim\": " + std::to_string(d.hidden) +
         ",\n  \"n_heads\": " + std::to_string(d.heads) + ",\n  \"n_kv_heads\": " + std::to_string(d.kv_heads) +
         ",\n  \"vocab_size\": " + std::to_string(d.vocab) + ",\n  \"sliding_window\": " + std::to_string(d.window) +
         ",\n  \"norm_eps\": 1e-05,\n  \"rope_theta\": 1000000.0,\n  \"ada_rms_norm_t_cond_dim\": " +
         std::to_string(s.ada_hidden) + ",\n  \"encoder_args\": {\n    \"dim\": " + std::to_string(e.dim) +
         ",\n    \"n_layers\": " + std::to_string(e.layers) + ",\n    \"head_dim\": " + std::to_string(e.head_dim) +
         ",\n    \"hidden_dim\": " + std::to_string(e.hidden) + ",\n    \"n_heads\": " + std::to_string(e.heads) +
         ",\n    \"n_kv_heads\": " + std::to_string(e.kv_heads) + ",\n    \"sliding_window\": " +
         std::to_string(e.window) + ",\n    \"num_mel_bins\": " + std::to_string(ORV_MEL_BINS) +
         ",\n    \"downsample_factor\": " + std::to_string(ORV_ADAPTER_GROUP) + "\n  },\n  \"generator\": " +
         "\"orvane-mkmodel\",\n  \"seed\": " + std::to_string(seed) + "\n}\n";
}

}  // namespace

orv_shape_t orv_shape_tiny() {
  orv_shape_t s{};
  s.encoder = {64, 2, 4, 4, 16, 128, 32, 0};
  s.decoder = {256, 2, 4, 2, 64, 512, 32, 2048};
  s.ada_hidden = 8;
  return s;
}

int orv_write_model(const std::string& dir, const orv_shape_t& shape, uint64_t seed, bool write_shape_file) {
  if (orv_shape_validate(&shape) != 0) return -1;  // after its message naming the bad key
  try {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
      std::fprintf(stderr, "orv_write_model: cannot create %s: %s\n", dir.c_str(), ec.message().c_str());
      return -1;
    }
    const std::string shape_path = dir + "/orvane-shape.json";
    if (write_shape_file) {
      if (write_text_file(shape_path, shape_json(shape)) != 0) return -1;
    } else if (std::remove(shape_path.c_str()) != 0 && errno != ENOENT) {
      // A stale shape file would make the directory read as another model.
      std::fprintf(stderr, "orv_write_model: cannot remove %s: %s\n", shape_path.c_str(), std::strerror(errno));
      return -1;
    }
    if (write_text_file(dir + "/params.json", params_json(shape, seed)) != 0 ||
        write_text_file(dir + "/tekken.json", tekken_json(shape.decoder.vocab, seed)) != 0)
      return -1;
    return write_weights(dir + "/consolidated.safetensors", shape, seed);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orv_write_model: %s\n", e.what());
    return -1;
  }
}
