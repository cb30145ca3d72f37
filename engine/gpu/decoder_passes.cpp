// The decoder as single submissions with INT8 weights: the prefill over a block of input
// embeddings, and the step for one token that ends in the argmax, so that only the token id
// comes back unless the scores are asked for. The decoder key/value cache stays on the device.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

#include "gpu/backend.h"
#include "gpu/gpu.h"
#include "gpu/matmul.h"
#include "gpu/passes.h"
#include "network/context.h"
#include "network/kv_cache.h"
#include "network/layer_buffers.h"

namespace gpu {

namespace {

constexpr uint64_t kF32 = sizeof(float);

uint64_t count(int rows, int cols) { return uint64_t(rows) * uint64_t(cols); }

struct DecoderLayerBuffers {
  Int8Matrix wqkv, wo, w13, w2;  // wqkv: [wq | wk | wv] rows, w13: [w1 | w3] rows
  BufferRef attn_norm, ffn_norm;
};

struct DecoderWeights {
  std::vector<DecoderLayerBuffers> layers;
  Int8Matrix embedding;  // [vocab][dim], the output projection
  BufferRef norm;
  const Buffer* ada = nullptr;  // [layers][dim]; null without the delay conditioning
};

// Device forms of every decoder weight; false when one is missing.
bool decoder_weights(Backend& be, const orv_ctx_t& ctx, DecoderWeights* out) {
  Caches& c = *be.caches;
  const orv_block_shape_t& s = ctx.shape.decoder;
  const BlockWidths w(s);
  auto int8 = [&](const uint16_t* src, Int8Matrix* m, const uint16_t* second = nullptr) {
    return src && c.int8_find(src, m, second);
  };
  const uint64_t dim_bytes = count(w.dim, 1) * kF32;
  const bool ada = ctx.ada_scale.size() >= count(s.layers, w.dim);
  for (int l = 0; l < s.layers; l++) {
    const orv_dec_layer_t& lw = ctx.decoder.layers[size_t(l)];
    DecoderLayerBuffers b;
    if (!int8(lw.wq_weight_bf16, &b.wqkv, lw.wk_weight_bf16) || !int8(lw.wo_weight_bf16, &b.wo) ||
        !int8(lw.w1_weight_bf16, &b.w13, lw.w3_weight_bf16) || !int8(lw.w2_weight_bf16, &b.w2) ||
        !lw.attention_norm || !lw.ffn_norm)
      return false;
    b.attn_norm = c.get_f32(lw.attention_norm.get(), dim_bytes);
    b.ffn_norm = c.get_f32(lw.ffn_norm.get(), dim_bytes);
    if (!b.attn_norm || !b.ffn_norm) return false;
    out->layers.push_back(std::move(b));
  }
  if (ada && !(out->ada = be.passes->conditioning(*be.device, *be.pipelines, ctx.ada_scale))) return false;
  out->norm = ctx.decoder.norm ? c.get_f32(ctx.decoder.norm.get(), dim_bytes) : nullptr;
  return out->norm && int8(ctx.decoder.tok_embeddings_bf16, &out->embedding);
}

// Scratch of one decoder pass over N rows.
struct DecoderScratch {
  DecoderScratch(Caches& c, const BlockWidths& w, int head_dim, int n, uint64_t partial_bytes)
      : x(c, count(n, w.dim) * kF32),
        qkv(c, count(n, w.q_dim + 2 * w.kv_dim) * kF32),
        q(c, count(n, w.q_dim) * kF32),
        attn(c, count(n, w.q_dim) * kF32),
        gate_up(c, count(n, 2 * w.hidden) * kF32),
        freqs(c, count(n, head_dim) * kF32),
        partial(c, partial_bytes) {}
  explicit operator bool() const { return x && qkv && q && attn && gate_up && freqs && partial; }
  ScratchLease x;        // the residual stream
  ScratchLease qkv;      // [q | k | v] rows of the merged product
  ScratchLease q;        // the rotated queries
  ScratchLease attn;     // attention output
  ScratchLease gate_up;  // [gate | up] rows
  ScratchLease freqs;    // the rotary table
  ScratchLease partial;  // the step's attention before the merge
};

// How decoder_attention_split spreads the keys of one query: enough workgroups to fill a GPU
// (about 128) but no fewer than 16 keys, and no more than 256, per workgroup.
struct KeySplit {
  int keys_per_group, groups;
};
KeySplit split_keys(int keys, int kv_heads) {
  const int wanted = std::max(1, 128 / kv_heads);
  int per = (keys + wanted - 1) / wanted;
  per = std::clamp((per + 15) / 16 * 16, 16, 256);
  return {per, std::max(1, (keys + per - 1) / per)};
}

// Bytes of decoder_attention_split's partial results for one query.
uint64_t partial_bytes(const orv_block_shape_t& s, int keys) {
  return uint64_t(s.heads) * split_keys(keys, s.kv_heads).groups * (s.head_dim + 2) * kF32;
}

// Attention of the query at cache row Q_POS: the keys spread over workgroups, then merged.
void record_step_attention(Recorder& rec, const orv_block_shape_t& s, const Binding& q, const Binding& k,
                           const Binding& v, const Binding& out, const Buffer& partial, int q_pos, float scale) {
  const int first = s.window > 0 ? std::max(0, q_pos - s.window + 1) : 0;
  const KeySplit split = split_keys(q_pos - first + 1, s.kv_heads);
  if (s.heads / s.kv_heads > 8 || s.head_dim > 128) {  // beyond the kernel's shared arrays
    rec.fail();
    return;
  }
  struct {
    int32_t n_heads, n_kv_heads, head_dim, kv_dim, seq_k;
    float scale;
    int32_t window_size, q_pos, split, splits;
  } args{s.heads, s.kv_heads, s.head_dim, s.kv_heads * s.head_dim, q_pos + 1, scale, s.window, q_pos,
         split.keys_per_group, split.groups};
  const Binding part{&partial, 0, uint64_t(s.heads) * split.groups * (s.head_dim + 2) * kF32};
  rec.dispatch(Kernel::decoder_attention_split, {q, k, v, part}, args, uint64_t(s.kv_heads) * split.groups);
  struct {
    int32_t n_heads, head_dim, splits;
  } merge{s.heads, s.head_dim, split.groups};
  rec.dispatch(Kernel::attention_merge, {part, out}, merge, uint64_t(s.heads));
}

// Queries rotated into S.q; keys (rotated) and values of the N rows in S.qkv into layer L of
// M's copies and host arrays at rows START ..
void record_rope_store(Recorder& rec, const orv_block_shape_t& s, const DecoderScratch& sc, const KvMirror& m,
                       int l, int n, int start) {
  const BlockWidths w(s);
  const uint64_t used = uint64_t(start + n);
  struct {
    int32_t q_pairs, kv_pairs, head_pairs, rows, cache_offset;
  } args{w.q_dim / 2, w.kv_dim / 2, s.head_dim / 2, n, int32_t(uint64_t(start) * m.kv_dim / 2)};
  rec.dispatch_elements(Kernel::rope_kv_store,
                        {{sc.qkv.get(), 0, count(n, w.q_dim + 2 * w.kv_dim) * kF32},
                         {sc.freqs.get(), 0, count(n, s.head_dim) * kF32},
                         {sc.q.get(), 0, count(n, w.q_dim) * kF32},
                         {m.k.get(), m.layer_offset(l), used * m.row_bytes()},
                         {m.v.get(), m.layer_offset(l), used * m.row_bytes()},
                         {m.shared_k.get(), m.host_layer_offset(l), used * m.host_row_bytes()},
                         {m.shared_v.get(), m.host_layer_offset(l), used * m.host_row_bytes()}},
                        args, uint64_t(n) * (w.q_dim / 2 + w.kv_dim));
}

// Every decoder layer over the N rows in S.x at cache rows START .., the keys and values into M:
// the norms run inside the products that read their output, the rotary embedding inside the
// store of the new cache rows, SiLU-times-up inside the down projection, and the output and
// down projections add onto the residual stream.
void record_layers(Recorder& rec, const orv_ctx_t& ctx, const DecoderWeights& dw, const DecoderScratch& sc,
                   const KvMirror& m, int n, int start) {
  const orv_block_shape_t& s = ctx.shape.decoder;
  const BlockWidths w(s);
  const int seq_k = start + n;
  const uint64_t cache_bytes = uint64_t(seq_k) * m.row_bytes();
  const float scale = 1.0f / std::sqrt(float(s.head_dim));
  for (int l = 0; l < s.layers; l++) {
    const DecoderLayerBuffers& lw = dw.layers[size_t(l)];
    Int8Input attn_in(*sc.x.get());
    attn_in.norm = lw.attn_norm.get();
    record_int8_matmul(rec, lw.wqkv, attn_in, *sc.qkv.get(), 0, n, w.q_dim + 2 * w.kv_dim, w.dim);
    record_rope_store(rec, s, sc, m, l, n, start);
    // Attention positions are cache rows: the rotary positions carry kv_pos_offset already.
    const Binding q{sc.q.get(), 0, count(n, w.q_dim) * kF32}, attn{sc.attn.get(), 0, count(n, w.q_dim) * kF32};
    const Binding ck{m.k.get(), m.layer_offset(l), cache_bytes}, cv{m.v.get(), m.layer_offset(l), cache_bytes};
    if (n == 1) {
      record_step_attention(rec, s, q, ck, cv, attn, *sc.partial.get(), start, scale);
    } else {
      struct {
        int32_t n_heads, n_kv_heads, head_dim, seq_q, seq_k;
        float scale;
        int32_t window_size, q_offset;
      } args{s.heads, s.kv_heads, s.head_dim, n, seq_k, scale, s.window, start};
      rec.dispatch(Kernel::encoder_attention_kv16, {q, ck, cv, attn}, args,
                   uint64_t(s.heads) * ((uint64_t(n) + 7) / 8));
    }
    record_int8_matmul(rec, lw.wo, *sc.attn.get(), *sc.x.get(), 0, n, w.dim, w.q_dim, true);
    Int8Input ffn_in(*sc.x.get());
    ffn_in.norm = lw.ffn_norm.get();
    if (dw.ada) ffn_in.ada = {dw.ada, count(l, w.dim) * kF32, count(w.dim, 1) * kF32};
    record_int8_matmul(rec, lw.w13, ffn_in, *sc.gate_up.get(), 0, n, 2 * w.hidden, w.dim);
    Int8Input down_in(*sc.gate_up.get());
    down_in.silu_gate = true;
    record_int8_matmul(rec, lw.w2, down_in, *sc.x.get(), 0, n, w.dim, w.hidden, true);
  }
}

// A decoder pass over N input rows X with rotary table ROPE: records the layers, and for the
// step (LOGITS_OUT non-null or ARGMAX) the final norm, the output projection and the argmax.
// Returns the token id (0 for the prefill) or -1 when it declined; advances the cache length.
int decoder_pass(const orv_ctx_t* ctx, KvCache* cache, const float* x, int n, const float* rope, bool step,
                 float* logits_out) {
  Backend* b = backend();
  if (!b || !b->shaders_compiled || !ctx || !cache || !*cache || !x || !rope || n < 1) return -1;
  const std::lock_guard serial(b->device->submit_lock);  // the staging and cache copies are shared
  const orv_block_shape_t& s = ctx->shape.decoder;
  const BlockWidths w(s);
  const int start = cache->len;
  if (int64_t{start} + n > cache->capacity()) return -1;
  DeclineGuard guard(*b->passes, cache->k_data());
  Caches& c = *b->caches;
  DecoderWeights dw;
  if (!decoder_weights(*b, *ctx, &dw)) return -1;
  const int step_keys = s.window > 0 ? std::min(start + 1, s.window) : start + 1;
  DecoderScratch sc(c, w, s.head_dim, n, n == 1 ? partial_bytes(s, step_keys) : 16);
  const uint64_t x_bytes = count(n, w.dim) * kF32, rope_bytes = count(n, s.head_dim) * kF32;
  const uint64_t logits_bytes = step ? count(s.vocab, 1) * kF32 : 0;
  ScratchLease logits(c, std::max<uint64_t>(logits_bytes, 16)), result(c, 16);
  // Staging: x, rope, the token id (16 bytes), the scores.
  const Buffer* io = b->passes->staging(*b->device, x_bytes + rope_bytes + 16 + logits_bytes);
  if (!sc || !logits || !result || !io) return -1;

  Recorder rec(*b->device, *b->pipelines);
  KvMirror* m = b->passes->prepare(*b->device, c, rec,
                                   {cache->k_data(), cache->v_data(), s.layers, cache->capacity(), w.kv_dim, start,
                                    cache->pos_offset});
  if (!m) return -1;
  char* host = static_cast<char*>(io->mapped());
  std::memcpy(host, x, x_bytes);
  std::memcpy(host + x_bytes, rope, rope_bytes);
  rec.copy(*io, 0, *sc.x.get(), 0, x_bytes);
  rec.copy(*io, x_bytes, *sc.freqs.get(), 0, rope_bytes);
  record_layers(rec, *ctx, dw, sc, *m, n, start);
  const uint64_t id_at = x_bytes + rope_bytes, logits_at = id_at + 16;
  if (step) {
    Int8Input last(*sc.x.get());
    last.norm = dw.norm.get();
    record_int8_matmul(rec, dw.embedding, last, *logits.get(), 0, 1, s.vocab, w.dim);
    struct {
      int32_t n;
    } args{s.vocab};
    rec.dispatch(Kernel::argmax_f32, {{logits.get(), 0, logits_bytes}, {result.get(), 0, 4}}, args, 1);
    rec.copy(*result.get(), 0, *io, id_at, 4);
    if (logits_out) rec.copy(*logits.get(), 0, *io, logits_at, logits_bytes);
  }
  if (step) {
    b->passes->step_dispatches = rec.dispatches();
    b->passes->step_work = {int(rec.barriers()), int(rec.copies()), int(rec.descriptor_writes())};
  }
  if (!rec.run()) return -1;
  int32_t token = 0;
  if (step) {
    std::memcpy(&token, host + id_at, sizeof token);
    if (token < 0 || token >= s.vocab) return -1;
    if (logits_out) std::memcpy(logits_out, host + logits_at, logits_bytes);
  }
  PassState::commit(m, start + n);
  guard.dismiss();
  cache->len = start + n;
  return token;
}

}  // namespace

}  // namespace gpu

extern "C" {

int orv_gpu_decoder_prefill(const orv_ctx_t* ctx, KvCache* cache, const float* x, int n,
                            const float* rope) {
  return gpu::decoder_pass(ctx, cache, x, n, rope, false, nullptr);
}

int orv_gpu_decoder_step(const orv_ctx_t* ctx, KvCache* cache, const float* x, const float* rope,
                         float* logits) {
  return gpu::decoder_pass(ctx, cache, x, 1, rope, true, logits);
}

}  // extern "C"
