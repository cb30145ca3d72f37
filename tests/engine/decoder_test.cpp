#include "decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "context.h"
#include "context_ptr.h"
#include "net_reference.h"

namespace {

std::vector<float> random_embeds(const orv_ctx_t* ctx, int n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  std::vector<float> e(size_t(n) * ctx->shape.decoder.dim);
  for (float& v : e) v = d(rng);
  return e;
}

// Logits of every position from PREFILL (>= 1) positions prefilled, the next one as the first
// step, and steps for the rest; the stream's way of running the decoder.
std::vector<float> run(orv_ctx_t* ctx, const std::vector<float>& embeds, int prefill,
                       std::vector<int>* tokens = nullptr) {
  const int dim = ctx->shape.decoder.dim, vocab = ctx->shape.decoder.vocab;
  const int n = int(embeds.size() / dim);
  std::vector<float> logits(size_t(n) * vocab, 0.0f);
  EXPECT_EQ(orv_decoder_prefill(ctx, embeds.data(), prefill - 1), 0);
  for (int p = prefill - 1; p < n; p++) {
    const int t =
        orv_decoder_step(ctx, embeds.data() + size_t(p) * dim, logits.data() + size_t(p) * vocab);
    if (tokens) tokens->push_back(t);
  }
  return logits;
}

}  // namespace

// Layout of q/k/v heads, grouped key/value heads (4 query heads over 2), rotary positions, the
// window (48 positions > 32), the conditioning and the tied output projection, against an
// independent double-precision decoder that recomputes every position from scratch; whatever
// split between prefill and steps fed the positions before.
TEST(Decoder, prefill_and_steps_match_double_reference_for_any_split) {
  struct Case {
    bool conditioned;
    int prefill;
  };
  for (const Case c : {Case{true, 1}, Case{true, 20}, Case{false, 41}}) {
    SCOPED_TRACE(std::string(c.conditioned ? "with" : "without") + " ada_scale, prefill " +
                 std::to_string(c.prefill));
    CtxPtr m = load_context();
    orv_ctx_t* ctx = m.get();
    if (!c.conditioned) ctx->ada_scale.clear();
    const int vocab = ctx->shape.decoder.vocab, n = 48;
    const std::vector<float> embeds = random_embeds(ctx, n, 12);
    std::vector<int> tokens;
    const std::vector<float> logits = run(ctx, embeds, c.prefill, &tokens);
    const std::vector<double> want = ref_decoder_logits(*ctx, embeds.data(), n);
    for (int p = c.prefill - 1; p < n; p++) {
      SCOPED_TRACE("position " + std::to_string(p));
      const float* got = logits.data() + size_t(p) * vocab;
      ASSERT_LT(max_rel_diff(got, want.data() + size_t(p) * vocab, vocab), 2e-5);
      EXPECT_EQ(tokens[p - c.prefill + 1], std::max_element(got, got + vocab) - got);
    }
    EXPECT_EQ(ctx->kv_cache_len, n);
  }
}

// Compaction every few steps (capacity window + 8), growth from a tiny cache and a cache that
// never fills must all give the same logits over 130 positions, four windows long.
TEST(Decoder, compaction_and_growth_leave_logits_unchanged) {
  const int n = 130, prefill = 9;
  CtxPtr big = load_context();
  const int window = big->shape.decoder.window, vocab = big->shape.decoder.vocab;
  ASSERT_EQ(orv_kv_cache_init(big.get(), 4096), 0);
  const std::vector<float> embeds = random_embeds(big.get(), n, 18);
  const std::vector<float> want = run(big.get(), embeds, prefill);
  EXPECT_EQ(big->kv_pos_offset, 0);

  CtxPtr compacting = load_context();
  ASSERT_EQ(orv_kv_cache_init(compacting.get(), window + 8), 0);
  const std::vector<float> got_c = run(compacting.get(), embeds, prefill);
  EXPECT_LT(max_rel_diff(got_c.data(), want.data(), want.size()), 2e-6);
  EXPECT_EQ(compacting->kv_cache_max, window + 8);
  EXPECT_EQ(compacting->kv_cache_len + compacting->kv_pos_offset, n);
  EXPECT_GT(compacting->kv_pos_offset, 0);

  CtxPtr growing = load_context();
  ASSERT_EQ(orv_kv_cache_init(growing.get(), 4), 0);
  const std::vector<float> got_g = run(growing.get(), embeds, prefill);
  EXPECT_LT(max_rel_diff(got_g.data(), want.data(), want.size()), 2e-6);
  EXPECT_EQ(growing->kv_cache_max, 2048);  // 8 rows + 1024 headroom: 4 doubled to 2048

  // A full cache holding more than the window keeps exactly the window and adds the new row.
  orv_ctx_t* ctx = compacting.get();
  ctx->kv_cache_len = ctx->kv_pos_offset = 0;  // a new stream
  run(ctx,
      std::vector<float>(embeds.begin(),
                         embeds.begin() + size_t(window + 8) * ctx->shape.decoder.dim),
      window + 8);
  ASSERT_EQ(ctx->kv_cache_len, window + 8);
  std::vector<float> logits(vocab);
  orv_decoder_step(ctx, embeds.data() + size_t(window + 8) * ctx->shape.decoder.dim, logits.data());
  EXPECT_EQ(ctx->kv_cache_len, window + 1);
  EXPECT_EQ(ctx->kv_pos_offset, 8);
  EXPECT_LT(max_rel_diff(logits.data(), want.data() + size_t(window + 8) * vocab, vocab), 2e-6);
}

