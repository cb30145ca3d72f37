#version 450
#extension GL_GOOGLE_include_directive : require
#include "elementwise.glsl"

layout(std430, binding = 0) buffer A { float a_[]; };
layout(std430, binding = 1) readonly buffer B { float b_[]; };
layout(push_constant) uniform Args { int n; } a;

void main() {
  const uint i = element_index();
  if (i >= uint(a.n)) return;
#ifdef SILU_GATE  // the feed-forward gate: silu(a) * b
  const float gate = a_[i];
  a_[i] = gate / (1.0 + exp(-gate)) * b_[i];
#else
  a_[i] *= b_[i];
#endif
}
