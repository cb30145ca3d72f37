#include "network/encoder_weights_copy.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "network/context.h"

namespace {

// BYTES of zeroed anonymous memory, or an empty mapping when refused.
Mapping anonymous(size_t bytes) {
  void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return {};
  madvise(p, bytes, MADV_HUGEPAGE);  // a request: the copies work on small pages too
  return Mapping(p, bytes);
}

}  // namespace

bool orv_copy_encoder_weights(orv_ctx_t *ctx) {
  const orv_block_shape_t &e = ctx->shape.encoder;
  const size_t dim = size_t(e.dim), q = size_t(e.heads) * e.head_dim,
               kv = size_t(e.kv_heads) * e.head_dim, hidden = size_t(e.hidden),
               dec = size_t(ctx->shape.decoder.dim);
  // Every matrix with its element count; each copy starts on a 64-byte boundary.
  std::vector<std::pair<const uint16_t **, size_t>> matrices;
  for (orv_enc_layer_t &l : ctx->encoder.layers)
    matrices.insert(matrices.end(), {{&l.wq_weight_bf16, q * dim},
                                     {&l.wk_weight_bf16, kv * dim},
                                     {&l.wv_weight_bf16, kv * dim},
                                     {&l.wo_weight_bf16, dim * q},
                                     {&l.w1_weight_bf16, hidden * dim},
                                     {&l.w2_weight_bf16, dim * hidden},
                                     {&l.w3_weight_bf16, hidden * dim}});
  matrices.push_back({&ctx->adapter.linear0_weight_bf16, dec * ORV_ADAPTER_GROUP * dim});
  matrices.push_back({&ctx->adapter.linear1_weight_bf16, dec * dec});
  auto padded = [](size_t count) { return (count * sizeof(uint16_t) + 63) / 64 * 64; };
  size_t bytes = 0;
  for (const auto &m : matrices) bytes += padded(m.second);
  Mapping block = anonymous(bytes);
  if (!block.data()) {
    if (orv_verbose >= 1)
      std::fprintf(stderr, "Encoder weights: no memory for a copy, reading the mapped file\n");
    return false;
  }
  auto *at = static_cast<unsigned char *>(block.data());
  for (const auto &[pointer, count] : matrices) {
    const size_t n = count * sizeof(uint16_t);
    if (safetensors_read_mapped(ctx->safetensors.get(), *pointer, n, at) != 0)
      std::memcpy(at, *pointer, n);
    *pointer = reinterpret_cast<const uint16_t *>(at);
    at += padded(count);
  }
  ctx->encoder_weights = std::move(block);
  return true;
}
