#version 450
#extension GL_GOOGLE_include_directive : require
#include "elementwise.glsl"

layout(std430, binding = 0) buffer X { float x[]; };
layout(push_constant) uniform Args { int n; } a;

void main() {
  const uint i = element_index();
  if (i >= uint(a.n)) return;
  const float v = x[i];
  x[i] = v / (1.0 + exp(-v));
}
