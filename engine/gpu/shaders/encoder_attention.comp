#version 450
#extension GL_GOOGLE_include_directive : require
#include "common.glsl"
#include "online_softmax.glsl"

// Attention of a block of queries with the keys spread over workgroups. Workgroup
// (key/value head, query block, split) takes queries q0 .. q0 + block_q - 1 of every query head
// sharing that key/value head (its rows, head by head) against keys split * s .. of the block's
// range, so each key and value row is read once for all of them. Keys go in tiles of TK: the
// invocations score the tile's (row, key) pairs whole, the rows' running maxima move, the scores
// become weights, and each invocation folds them into one value of several rows: four
// barriers per tile, none per key. With one split the workgroup writes the output; with more it
// writes its partial softmax (weighted values, maximum, sum) per (query, head) for
// attention_merge, [seq_q][n_heads][splits][head_dim + 2].
// Q, out [seq_q][n_heads * head_dim]; K, V [seq_k][n_kv_heads * head_dim];
// head_dim even; rows = block_q * n_heads / n_kv_heads <= 32, rows * head_dim <= 2048 and at most
// 16 rows per value an invocation owns.
layout(local_size_x = 128) in;

const uint WG = 128u, MAX_ROWS = 32u, TK = 32u, MAX_QS = 2048u, MAX_OWN = 16u;

layout(std430, binding = 0) readonly buffer Q { float q[]; };
#ifdef KV_HALF  // the device's key/value caches: two halves per word
#include "kv_half.glsl"
layout(std430, binding = 1) readonly buffer K { uint k2[]; };
layout(std430, binding = 2) readonly buffer V { uint v2[]; };
vec2 key_pair(uint i) { return unpackHalf2x16(k2[i >> 1u]); }  // elements i, i + 1; i even
float value_at(uint i) { return half_at(v2[i >> 1u], i); }
#else
layout(std430, binding = 1) readonly buffer K { float k[]; };
layout(std430, binding = 2) readonly buffer V { float v[]; };
vec2 key_pair(uint i) { return vec2(k[i], k[i + 1u]); }
float value_at(uint i) { return v[i]; }
#endif
layout(std430, binding = 3) writeonly buffer Out { float o[]; };
layout(push_constant) uniform Args {
  int n_heads; int n_kv_heads; int head_dim; int seq_q; int seq_k; float scale; int window_size;
  int q_offset; int block_q; int split; int splits;
} a;

shared float qs[MAX_QS];           // [row][head_dim]
shared float w[MAX_ROWS * TK];     // [row][key of the tile]: scores, then weights
shared float row_max[MAX_ROWS];    // running maximum after the tile
shared float row_scale[MAX_ROWS];  // what the tile's new maximum multiplies earlier sums by

void main() {
  const uint bq = uint(a.block_q), splits = uint(a.splits);
  const uint blocks = (uint(a.seq_q) + bq - 1u) / bq;
  const uint gid = flat_group(), s = gid % splits, blk = (gid / splits) % blocks;
  const uint kvh = gid / splits / blocks;
  if (kvh >= uint(a.n_kv_heads)) return;  // whole workgroups only
  const uint t = gl_LocalInvocationID.x, hd = uint(a.head_dim), group = uint(a.n_heads / a.n_kv_heads);
  const uint rows = group * bq, q0 = blk * bq, h0 = kvh * group;
  const uint q_stride = uint(a.n_heads) * hd, kv_stride = uint(a.n_kv_heads) * hd, kv_base = kvh * hd;
  const float neg_inf = uintBitsToFloat(0xFF800000u);

  // Row r is query q0 + r % bq of head h0 + r / bq.
  for (uint i = t; i < rows * hd; i += WG) {
    const uint r = i / hd, qi = q0 + r % bq;
    qs[i] = qi < uint(a.seq_q) ? q[qi * q_stride + (h0 + r / bq) * hd + i % hd] : 0.0;
  }
  const int last_q = min(int(q0 + bq), a.seq_q) - 1;
  const int begin = window_start(a.q_offset + int(q0), a.window_size) + int(s) * a.split;
  const int end = min(begin + a.split, min(a.q_offset + last_q, a.seq_k - 1) + 1);

  float m = neg_inf, l = 0.0;  // invocation r < rows: row r's running maximum and sum
  // Invocation t < lanes owns value c of rows r0 + i * stride, so it reads each value once.
  const uint stride = WG / hd, lanes = stride * hd, c = t % hd, r0 = t / hd;
  float acc[MAX_OWN];
  for (uint i = 0u; i < MAX_OWN; i++) acc[i] = 0.0;
  for (int j0 = begin; j0 < end; j0 += int(TK)) {
    barrier();  // the previous tile is folded (and qs written, on the first tile)
    for (uint p = t; p < rows * TK; p += WG) {
      const uint r = p / TK;
      const int j = j0 + int(p % TK), q_pos = a.q_offset + int(q0 + r % bq);
      float score = neg_inf;
      if (int(q0 + r % bq) <= last_q && j < end && j <= q_pos && j >= window_start(q_pos, a.window_size)) {
        const uint row = uint(j) * kv_stride + kv_base;
        float d = 0.0;
        for (uint c = 0u; c < hd; c += 2u) {
          const vec2 kk = key_pair(row + c);
          d = fma(qs[r * hd + c], kk.x, fma(qs[r * hd + c + 1u], kk.y, d));
        }
        score = d * a.scale;
      }
      w[p] = score;
    }
    barrier();
    if (t < rows) {
      float tile_max = neg_inf;
      for (uint kk = 0u; kk < TK; kk++) tile_max = max(tile_max, w[t * TK + kk]);
      const float m_new = max(m, tile_max);
      row_scale[t] = isinf(m_new) ? 1.0 : exp(m - m_new);
      row_max[t] = m_new;
      m = m_new;
    }
    barrier();
    for (uint p = t; p < rows * TK; p += WG) {
      const float score = w[p];
      w[p] = isinf(score) ? 0.0 : exp(score - row_max[p / TK]);
    }
    barrier();
    if (t < rows) {
      float sum = 0.0;
      for (uint kk = 0u; kk < TK; kk++) sum += w[t * TK + kk];
      l = fma(l, row_scale[t], sum);
    }
    if (t < lanes) {
      for (uint i = 0u, r = r0; i < MAX_OWN && r < rows; i++, r += stride) acc[i] *= row_scale[r];
      for (uint kk = 0u; kk < uint(min(int(TK), end - j0)); kk++) {
        const float vv = value_at(uint(j0 + int(kk)) * kv_stride + kv_base + c);
        for (uint i = 0u, r = r0; i < MAX_OWN && r < rows; i++, r += stride) acc[i] = fma(w[r * TK + kk], vv, acc[i]);
      }
    }
  }
  // Rows with no key in this split keep a maximum of -infinity and weigh nothing in the merge.
  barrier();
  if (t < rows) {
    row_max[t] = m;
    row_scale[t] = l;
  }
  barrier();
  if (t >= lanes) return;
  for (uint i = 0u, r = r0; i < MAX_OWN && r < rows; i++, r += stride) {
    const uint qi = q0 + r % bq, h = h0 + r / bq;
    if (qi >= uint(a.seq_q)) continue;
    if (splits == 1u) {
      o[qi * q_stride + h * hd + c] = acc[i] / (row_scale[r] + 1e-10);
    } else {
      const uint at = ((qi * uint(a.n_heads) + h) * splits + s) * (hd + 2u);
      o[at + c] = acc[i];
      if (c == 0u) {
        o[at + hd] = row_max[r];
        o[at + hd + 1u] = row_scale[r];
      }
    }
  }
}
