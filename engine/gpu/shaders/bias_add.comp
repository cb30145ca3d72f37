#version 450
#extension GL_GOOGLE_include_directive : require
#include "elementwise.glsl"

layout(std430, binding = 0) buffer Data { float data[]; };
layout(std430, binding = 1) readonly buffer Bias { float bias[]; };
layout(push_constant) uniform Args { int dim; int total; } a;

void main() {
  const uint g = element_index();
  if (g < uint(a.total)) data[g] += bias[g % uint(a.dim)];
}
