#include "network/decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "context_ptr.h"
#include "kernel_check.h"
#include "kernels/int8_weights.h"
#include "net_reference.h"

namespace {

std::vector<float> random_embeds(const orv_ctx_t* ctx, int n, uint32_t seed) {
  return random_floats(size_t(n) * ctx->shape.decoder.dim, seed);
}

// Logits of every position from PREFILL (>= 1) positions prefilled, the next one as the first
// step, and steps for the rest; the stream's way of running the decoder.
std::vector<float> run(const orv_ctx_t* ctx, DecoderState* st, const std::vector<float>& embeds,
                       int prefill, std::vector<int>* tokens = nullptr) {
  const int dim = ctx->shape.decoder.dim, vocab = ctx->shape.decoder.vocab;
  const int n = int(embeds.size() / dim);
  std::vector<float> logits(size_t(n) * vocab, 0.0f);
  EXPECT_EQ(orv_decoder_prefill(ctx, st, embeds.data(), prefill - 1), 0);
  for (int p = prefill - 1; p < n; p++) {
    const int t = orv_decoder_step(ctx, st, embeds.data() + size_t(p) * dim, logits.data() + size_t(p) * vocab);
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
  for (const auto& [conditioned, prefill] : {std::pair{true, 1}, {true, 20}, {false, 41}}) {
    SCOPED_TRACE(std::string(conditioned ? "with" : "without") + " ada_scale, prefill " + std::to_string(prefill));
    CtxPtr ctx = load_context();
    if (!conditioned) ctx->ada_scale.clear();
    const int vocab = ctx->shape.decoder.vocab, n = 48;
    const std::vector<float> embeds = random_embeds(ctx.get(), n, 12);
    std::vector<int> tokens;
    DecoderState st(ctx->shape.decoder);
    const std::vector<float> logits = run(ctx.get(), &st, embeds, prefill, &tokens);
    const std::vector<double> want = ref_decoder_logits(*ctx, embeds.data(), n);
    for (int p = prefill - 1; p < n; p++) {
      const float* got = logits.data() + size_t(p) * vocab;
      ASSERT_LT(max_rel_diff(got, want.data() + size_t(p) * vocab, vocab), 2e-5) << "position " << p;
      EXPECT_EQ(tokens[p - prefill + 1], std::max_element(got, got + vocab) - got);
    }
    EXPECT_EQ(st.cache.len, n);
  }
}

// With INT8 weights, prefill and steps compute what the same decoder computes on the dequantised
// matrices (weight times its group's half scale), output projection included.
TEST(Decoder, int8_path_matches_reference_on_dequantised_weights) {
  CtxPtr ctx = load_context();
  ASSERT_EQ(orv_set_int8(ctx.get(), 1), 0);
  const int vocab = ctx->shape.decoder.vocab, n = 40, prefill = 20;
  const std::vector<float> embeds = random_embeds(ctx.get(), n, 14);
  std::vector<int> tokens;
  DecoderState st(ctx->shape.decoder);
  const std::vector<float> logits = run(ctx.get(), &st, embeds, prefill, &tokens);
  const orv_int8_table_t* table = &ctx->int8;
  const WeightReader dequantised = [table](const uint16_t* w, size_t i) {
    orv_int8_matrix_t m{};
    EXPECT_TRUE(orv_int8_find(table, w, &m));
    return double(m.weights[i]) * orv_f16_to_f32(m.scales[i / ORV_INT8_GROUP]);
  };
  const std::vector<double> want = ref_decoder_logits(*ctx, embeds.data(), n, 0, dequantised);
  const std::vector<double> bf16 = ref_decoder_logits(*ctx, embeds.data(), n);
  for (int p = prefill - 1; p < n; p++) {
    const size_t at = size_t(p) * vocab;
    ASSERT_LT(max_rel_diff(logits.data() + at, want.data() + at, vocab), 2e-5) << "position " << p;
    EXPECT_EQ(tokens[p - prefill + 1], std::max_element(want.begin() + at, want.begin() + at + vocab) - want.begin() - at);
  }
  EXPECT_GT(max_rel_diff(logits.data(), bf16.data(), logits.size()), 1e-3);  // not the BF16 path
}

// Compaction every few steps (capacity window + 8, which then never grows), growth of a 4-row
// cache overflowed by the prefill and a cache that never fills must all give the same logits
// over 130 positions.
TEST(Decoder, compaction_and_growth_leave_logits_unchanged) {
  const int n = 130, prefill = 9;
  CtxPtr ctx = load_context();
  const orv_block_shape_t& s = ctx->shape.decoder;
  const int window = s.window, vocab = s.vocab, dim = s.dim;
  DecoderState big(s), compacting(s), growing(s), fresh(s);
  ASSERT_TRUE(big.cache.init(4096));
  const std::vector<float> embeds = random_embeds(ctx.get(), n, 18);
  const std::vector<float> want = run(ctx.get(), &big, embeds, prefill);
  EXPECT_EQ(big.cache.pos_offset, 0);

  ASSERT_TRUE(compacting.cache.init(window + 8));
  ASSERT_TRUE(growing.cache.init(4));
  for (DecoderState* st : {&compacting, &growing, &fresh})
    EXPECT_LT(max_rel_diff(run(ctx.get(), st, embeds, prefill).data(), want.data(), want.size()), 2e-6);
  EXPECT_EQ(compacting.cache.capacity(), window + 8);
  EXPECT_EQ(compacting.cache.len + compacting.cache.pos_offset, n);
  EXPECT_GT(compacting.cache.pos_offset, 0);

  // A full cache holding more than the window keeps exactly the window and adds the new row.
  compacting.cache.clear();  // a new stream
  run(ctx.get(), &compacting, std::vector<float>(embeds.begin(), embeds.begin() + size_t(window + 8) * dim), window + 8);
  ASSERT_EQ(compacting.cache.len, window + 8);
  std::vector<float> logits(vocab);
  orv_decoder_step(ctx.get(), &compacting, embeds.data() + size_t(window + 8) * dim, logits.data());
  EXPECT_EQ(compacting.cache.len, window + 1);
  EXPECT_EQ(compacting.cache.pos_offset, 8);
  EXPECT_LT(max_rel_diff(logits.data(), want.data() + size_t(window + 8) * vocab, vocab), 2e-6);

  // A step without any cache creates one (doubling a zero capacity would never end).
  DecoderState none(s);
  orv_decoder_step(ctx.get(), &none, embeds.data(), logits.data());
  EXPECT_EQ(none.cache.len, 1);
  EXPECT_LT(max_rel_diff(logits.data(), ref_decoder_logits(*ctx, embeds.data(), 1).data(), logits.size()), 2e-5);
}

// Every embedding row is zero except two equal rows, 700 and 1500, so those two share one logit
// and all others are zero. Run once with the rows and once with them negated: whichever sign is
// positive must give 700 (the lower of two maxima), the other 0 (the lowest of the zero maxima).
TEST(Decoder, argmax_ties_pick_lowest_id) {
  for (uint16_t sign : {uint16_t{0}, uint16_t{0x8000}}) {
    CtxPtr m = load_context();
    const int dim = m->shape.decoder.dim, vocab = m->shape.decoder.vocab;
    std::vector<uint16_t> table(size_t(vocab) * dim, 0);
    std::mt19937 rng(24);
    for (int j = 0; j < dim; j++)
      table[size_t(700) * dim + j] = table[size_t(1500) * dim + j] = uint16_t((0x3c00 + rng() % 0x200) | sign);
    m->decoder.tok_embeddings_bf16 = table.data();
    std::vector<float> logits(vocab);
    DecoderState st(m->shape.decoder);
    const int token = orv_decoder_step(m.get(), &st, random_embeds(m.get(), 1, 25).data(), logits.data());
    ASSERT_EQ(logits[700], logits[1500]);
    ASSERT_NE(logits[700], 0.0f);
    EXPECT_EQ(token, logits[700] > 0 ? 700 : 0) << "sign " << sign;
  }
}

TEST(Decoder, token_embedding_widens_row_and_zeroes_unknown_ids) {
  CtxPtr m = load_context();
  const int dim = m->shape.decoder.dim;
  std::vector<uint16_t> table(size_t(m->shape.decoder.vocab) * dim, 0);
  const uint16_t row[] = {0x3f80, 0xbf80, 0x4049};  // 1, -1, 3.140625
  std::copy(row, row + 3, table.begin() + 3 * dim);
  m->decoder.tok_embeddings_bf16 = table.data();
  std::vector<float> out(dim, 7.0f);
  orv_token_embedding(m.get(), 3, out.data());
  EXPECT_EQ(std::vector<float>(out.begin(), out.begin() + 4), (std::vector<float>{1, -1, 3.140625f, 0}));
  for (int bad : {-1, m->shape.decoder.vocab}) {
    std::fill(out.begin(), out.end(), 7.0f);
    orv_token_embedding(m.get(), bad, out.data());
    EXPECT_EQ(std::count(out.begin(), out.end(), 0.0f), dim) << bad;
  }
}
