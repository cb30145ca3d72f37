#include "gpu/block_attention.h"

#include <algorithm>

namespace gpu {

namespace {

// The kernel's limits: 32 rows of queries, 2048 query values, 16 rows per invocation.
constexpr int kMaxRows = 32, kMaxQueryValues = 2048, kMaxRowsPerLane = 16;

int ceil_div(int a, int b) { return (a + b - 1) / b; }

// Rows (query heads times queries) one workgroup takes at head width HEAD_DIM.
int max_rows(int head_dim) {
  return std::min({kMaxRows, kMaxQueryValues / head_dim, kMaxRowsPerLane * (128 / head_dim)});
}

bool supported(const BlockAttention& a) {
  return a.seq_q > 0 && a.seq_k > 0 && a.n_kv_heads > 0 && a.n_heads % a.n_kv_heads == 0 && a.head_dim > 0 &&
         a.head_dim <= 128 && a.head_dim % 2 == 0 && a.n_heads / a.n_kv_heads <= max_rows(a.head_dim);
}

// A grid of this many workgroups fills a large GPU (two per multiprocessor); a split takes at
// least this many keys, so its partial result costs little beside the keys it reads.
constexpr int kFillGroups = 256, kMinSplitKeys = 64;

}  // namespace

AttentionSplit split_attention(const BlockAttention& a) {
  if (!supported(a)) return {0, 0, 0};
  const int group = a.n_heads / a.n_kv_heads;
  const int queries = std::min(max_rows(a.head_dim) / group, a.seq_q);
  // The most keys one block of queries sees: its window, or every key.
  const int keys = a.window_size > 0 ? std::min(a.seq_k, a.window_size + queries - 1) : a.seq_k;
  const int groups = a.n_kv_heads * ceil_div(a.seq_q, queries);
  // Enough blocks already fill the device: splitting would only add the merge's traffic.
  if (groups >= kFillGroups || keys < 2 * kMinSplitKeys) return {queries, keys, 1};
  const int wanted = std::min(ceil_div(kFillGroups, groups), keys / kMinSplitKeys);
  const int per = ceil_div(ceil_div(keys, wanted), 32) * 32;  // whole tiles of the kernel
  return {queries, per, ceil_div(keys, per)};
}

uint64_t attention_partial_bytes(const BlockAttention& a) {
  const int splits = split_attention(a).splits;
  return splits <= 1 ? 0 : uint64_t(a.seq_q) * a.n_heads * splits * (a.head_dim + 2) * sizeof(float);
}

void record_block_attention(Recorder& rec, Kernel k, const BlockAttention& a, const Binding& q, const Binding& keys,
                            const Binding& values, const Binding& out, const Buffer* partial) {
  const uint64_t partial_bytes = attention_partial_bytes(a);
  if (!supported(a) || (partial_bytes > 0 && (!partial || partial->size() < partial_bytes))) {
    rec.fail();
    return;
  }
  const AttentionSplit split = split_attention(a);
  struct {
    BlockAttention a;
    int32_t block_q, split, splits;
  } args{a, split.queries, split.keys, split.splits};
  const uint64_t groups = uint64_t(a.n_kv_heads) * ceil_div(a.seq_q, split.queries) * split.splits;
  if (split.splits == 1) {
    rec.dispatch(k, {q, keys, values, out}, args, groups);
    return;
  }
  const Binding part{partial, 0, partial_bytes};
  rec.dispatch(k, {q, keys, values, part}, args, groups);
  struct {
    int32_t rows, head_dim, splits;
  } merge{a.seq_q * a.n_heads, a.head_dim, split.splits};
  rec.dispatch(Kernel::attention_merge, {part, out}, merge, uint64_t(a.seq_q) * a.n_heads);
}

void record_block_attention(Recorder& rec, Caches& caches, Kernel k, const BlockAttention& a, const Binding& q,
                            const Binding& keys, const Binding& values, const Binding& out) {
  const uint64_t bytes = attention_partial_bytes(a);
  if (bytes == 0) return record_block_attention(rec, k, a, q, keys, values, out, nullptr);
  const ScratchLease partial(caches, bytes);  // the recorder holds it on until it has run
  if (!partial) return rec.fail();
  record_block_attention(rec, k, a, q, keys, values, out, partial.get());
}

}  // namespace gpu
