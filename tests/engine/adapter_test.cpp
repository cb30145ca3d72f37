#include "network/adapter.h"

#include <gtest/gtest.h>

#include "context_ptr.h"
#include "kernel_check.h"
#include "net_reference.h"

// Stacking order (state 4g first), the GELU between the layers, trailing states that do not fill
// a group and a call starting at a later group, against an independent double-precision adapter.
TEST(Adapter, matches_double_reference_and_ignores_partial_groups) {
  CtxPtr ctx = load_context();
  const int enc = ctx->shape.encoder.dim, dec = ctx->shape.decoder.dim;
  const std::vector<float> states = random_floats(size_t(11) * enc, 32, -2.0f, 2.0f);
  const std::vector<double> want = ref_adapter(*ctx, states.data(), 8);
  const struct {
    int first, n, rows;
  } cases[] = {{0, 8, 2}, {0, 11, 2}, {4, 4, 1}, {0, 3, 0}, {0, 0, 0}, {0, -4, 0}};
  for (const auto& c : cases) {
    int len = -1;
    F32Array got(orv_adapter_forward(ctx.get(), states.data() + size_t(c.first) * enc, c.n, &len));
    ASSERT_EQ(len, c.rows) << c.n;
    ASSERT_EQ(bool(got), c.rows > 0) << c.n;
    if (got) {
      EXPECT_LT(max_rel_diff(got.get(), want.data() + size_t(c.first / 4) * dec, size_t(len) * dec), 2e-5);
    }
  }
}
