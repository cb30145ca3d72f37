// The adapter: four consecutive encoder states side by side, through a linear layer, GELU and a
// second linear layer, give one decoder-width audio embedding.
#include "network/adapter.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "kernels/kernels.h"
#include "network/context.h"

extern "C" float* orv_adapter_forward(orv_ctx_t* ctx, const float* states, int n, int* out_len) {
  if (out_len) *out_len = 0;
  if (!ctx || !states || !out_len || n < ORV_ADAPTER_GROUP) return nullptr;
  const int m = n / ORV_ADAPTER_GROUP;
  const int in_width = ORV_ADAPTER_GROUP * ctx->shape.encoder.dim;
  const int out_width = ctx->shape.decoder.dim;
  if (orv_verbose >= 2)
    std::fprintf(stderr, "  Adapter: %d -> %d (downsample %dx)\n", n, m, ORV_ADAPTER_GROUP);
  if (int64_t{m} * std::max(in_width, out_width) > INT_MAX) return nullptr;

  // States are position-major, so the first 4m of them already lie in memory as m rows of four
  // states side by side: the stacked matrix is the input itself.
  std::unique_ptr<float[], FreeDeleter> out(
      static_cast<float*>(std::malloc(size_t(m) * out_width * sizeof(float))));
  if (!out) return nullptr;
  try {
    std::vector<float> h(size_t(m) * out_width);
    orv_linear_nobias_bf16(h.data(), states, ctx->adapter.linear0_weight_bf16, m, in_width,
                           out_width);
    orv_gelu(h.data(), m * out_width);
    orv_linear_nobias_bf16(out.get(), h.data(), ctx->adapter.linear1_weight_bf16, m, out_width,
                           out_width);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  *out_len = m;
  return out.release();
}
