#version 450
#extension GL_GOOGLE_include_directive : require
#include "elementwise.glsl"

layout(std430, binding = 0) writeonly buffer Cache { float cache[]; };
layout(std430, binding = 1) readonly buffer Data { float data[]; };
layout(push_constant) uniform Args { int cache_offset; int total; } a;

void main() {
  const uint g = element_index();
  if (g < uint(a.total)) cache[uint(a.cache_offset) + g] = data[g];
}
