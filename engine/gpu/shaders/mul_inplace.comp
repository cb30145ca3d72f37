#version 450
#extension GL_GOOGLE_include_directive : require
#include "elementwise.glsl"

layout(std430, binding = 0) buffer A { float a_[]; };
layout(std430, binding = 1) readonly buffer B { float b_[]; };
layout(push_constant) uniform Args { int n; } a;

void main() {
  const uint i = element_index();
  if (i >= uint(a.n)) return;
  a_[i] *= b_[i];
}
