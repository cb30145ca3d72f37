#version 450
#extension GL_GOOGLE_include_directive : require
#include "common.glsl"
#include "online_softmax.glsl"

// One query, one workgroup per query head. Q [n_heads][head_dim]; K and V are the layer's cache
// rows [seq_k][kv_dim]. head_dim <= 128. Consecutive query heads share a key/value head.
layout(local_size_x = 128) in;

layout(std430, binding = 0) readonly buffer Q { float q[]; };
layout(std430, binding = 1) readonly buffer K { float k[]; };
layout(std430, binding = 2) readonly buffer V { float v[]; };
layout(std430, binding = 3) writeonly buffer Out { float o[]; };
layout(push_constant) uniform Args {
  int n_heads; int n_kv_heads; int head_dim; int kv_dim; int seq_k; float scale; int window_size;
  int q_pos;
} a;

shared float partial[128];  // one slot per subgroup, whatever the subgroup size

void main() {
  const uint h = flat_group();
  if (h >= uint(a.n_heads)) return;
  const uint t = gl_LocalInvocationID.x, hd = uint(a.head_dim);
  const bool lane = t < hd;
  const uint kv_col = (h / uint(a.n_heads / a.n_kv_heads)) * hd + t;
  const float qv = lane ? q[h * hd + t] : 0.0;
  float m = uintBitsToFloat(0xFF800000u), l = 0.0, acc = 0.0;
  const int last = min(a.q_pos, a.seq_k - 1);
  for (int j = window_start(a.q_pos, a.window_size); j <= last; j++) {
    const uint row = uint(j) * uint(a.kv_dim);
    const float p = subgroupAdd(lane ? qv * k[row + kv_col] : 0.0);
    if (subgroupElect()) partial[gl_SubgroupID] = p;
    barrier();
    float s = 0.0;
    for (uint g = 0u; g < gl_NumSubgroups; g++) s += partial[g];
    barrier();  // every invocation has its score before the next key's partial sums land
    online_update(m, l, acc, s * a.scale, lane ? v[row + kv_col] : 0.0);
  }
  if (lane) o[h * hd + t] = acc / (l + 1e-10);
}
