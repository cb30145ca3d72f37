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
  Int8Matrix wqkv, wo, w13, w2;  // wqkv: [wq | wk | wv] rows, w13: w1 and w3 rows in runs of four
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
  // A device matrix by the addresses of its (first two) BF16 sources.
  auto int8 = [&](const uint16_t* src, Int8Matrix* m, const uint16_t* second = nullptr) {
    return src && c.int8_find(src, m, second);
  };
  const uint64_t dim_bytes = count(w.dim, 1) * kF32;
  const bool ada = dw.ada_scale.size() >= count(s.layers, w.dim);
  if (dw.layers.size() < size_t(s.layers)) return false;
  for (int l = 0; l < s.layers; l++) {
    const GpuDecoderLayer& lw = dw.layers[size_t(l)];
    DecoderLayerBuffers b;
    using M = DecoderMatrix;
    if (!int8(lw.matrix(M::wq), &b.wqkv, lw.matrix(M::wk)) || !int8(lw.matrix(M::wo), &b.wo) ||
        !int8(lw.matrix(M::w1), &b.w13, lw.matrix(M::w3)) || !int8(lw.matrix(M::w2), &b.w2) ||
        !lw.attention_norm || !lw.ffn_norm)
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

// The step's position and the split of its keys, as the kernels read them (step_args.glsl).
struct StepArgs {
  int32_t q_pos, seq_k, split, splits, cache_offset;
};

// Where the inputs of a pass over N rows lie in its IN buffer (and in the staging buffer, which
// fills it with one copy): the residual stream X, the rotary table and the StepArgs, each from an
// offset the device can bind.
struct InputLayout {
  InputLayout(const Device& d, const BlockWidths& w, int head_dim, int n) {
    const uint64_t align = std::max<uint64_t>(d.offset_alignment(), 16);
    auto aligned = [&](uint64_t at) { return (at + align - 1) / align * align; };
    x_bytes = count(n, w.dim) * kF32;
    rope_at = aligned(x_bytes);
    rope_bytes = count(n, head_dim) * kF32;
    step_at = aligned(rope_at + rope_bytes);
    bytes = aligned(step_at + sizeof(StepArgs));
  }
  uint64_t x_bytes, rope_at, rope_bytes, step_at, bytes;
};

// Work buffers of one decoder pass over N rows.
struct DecoderScratch {
  template <typename Get>
  DecoderScratch(Get get, const BlockWidths& w, const InputLayout& in_layout, int n, uint64_t partial_size,
                 uint64_t logits_size)
      : in(get(in_layout.bytes)),
        qkv(get(count(n, w.q_dim + 2 * w.kv_dim) * kF32)),
        q(get(count(n, w.q_dim) * kF32)),
        attn(get(count(n, w.q_dim) * kF32)),
        hidden(get(count(n, w.hidden) * kF32)),
        partial(get(partial_size)),
        logits(get(logits_size)),
        result(get(16)) {}
  explicit operator bool() const { return in && qkv && q && attn && hidden && partial && logits && result; }
  BufferRef in;       // the residual stream X, the rotary table, the StepArgs
  BufferRef qkv;      // [q | k | v] rows of the merged product
  BufferRef q;        // the rotated queries
  BufferRef attn;     // attention output
  BufferRef hidden;   // silu(gate) * up
  BufferRef partial;  // the step's attention before the merge
  BufferRef logits;   // the step's scores
  BufferRef result;   // the step's token id
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

// Workgroups per key/value head that a step over a cache of CAPACITY rows may need. Up to 256
// keys per wanted workgroup, a split never takes more than the wanted number or one per 16 keys;
// beyond, it takes one per 256 keys, the most for the most keys.
int most_splits(const orv_block_shape_t& s, int capacity) {
  const int keys = s.window > 0 ? std::min(s.window, capacity) : capacity;
  const int wanted = std::max(1, 128 / s.kv_heads);
  return std::max(split_keys(keys, s.kv_heads).groups, std::min(wanted, (keys + 15) / 16));
}

// Bytes of decoder_attention_split's partial results for one query split GROUPS ways.
uint64_t partial_bytes(const orv_block_shape_t& s, int groups) {
  return uint64_t(s.heads) * groups * (s.head_dim + 2) * kF32;
}

// The StepArgs of a pass over N rows from cache row START.
StepArgs step_args(const orv_block_shape_t& s, int start, int n) {
  const int q_pos = start + n - 1;
  const int first = s.window > 0 ? std::max(0, q_pos - s.window + 1) : 0;
  const KeySplit split = split_keys(q_pos - first + 1, s.kv_heads);
  return {q_pos, start + n, split.keys_per_group, split.groups, int32_t(int64_t{start} * s.kv_heads * s.head_dim / 2)};
}

// Attention of the step's query: the keys spread over up to GROUPS workgroups per key/value head
// (as the StepArgs in STEP say), then merged.
void record_step_attention(Recorder& rec, const orv_block_shape_t& s, const Binding& q, const Binding& k,
                           const Binding& v, const Binding& out, const Binding& step, const Buffer& partial,
                           int groups, float scale) {
  if (s.heads / s.kv_heads > 8 || s.head_dim > 128) {  // beyond the kernel's shared arrays
    rec.fail();
    return;
  }
  struct {
    int32_t n_heads, n_kv_heads, head_dim, kv_dim;
    float scale;
    int32_t window_size, groups;
  } args{s.heads, s.kv_heads, s.head_dim, s.kv_heads * s.head_dim, scale, s.window, groups};
  const Binding part{&partial, 0, partial_bytes(s, groups)};
  rec.dispatch(Kernel::decoder_attention_split, {q, k, v, part, step}, args, uint64_t(s.kv_heads) * groups);
  struct {
    int32_t n_heads, head_dim;
  } merge{s.heads, s.head_dim};
  rec.dispatch(Kernel::attention_merge_step, {part, out, step}, merge, uint64_t(s.heads));
}

// Every decoder layer over the N rows of X in SC.in at cache rows START .., the keys and values
// into M: the norms run inside the products that read their output, the rotary embedding inside
// the store of the new cache rows, SiLU-times-up inside the gate and up product, and the output and
// down projections add onto the residual stream. The step (N = 1) splits its keys GROUPS ways at
// most and takes its position from the StepArgs, so its commands hold at every position.
void record_layers(Recorder& rec, const orv_block_shape_t& s, const DecoderWeights& dw, const DecoderScratch& sc,
                   const InputLayout& in, const KvMirror& m, int n, int start, int groups) {
  const BlockWidths w(s);
  const float scale = 1.0f / std::sqrt(float(s.head_dim));
  const Buffer& x = *sc.in;
  const Binding step{sc.in.get(), in.step_at, sizeof(StepArgs)};
  const uint64_t layer_bytes = uint64_t(m.capacity) * m.row_bytes(), host_layer_bytes = uint64_t(m.capacity) * m.host_row_bytes();
  for (int l = 0; l < s.layers; l++) {
    const DecoderLayerBuffers& lw = dw.layers[size_t(l)];
    Int8Input attn_in(x);
    attn_in.norm = lw.attn_norm.get();
    record_int8_matmul(rec, lw.wqkv, attn_in, *sc.qkv, 0, n, w.q_dim + 2 * w.kv_dim, w.dim);
    const Binding ck{m.k.get(), m.layer_offset(l), layer_bytes}, cv{m.v.get(), m.layer_offset(l), layer_bytes};
    const Binding q{sc.q.get(), 0, count(n, w.q_dim) * kF32}, attn{sc.attn.get(), 0, count(n, w.q_dim) * kF32};
    struct {
      int32_t q_pairs, kv_pairs, head_pairs, rows;
    } store{w.q_dim / 2, w.kv_dim / 2, s.head_dim / 2, n};
    rec.dispatch_elements(Kernel::rope_kv_store,
                          {{sc.qkv.get(), 0, count(n, w.q_dim + 2 * w.kv_dim) * kF32},
                           {sc.in.get(), in.rope_at, in.rope_bytes},
                           q, ck, cv,
                           {m.shared_k.get(), m.host_layer_offset(l), host_layer_bytes},
                           {m.shared_v.get(), m.host_layer_offset(l), host_layer_bytes},
                           step},
                          store, uint64_t(n) * (w.q_dim / 2 + w.kv_dim));
    // Attention positions are cache rows: the rotary positions carry kv_pos_offset already.
    if (n == 1) {
      record_step_attention(rec, s, q, ck, cv, attn, step, *sc.partial, groups, scale);
    } else {
      record_block_attention(rec, *backend()->caches, Kernel::encoder_attention_kv16,
                             {s.heads, s.kv_heads, s.head_dim, n, start + n, scale, s.window, start}, q, ck, cv, attn);
    }
    record_int8_matmul(rec, lw.wo, *sc.attn, x, 0, n, w.dim, w.q_dim, Int8Output::add);
    Int8Input ffn_in(x);
    ffn_in.norm = lw.ffn_norm.get();
    if (dw.ada) ffn_in.ada = {dw.ada, count(l, w.dim) * kF32, count(w.dim, 1) * kF32};
    record_int8_matmul(rec, lw.w13, ffn_in, *sc.hidden, 0, n, 2 * w.hidden, w.dim, Int8Output::silu_pairs);
    record_int8_matmul(rec, lw.w2, *sc.hidden, x, 0, n, w.dim, w.hidden, Int8Output::add);
  }
}

// A whole pass over N rows: the inputs from staging IO into SC.in, the layers, and for the step
// the final norm with the output projection, the argmax and the token id (and with SCORES the
// scores) back into IO after the inputs.
void record_pass(Recorder& rec, const orv_block_shape_t& s, const DecoderWeights& dw, const DecoderScratch& sc,
                 const InputLayout& in, const KvMirror& m, const Buffer& io, int n, int start, int groups,
                 bool scores) {
  rec.copy(io, 0, *sc.in, 0, in.bytes);
  record_layers(rec, s, dw, sc, in, m, n, start, groups);
  if (n != 1) return;
  Int8Input last(*sc.in);
  last.norm = dw.norm.get();
  const uint64_t logits_bytes = count(s.vocab, 1) * kF32;
  record_int8_matmul(rec, dw.embedding, last, *sc.logits, 0, 1, s.vocab, s.dim);
  struct {
    int32_t n;
  } args{s.vocab};
  rec.dispatch(Kernel::argmax_f32, {{sc.logits.get(), 0, logits_bytes}, {sc.result.get(), 0, 4}}, args, 1);
  rec.copy(*sc.result, 0, io, in.bytes, 4);
  if (scores) rec.copy(*sc.logits, 0, io, in.bytes + 16, logits_bytes);
}

// Every buffer a step's recording binds besides its own work buffers.
std::vector<const Buffer*> step_bindings(const DecoderWeights& dw, const KvMirror& m, const Buffer& io) {
  std::vector<const Buffer*> b{m.k.get(), m.v.get(), m.shared_k.get(), m.shared_v.get(), &io, dw.ada,
                               dw.norm.get(), dw.embedding.weights.get(), dw.embedding.scales.get()};
  for (const DecoderLayerBuffers& l : dw.layers)
    for (const Int8Matrix* w : {&l.wqkv, &l.wo, &l.w13, &l.w2}) b.insert(b.end(), {w->weights.get(), w->scales.get()});
  for (const DecoderLayerBuffers& l : dw.layers) b.insert(b.end(), {l.attn_norm.get(), l.ffn_norm.get()});
  return b;
}

// M's recorded step, recorded now when it has none or when what it binds changed (the cache
// copies grew, the staging buffer or a weight was replaced, the scores are wanted or no longer).
// Null when the device refuses the work buffers or the recording fails.
StepPlan* step_plan(Backend& b, const orv_block_shape_t& s, const DecoderWeights& dw, KvMirror& m, const Buffer& io,
                    const InputLayout& in, bool scores, bool* recorded) {
  StepKey key{step_bindings(dw, m, io), scores};
  *recorded = false;
  if (m.step && m.step->key == key) return m.step.get();
  m.step.reset();
  auto plan = std::make_unique<StepPlan>(*b.device, *b.pipelines);
  auto allocate = [&](uint64_t bytes) {
    BufferRef r = Buffer::create(*b.device, bytes, Memory::device);
    if (r) plan->own_bytes += r->size();
    return r;
  };
  const int groups = most_splits(s, m.capacity);
  const DecoderScratch sc(allocate, BlockWidths(s), in, 1, partial_bytes(s, groups), count(s.vocab, 1) * kF32);
  if (!sc) return nullptr;
  record_pass(plan->rec, s, dw, sc, in, m, io, 1, 0, groups, scores);
  if (!plan->rec.ok()) return nullptr;
  plan->key = std::move(key);
  plan->groups = groups;
  m.step = std::move(plan);
  *recorded = true;
  return m.step.get();
}

// A decoder pass over N input rows X with rotary table ROPE. The prefill (STEP false) is recorded
// for its rows; the step replays the cache's recorded step, which ends in the argmax (and with
// LOGITS_OUT the scores). Returns the token id (0 for the prefill) or -1 when it declined.
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
  const InputLayout in(*b->device, w, s.head_dim, n);
  const uint64_t logits_bytes = step ? count(s.vocab, 1) * kF32 : 0;
  // Staging: the inputs as in SC.in, the token id (16 bytes), the scores.
  const Buffer* io = b->passes->staging(*b->device, in.bytes + 16 + logits_bytes);
  if (!io) return -1;
  // The catch-up of the cache copies; for the prefill, the whole pass.
  Recorder rec(*b->device, *b->pipelines);
  KvMirror* m = b->passes->prepare(*b->device, c, rec,
                                   {cache.k, cache.v, s.layers, cache.capacity, w.kv_dim, start, cache.pos_offset});
  if (!m) return -1;
  char* host = static_cast<char*>(io->mapped());
  const StepArgs args = step_args(s, start, n);
  std::memcpy(host, x, in.x_bytes);
  std::memcpy(host + in.rope_at, rope, in.rope_bytes);
  std::memcpy(host + in.step_at, &args, sizeof args);
  if (step) {
    if (!rec.empty() && !rec.run()) return -1;
    bool recorded = false;
    StepPlan* plan = step_plan(*b, s, dw, *m, *io, in, logits_out != nullptr, &recorded);
    if (!plan || args.splits > plan->groups) return -1;
    // The work of one step; descriptors are written only when it is recorded.
    const Recorder& r = plan->rec;
    b->passes->step_dispatches = r.dispatches();
    b->passes->step_work = {int(r.barriers()), int(r.copies()), recorded ? int(r.descriptor_writes()) : 0};
    if (!plan->rec.run()) {
      m->step.reset();  // a failed submission may have left it unusable
      return -1;
    }
  } else {
    const DecoderScratch sc([&](uint64_t bytes) { return c.scratch_acquire(bytes); }, w, in, n, 16, 16);
    if (!sc) return -1;
    record_pass(rec, s, dw, sc, in, *m, *io, n, start, 0, false);
    if (!rec.run()) return -1;
  }
  int32_t token = 0;
  if (step) {
    std::memcpy(&token, host + in.bytes, sizeof token);
    if (token < 0 || token >= s.vocab) return -1;
    if (logits_out) std::memcpy(logits_out, host + in.bytes + 16, logits_bytes);
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
