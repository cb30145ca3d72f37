#version 450
#extension GL_GOOGLE_include_directive : require
#include "reduce.glsl"

// One workgroup per row; Y may alias X (every read of a row precedes the first write).
layout(std430, binding = 0) readonly buffer X { float x[]; };
layout(std430, binding = 1) readonly buffer W { float weight[]; };
layout(std430, binding = 2) writeonly buffer Y { float y[]; };
layout(push_constant) uniform Args { int hidden; float eps; int rows; } a;

void main() {
  const uint row = flat_group();
  if (row >= uint(a.rows)) return;
  const uint t = gl_LocalInvocationID.x, n = uint(a.hidden), base = row * n;
  float s = 0.0;
  for (uint i = t; i < n; i += 256u) s += x[base + i] * x[base + i];
  s = reduce_sum(s);
  const float inv = inversesqrt(fma(s, 1.0 / float(n), a.eps));
  for (uint i = t; i < n; i += 256u) y[base + i] = weight[i] * x[base + i] * inv;
}
