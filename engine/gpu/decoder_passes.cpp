// The decoder as single submissions with INT8 weights: the prefill over a block of input
// embeddings, and the step for one token that ends in the argmax, so that only the token id
// comes back unless the scores are asked for. The decoder key/value cache stays on the device.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

#include "gpu/backend.h"
#include "gpu/block_attention.h"
#include "gpu/gpu.h"
#include "gpu/matmul.h"
#include "gpu/passes.h"
#include "gpu/views.h"

namespace gpu {

namespace {

constexpr uint64_t kF32 = sizeof(float);

uint64_t count(int rows, int cols) { return uint64_t(rows) * uint64_t(cols); }

struct DecoderLayerBuffers {
  Int8Matrix wq, wk, wv, wo, w1, w2, w3;
  BufferRef attn_norm, ffn_norm;
};

struct DecoderWeights {
  std::vector<DecoderLayerBuffers> layers;
  Int8Matrix embedding;  // [vocab][dim], the output projection
  BufferRef norm;
  const Buffer* ada = nullptr;  // [layers][dim]; null without the delay conditioning
};

// Device forms of every decoder weight; false when one is missing.
bool decoder_weights(Backend& be, const GpuDecoderWeights& dw, DecoderWeights* out) {
  Caches& c = *be.caches;
  const orv_block_shape_t& s = dw.shape;
  const BlockWidths w(s);
  auto int8 = [&](const GpuDecoderLayer& l, DecoderMatrix m, Int8Matrix* to) {
    return l.matrix(m) && c.int8_find(l.matrix(m), to);
  };
  const uint64_t dim_bytes = count(w.dim, 1) * kF32;
  const bool ada = dw.ada_scale.size() >= count(s.layers, w.dim);
  if (dw.layers.size() < size_t(s.layers)) return false;
  for (int l = 0; l < s.layers; l++) {
    const GpuDecoderLayer& lw = dw.layers[size_t(l)];
    DecoderLayerBuffers b;
    if (!int8(lw, DecoderMatrix::wq, &b.wq) || !int8(lw, DecoderMatrix::wk, &b.wk) ||
        !int8(lw, DecoderMatrix::wv, &b.wv) || !int8(lw, DecoderMatrix::wo, &b.wo) ||
        !int8(lw, DecoderMatrix::w1, &b.w1) || !int8(lw, DecoderMatrix::w2, &b.w2) ||
        !int8(lw, DecoderMatrix::w3, &b.w3) || !lw.attention_norm || !lw.ffn_norm)
      return false;
    b.attn_norm = c.get_f32(lw.attention_norm, dim_bytes);
    b.ffn_norm = c.get_f32(lw.ffn_norm, dim_bytes);
    if (!b.attn_norm || !b.ffn_norm) return false;
    out->layers.push_back(std::move(b));
  }
  if (ada && !(out->ada = be.passes->conditioning(*be.device, *be.pipelines, dw.ada_scale))) return false;
  out->norm = dw.norm ? c.get_f32(dw.norm, dim_bytes) : nullptr;
  return out->norm && dw.embedding && c.int8_find(dw.embedding, &out->embedding);
}

// Scratch of one decoder pass over N rows.
struct DecoderScratch {
  DecoderScratch(Caches& c, const BlockWidths& w, int head_dim, int n, uint64_t partial_bytes)
      : x(c, count(n, w.dim) * kF32),
        xn(c, count(n, w.dim) * kF32),
        q(c, count(n, w.q_dim) * kF32),
        k(c, count(n, w.kv_dim) * kF32),
        v(c, count(n, w.kv_dim) * kF32),
        attn(c, count(n, w.q_dim) * kF32),
        gate(c, count(n, w.hidden) * kF32),
        up(c, count(n, w.hidden) * kF32),
        freqs(c, count(n, head_dim) * kF32),
        partial(c, partial_bytes) {}
  explicit operator bool() const {
    return x && xn && q && k && v && attn && gate && up && freqs && partial;
  }
  ScratchLease x, xn, q, k, v, attn, gate, up, freqs, partial;  // partial: the step's attention
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

// Every decoder layer over the N rows in S.x at cache rows START .., the keys and values into M.
void record_layers(Recorder& rec, const orv_block_shape_t& s, const DecoderWeights& dw, const DecoderScratch& sc,
                   const KvMirror& m, int n, int start) {
  const BlockWidths w(s);
  struct N {
    int32_t n;
  };
  const int seq_k = start + n;
  const uint64_t cache_bytes = uint64_t(seq_k) * m.row_bytes();
  const float scale = 1.0f / std::sqrt(float(s.head_dim));
  const uint64_t hidden_total = count(n, w.hidden);
  for (int l = 0; l < s.layers; l++) {
    const DecoderLayerBuffers& lw = dw.layers[size_t(l)];
    record_rms_norm(rec, *sc.x.get(), *lw.attn_norm, *sc.xn.get(), n, w.dim);
    record_int8_matmul(rec, lw.wq, *sc.xn.get(), *sc.q.get(), 0, n, w.q_dim, w.dim);
    record_int8_matmul(rec, lw.wk, *sc.xn.get(), *sc.k.get(), 0, n, w.kv_dim, w.dim);
    record_int8_matmul(rec, lw.wv, *sc.xn.get(), *sc.v.get(), 0, n, w.kv_dim, w.dim);
    record_rope(rec, *sc.q.get(), *sc.freqs.get(), n, s.heads, s.head_dim);
    record_rope(rec, *sc.k.get(), *sc.freqs.get(), n, s.kv_heads, s.head_dim);
    record_cache_rows(rec, m, *m.k, l, start, *sc.k.get(), n);
    record_cache_rows(rec, m, *m.v, l, start, *sc.v.get(), n);
    // Attention positions are cache rows: the rotary positions carry kv_pos_offset already.
    const Binding q{sc.q.get(), 0, count(n, w.q_dim) * kF32}, attn{sc.attn.get(), 0, count(n, w.q_dim) * kF32};
    const Binding ck{m.k.get(), m.layer_offset(l), cache_bytes}, cv{m.v.get(), m.layer_offset(l), cache_bytes};
    if (n == 1) {
      record_step_attention(rec, s, q, ck, cv, attn, *sc.partial.get(), start, scale);
    } else {
      record_block_attention(rec, *backend()->caches, Kernel::encoder_attention_kv16,
                             {s.heads, s.kv_heads, s.head_dim, n, seq_k, scale, s.window, start}, q, ck, cv, attn);
    }
    // The output and down projections add onto the residual stream X directly.
    record_int8_matmul(rec, lw.wo, *sc.attn.get(), *sc.x.get(), 0, n, w.dim, w.q_dim, true);
    const Binding ada{dw.ada, count(l, w.dim) * kF32, count(w.dim, 1) * kF32};
    record_rms_norm(rec, *sc.x.get(), *lw.ffn_norm, *sc.xn.get(), n, w.dim, dw.ada ? &ada : nullptr);
    record_int8_matmul(rec, lw.w1, *sc.xn.get(), *sc.gate.get(), 0, n, w.hidden, w.dim);
    record_int8_matmul(rec, lw.w3, *sc.xn.get(), *sc.up.get(), 0, n, w.hidden, w.dim);
    rec.dispatch_elements(Kernel::silu_mul,
                          {{sc.gate.get(), 0, hidden_total * kF32}, {sc.up.get(), 0, hidden_total * kF32}},
                          N{int32_t(hidden_total)}, hidden_total);
    record_int8_matmul(rec, lw.w2, *sc.gate.get(), *sc.x.get(), 0, n, w.dim, w.hidden, true);
  }
}

// A decoder pass over N input rows X with rotary table ROPE: records the layers, and for the
// step (LOGITS_OUT non-null or ARGMAX) the final norm, the output projection and the argmax.
// Returns the token id (0 for the prefill) or -1 when it declined.
int decoder_pass(const GpuDecoderWeights& weights, const GpuKvView& cache, const float* x, int n, const float* rope,
                 bool step, float* logits_out) {
  Backend* b = backend();
  if (!b || !b->shaders_compiled || !cache.k || !x || !rope || n < 1) return -1;
  const std::lock_guard serial(b->device->submit_lock);  // the staging and cache copies are shared
  const orv_block_shape_t& s = weights.shape;
  const BlockWidths w(s);
  const int start = cache.len;
  if (int64_t{start} + n > cache.capacity) return -1;
  b->passes->take_stale_flag(cache);
  DeclineGuard guard(*b->passes, cache.k);
  Caches& c = *b->caches;
  DecoderWeights dw;
  if (!decoder_weights(*b, weights, &dw)) return -1;
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
                                   {cache.k, cache.v, s.layers, cache.capacity, w.kv_dim, start, cache.pos_offset});
  if (!m) return -1;
  char* host = static_cast<char*>(io->mapped());
  std::memcpy(host, x, x_bytes);
  std::memcpy(host + x_bytes, rope, rope_bytes);
  rec.copy(*io, 0, *sc.x.get(), 0, x_bytes);
  rec.copy(*io, x_bytes, *sc.freqs.get(), 0, rope_bytes);
  record_layers(rec, s, dw, sc, *m, n, start);
  const uint64_t id_at = x_bytes + rope_bytes, logits_at = id_at + 16;
  if (step) {
    record_rms_norm(rec, *sc.x.get(), *dw.norm, *sc.xn.get(), 1, w.dim);
    record_int8_matmul(rec, dw.embedding, *sc.xn.get(), *logits.get(), 0, 1, s.vocab, w.dim);
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
  return token;
}

}  // namespace

}  // namespace gpu

int orv_gpu_decoder_prefill(const GpuDecoderWeights& w, const GpuKvView& cache, const float* x, int n,
                            const float* rope) {
  return gpu::decoder_pass(w, cache, x, n, rope, false, nullptr);
}

int orv_gpu_decoder_step(const GpuDecoderWeights& w, const GpuKvView& cache, const float* x, const float* rope,
                         float* logits) {
  return gpu::decoder_pass(w, cache, x, 1, rope, true, logits);
}
