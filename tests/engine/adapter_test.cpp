#include "adapter.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "context.h"
#include "context_ptr.h"
#include "net_reference.h"

namespace {

using Result = std::unique_ptr<float[], FreeDeleter>;

std::vector<float> random_states(const orv_ctx_t* ctx, int n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-2.0f, 2.0f);
  std::vector<float> s(size_t(n) * ctx->shape.encoder.dim);
  for (float& v : s) v = d(rng);
  return s;
}

}  // namespace

// Stacking order (state 4g first), the GELU between the layers and the trailing states that do
// not fill a group, against an independent double-precision adapter.
TEST(Adapter, matches_double_reference_and_ignores_partial_groups) {
  CtxPtr m = load_context();
  orv_ctx_t* ctx = m.get();
  const int dec = ctx->shape.decoder.dim;
  const std::vector<float> states = random_states(ctx, 11, 32);
  const std::vector<double> want = ref_adapter(*ctx, states.data(), 8);
  for (int n : {8, 11}) {
    int len = -1;
    Result got(orv_adapter_forward(ctx, states.data(), n, &len));
    ASSERT_TRUE(got);
    ASSERT_EQ(len, 2);
    EXPECT_LT(max_rel_diff(got.get(), want.data(), size_t(2) * dec), 2e-5);
  }
  for (int n : {3, 0, -4}) {
    int len = -1;
    Result none(orv_adapter_forward(ctx, states.data(), n, &len));
    EXPECT_FALSE(none);
    EXPECT_EQ(len, 0);
  }
}

TEST(Adapter, one_call_of_eight_equals_two_calls_of_four) {
  CtxPtr m = load_context();
  orv_ctx_t* ctx = m.get();
  const int enc = ctx->shape.encoder.dim, dec = ctx->shape.decoder.dim;
  const std::vector<float> states = random_states(ctx, 8, 34);
  int len8 = 0, len_a = 0, len_b = 0;
  Result all(orv_adapter_forward(ctx, states.data(), 8, &len8));
  Result a(orv_adapter_forward(ctx, states.data(), 4, &len_a));
  Result b(orv_adapter_forward(ctx, states.data() + size_t(4) * enc, 4, &len_b));
  ASSERT_TRUE(all && a && b);
  ASSERT_EQ(len8, 2);
  ASSERT_EQ(len_a, 1);
  ASSERT_EQ(len_b, 1);
  EXPECT_LT(max_rel_diff(a.get(), all.get(), dec), 2e-6);
  EXPECT_LT(max_rel_diff(b.get(), all.get() + dec, dec), 2e-6);
}
