#version 450
#extension GL_GOOGLE_include_directive : require
#include "elementwise.glsl"

// Converts PAIRS pairs of values between float and half: the device's half-precision key/value
// caches take float rows in and give float rows back. Offsets count pairs from each binding.
#ifdef TO_FLOAT
layout(std430, binding = 0) writeonly buffer Dst { vec2 dst[]; };
layout(std430, binding = 1) readonly buffer Src { uint src[]; };
#else
layout(std430, binding = 0) writeonly buffer Dst { uint dst[]; };
layout(std430, binding = 1) readonly buffer Src { vec2 src[]; };
#endif
layout(push_constant) uniform Args { int dst_offset; int src_offset; int pairs; } a;

void main() {
  const uint i = element_index();
  if (i >= uint(a.pairs)) return;
#ifdef TO_FLOAT
  dst[uint(a.dst_offset) + i] = unpackHalf2x16(src[uint(a.src_offset) + i]);
#else
  dst[uint(a.dst_offset) + i] = packHalf2x16(src[uint(a.src_offset) + i]);
#endif
}