// The first prefill sizes the cache for the window plus headroom; one that overflows a cache
// grows it to the first doubling holding the rows plus headroom; a step on a context that never
// had a cache creates one (doubling a zero capacity would never end).
TEST(Decoder, cache_is_created_and_grown_on_demand) {
  CtxPtr m = load_context();
  orv_ctx_t* ctx = m.get();
  const int dim = ctx->shape.decoder.dim, vocab = ctx->shape.decoder.vocab;
  const std::vector<float> embeds = random_embeds(ctx, 6, 20);
  const std::vector<double> want = ref_decoder_logits(*ctx, embeds.data(), 6);
  ASSERT_EQ(orv_decoder_prefill(ctx, embeds.data(), 5), 0);
  EXPECT_EQ(ctx->kv_cache_max, 5 + ctx->shape.decoder.window + 1024);
  EXPECT_EQ(ctx->kv_cache_len, 5);

  CtxPtr g = load_context();
  ASSERT_EQ(orv_kv_cache_init(g.get(), 4), 0);
  ASSERT_EQ(orv_decoder_prefill(g.get(), embeds.data(), 4), 0);  // fills it exactly
  EXPECT_EQ(g->kv_cache_max, 4);
  ASSERT_EQ(orv_decoder_prefill(g.get(), embeds.data() + 4 * dim, 1), 0);
  EXPECT_EQ(g->kv_cache_max, 2048);  // 4 doubled until it holds 5 + 1024
  EXPECT_EQ(g->kv_cache_len, 5);
  std::vector<float> logits(vocab);
  orv_decoder_step(g.get(), embeds.data() + 5 * dim, logits.data());
  EXPECT_LT(max_rel_diff(logits.data(), want.data() + size_t(5) * vocab, vocab), 2e-5);

  CtxPtr fresh = load_context();
  orv_decoder_step(fresh.get(), embeds.data(), logits.data());
  EXPECT_EQ(fresh->kv_cache_len, 1);
  EXPECT_GE(fresh->kv_cache_max, 1);
  EXPECT_LT(max_rel_diff(logits.data(), want.data(), vocab), 2e-5);
}

// Every embedding row is zero except two equal rows, 700 and 1500, so those two share one logit
// and all others are zero. Run once with the rows and once with them negated: whichever sign is
// positive must give 700 (the lower of two maxima), the other 0 (the lowest of the zero maxima).
TEST(Decoder, argmax_ties_pick_lowest_id) {
  std::vector<int> tokens;
  std::vector<float> shared_logit;
  for (uint16_t sign : {uint16_t{0}, uint16_t{0x8000}}) {
    CtxPtr m = load_context();
    const int dim = m->shape.decoder.dim, vocab = m->shape.decoder.vocab;
    std::vector<uint16_t> table(size_t(vocab) * dim, 0);
    std::mt19937 rng(24);
    for (int j = 0; j < dim; j++) {
      const uint16_t v = uint16_t((0x3c00 + rng() % 0x200) | sign);  // about +-0.01
      table[size_t(700) * dim + j] = table[size_t(1500) * dim + j] = v;
    }
    m->decoder.tok_embeddings_bf16 = table.data();
    const std::vector<float> embeds = random_embeds(m.get(), 1, 25);
    std::vector<float> logits(vocab);
    tokens.push_back(orv_decoder_step(m.get(), embeds.data(), logits.data()));
    ASSERT_EQ(logits[700], logits[1500]);
    ASSERT_NE(logits[700], 0.0f);
    shared_logit.push_back(logits[700]);
  }
  ASSERT_EQ(shared_logit[0], -shared_logit[1]);
  EXPECT_EQ(tokens[0], shared_logit[0] > 0 ? 700 : 0);
  EXPECT_EQ(tokens[1], shared_logit[1] > 0 ? 700 : 0);
}

TEST(Decoder, token_embedding_widens_row_and_zeroes_unknown_ids) {
  CtxPtr m = load_context();
  const orv_ctx_t* ctx = m.get();
  const int dim = ctx->shape.decoder.dim;
  std::vector<uint16_t> table(size_t(ctx->shape.decoder.vocab) * dim, 0);
  table[size_t(3) * dim] = 0x3f80;      // 1.0
  table[size_t(3) * dim + 1] = 0xbf80;  // -1.0
  table[size_t(3) * dim + 2] = 0x4049;  // 3.140625
  m->decoder.tok_embeddings_bf16 = table.data();
  std::vector<float> out(dim, 7.0f);
  orv_token_embedding(ctx, 3, out.data());
  EXPECT_EQ(out[0], 1.0f);
  EXPECT_EQ(out[1], -1.0f);
  EXPECT_EQ(out[2], 3.140625f);
  EXPECT_EQ(out[3], 0.0f);
  for (int bad : {-1, ctx->shape.decoder.vocab}) {
    std::fill(out.begin(), out.end(), 7.0f);
    orv_token_embedding(ctx, bad, out.data());
    EXPECT_EQ(std::count(out.begin(), out.end(), 0.0f), dim);
  }
}
