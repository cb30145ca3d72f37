#version 450
#extension GL_GOOGLE_include_directive : require
#include "common.glsl"

// One workgroup of 256. Each invocation keeps the first strictly greater value of its slice; in
// the tree a slot takes its partner's candidate only when it is strictly greater, so ties go to
// the lower invocation. An all -infinity (or NaN) input yields 0.
layout(local_size_x = 256) in;

layout(std430, binding = 0) readonly buffer Data { float data[]; };
layout(std430, binding = 1) writeonly buffer Out { int result[]; };
layout(push_constant) uniform Args { int n; } a;

shared float best[256];
shared int best_at[256];

void main() {
  const uint t = gl_LocalInvocationID.x;
  float v = uintBitsToFloat(0xFF800000u);  // -infinity
  int at = 0;
  for (uint i = t; i < uint(a.n); i += 256u) {
    if (data[i] > v) {
      v = data[i];
      at = int(i);
    }
  }
  best[t] = v;
  best_at[t] = at;
  barrier();
  for (uint stride = 128u; stride > 0u; stride >>= 1u) {
    if (t < stride && best[t + stride] > best[t]) {
      best[t] = best[t + stride];
      best_at[t] = best_at[t + stride];
    }
    barrier();
  }
  if (t == 0u) result[0] = best_at[0];
}
