#version 450
#extension GL_GOOGLE_include_directive : require
#include "elementwise.glsl"

// Converts PAIRS pairs of float values to half: host rows reloaded into the device's
// half-precision key/value caches. Offsets count pairs from each binding.
layout(std430, binding = 0) writeonly buffer Dst { uint dst[]; };
layout(std430, binding = 1) readonly buffer Src { vec2 src[]; };
layout(push_constant) uniform Args { int dst_offset; int src_offset; int pairs; } a;

void main() {
  const uint i = element_index();
  if (i < uint(a.pairs)) dst[uint(a.dst_offset) + i] = packHalf2x16(src[uint(a.src_offset) + i]);
}
