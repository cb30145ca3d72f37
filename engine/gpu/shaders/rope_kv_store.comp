#version 450
#extension GL_GOOGLE_include_directive : require
#include "elementwise.glsl"
#include "step_args.glsl"

// The step after the merged Q/K/V product: rows of [q | k | v] become rotated queries in Q and,
// keys rotated, new key and value rows in the half-precision cache copies and, rounded the same
// way, in the host arrays they mirror, from the step's cache row on. One invocation per pair of
// values.
layout(std430, binding = 0) readonly buffer Qkv { vec2 qkv[]; };
layout(std430, binding = 1) readonly buffer Freqs { vec2 freqs[]; };  // [rows][head_dim / 2] (cos, sin)
layout(std430, binding = 2) writeonly buffer Q { vec2 q[]; };
layout(std430, binding = 3) writeonly buffer CacheK { uint cache_k[]; };
layout(std430, binding = 4) writeonly buffer CacheV { uint cache_v[]; };
layout(std430, binding = 5) writeonly buffer HostK { vec2 host_k[]; };
layout(std430, binding = 6) writeonly buffer HostV { vec2 host_v[]; };
layout(std430, binding = 7) readonly buffer Step { StepArgs step; };
layout(push_constant) uniform Args { int q_pairs; int kv_pairs; int head_pairs; int rows; } a;

vec2 rotate(vec2 x, vec2 cs) { return vec2(x.x * cs.x - x.y * cs.y, x.x * cs.y + x.y * cs.x); }

void main() {
  const uint qp = uint(a.q_pairs), kvp = uint(a.kv_pairs), hp = uint(a.head_pairs);
  const uint per_row = qp + 2u * kvp;
  const uint i = element_index();
  if (i >= uint(a.rows) * per_row) return;
  const uint row = i / per_row, j = i % per_row;
  const vec2 x = qkv[i];
  if (j < qp) {
    q[row * qp + j] = rotate(x, freqs[row * hp + j % hp]);
    return;
  }
  const bool key = j < qp + kvp;
  const uint c = key ? j - qp : j - qp - kvp;
  const uint at = uint(step.cache_offset) + row * kvp + c;
  if (key) {
    const uint h = packHalf2x16(rotate(x, freqs[row * hp + c % hp]));
    cache_k[at] = h;
    host_k[at] = unpackHalf2x16(h);
  } else {
    const uint h = packHalf2x16(x);
    cache_v[at] = h;
    host_v[at] = unpackHalf2x16(h);
  }
}
