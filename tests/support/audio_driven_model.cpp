#include "audio_driven_model.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "safetensors.h"
#include "tiny_model.h"

namespace {

// Multiplies the BF16 tensor NAME of the weight file at PATH by 2^-4 in place (exact: only the
// exponents change).
void shrink_bf16_tensor(const std::string& path, const char* name) {
  safetensors_file_t* sf = safetensors_open(path.c_str());
  const safetensors_tensor_t* t = sf ? safetensors_find(sf, name) : nullptr;
  if (!t || !safetensors_is_bf16(t)) {
    safetensors_close(sf);
    throw std::runtime_error(std::string("no BF16 tensor ") + name + " in " + path);
  }
  const uint64_t at = 8 + safetensors_header_size(sf) + t->data_offset;
  std::vector<uint16_t> v(t->size / 2);
  safetensors_close(sf);

  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekg(static_cast<std::streamoff>(at));
  f.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(v.size() * 2));
  for (uint16_t& x : v) {
    uint32_t bits = uint32_t{x} << 16;
    float value;
    std::memcpy(&value, &bits, 4);
    value /= 16;
    std::memcpy(&bits, &value, 4);
    x = static_cast<uint16_t>(bits >> 16);
  }
  f.seekp(static_cast<std::streamoff>(at));
  f.write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(v.size() * 2));
  if (!f) throw std::runtime_error("cannot rewrite " + path);
}

}  // namespace

const std::string& audio_driven_model_dir() {
  static const std::string dir = [] {
    const std::string d = make_model_dir(orv_shape_tiny(), 1);
    shrink_bf16_tensor(d + "/consolidated.safetensors",
                       "mm_streams_embeddings.embedding_module.tok_embeddings.weight");
    return d;
  }();
  return dir;
}
