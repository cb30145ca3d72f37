#include "network/int8_prepare.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "formats/decoder_matrices.h"
#include "formats/int8_cache_file.h"
#include "kernels/int8_weights.h"
#include "network/context.h"

namespace {

struct Source {
  const uint16_t* w;
  uint64_t numel;
  uint32_t k;
};

// Every matrix the table holds, in the cache file's order: each decoder layer's matrices, then
// the token embedding.
std::vector<Source> int8_sources(const orv_ctx_t& ctx) {
  const orv_block_shape_t& s = ctx.shape.decoder;
  const BlockWidths w(s);
  std::vector<Source> order;
  for (const orv_dec_layer_t& l : ctx.decoder.layers)
    for (DecoderMatrix m : kDecoderMatrices) {
      const MatrixDims d = decoder_matrix_dims(w, m);
      order.push_back({l.matrix(m), d.numel(), uint32_t(d.cols)});
    }
  order.push_back({ctx.decoder.tok_embeddings_bf16, uint64_t(s.vocab) * uint64_t(w.dim),
                   uint32_t(w.dim)});
  return order;
}

}  // namespace

bool orv_int8_form_exists(const orv_block_shape_t& s) {
  const BlockWidths w(s);
  return std::ranges::all_of(kDecoderMatrices, [&](DecoderMatrix m) {
    return decoder_matrix_dims(w, m).cols % ORV_INT8_GROUP == 0;
  }) && w.dim % ORV_INT8_GROUP == 0;  // and the embedding's
}

int orv_int8_prepare(orv_ctx_t* ctx) {
  if (!ctx) return -1;
  const std::vector<Source> order = int8_sources(*ctx);
  const char* dir = ctx->model_dir.c_str();
  orv_int8_table_t* t = &ctx->int8;
  const auto in_table = [t](const Source& m) {
    orv_int8_matrix_t unused;
    return orv_int8_find(t, m.w, &unused) != 0;
  };
  if (std::all_of(order.begin(), order.end(), in_table)) return 0;  // prepared before
  const int loaded = orv_int8_cache_load(t, dir);
  for (const Source& m : order) orv_int8_register(t, m.w, m.numel, m.k);
  if (!loaded) orv_int8_cache_save(t, dir);
  // A mismatch in the file drops the entries bound before it: quantise those again.
  for (const Source& m : order) {
    orv_int8_matrix_t unused;
    if (!orv_int8_get(t, m.w, m.numel, m.k, &unused)) {
      std::fprintf(stderr,
                   "orv_int8_prepare: cannot quantise the decoder (widths must be multiples of "
                   "%d, at most %d matrices)\n",
                   ORV_INT8_GROUP, ORV_INT8_TABLE_CAP);
      return -1;
    }
  }
  return 0;
}
