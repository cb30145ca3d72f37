#version 450
#extension GL_GOOGLE_include_directive : require
#include "reduce.glsl"

// One workgroup per row; Y may alias X (every read of a row precedes the first write).
layout(std430, binding = 0) readonly buffer X { float x[]; };
layout(std430, binding = 1) readonly buffer W { float weight[]; };
layout(std430, binding = 2) writeonly buffer Y { float y[]; };
#ifdef ADA  // then y * (1 + scale), the delay conditioning
layout(std430, binding = 3) readonly buffer Scale { float scale[]; };
#endif
layout(push_constant) uniform Args { int hidden; float eps; int rows; } a;

void main() {
  const uint row = flat_group();
  if (row >= uint(a.rows)) return;
  const uint t = gl_LocalInvocationID.x, n = uint(a.hidden), base = row * n;
  float s = 0.0;
  for (uint i = t; i < n; i += 256u) s += x[base + i] * x[base + i];
  s = reduce_sum(s);
  const float inv = inversesqrt(fma(s, 1.0 / float(n), a.eps));
  for (uint i = t; i < n; i += 256u) {
    const float v = weight[i] * x[base + i] * inv;
#ifdef ADA
    y[base + i] = fma(scale[i], v, v);
#else
    y[base + i] = v;
#endif
  }
}
