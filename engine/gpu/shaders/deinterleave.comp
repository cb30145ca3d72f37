#version 450
#extension GL_GOOGLE_include_directive : require
#include "elementwise.glsl"

layout(std430, binding = 0) readonly buffer Src { float src[]; };
layout(std430, binding = 1) writeonly buffer Dst { float dst[]; };
layout(push_constant) uniform Args { int src_stride; int chunk_cols; int col_offset; int total; } a;

void main() {
  const uint g = element_index();
  if (g >= uint(a.total)) return;
  const uint row = g / uint(a.chunk_cols), col = g % uint(a.chunk_cols);
  dst[g] = src[row * uint(a.src_stride) + uint(a.col_offset) + col];
}
