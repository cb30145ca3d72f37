#version 450
#extension GL_GOOGLE_include_directive : require
#include "elementwise.glsl"

layout(std430, binding = 0) buffer X { float x[]; };
layout(std430, binding = 1) readonly buffer Scale { float scale[]; };
layout(push_constant) uniform Args { int n; int stride; } a;

void main() {
  const uint i = element_index();
  if (i >= uint(a.n)) return;
  const float h = x[i];
  x[i] = fma(scale[i % uint(a.stride)], h, h);
}
