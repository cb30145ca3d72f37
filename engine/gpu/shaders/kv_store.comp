#version 450
#extension GL_GOOGLE_include_directive : require
#include "elementwise.glsl"

// New key or value rows into a half-precision cache copy on the device and, rounded the same
// way, into the host array it mirrors, so the host array needs no copy back. PAIRS pairs of
// values; offsets count pairs from each binding.
layout(std430, binding = 0) writeonly buffer Cache { uint cache[]; };
layout(std430, binding = 1) writeonly buffer Host { vec2 host[]; };
layout(std430, binding = 2) readonly buffer Data { vec2 data[]; };
layout(push_constant) uniform Args { int cache_offset; int host_offset; int pairs; } a;

void main() {
  const uint i = element_index();
  if (i >= uint(a.pairs)) return;
  const uint h = packHalf2x16(data[i]);
  cache[uint(a.cache_offset) + i] = h;
  host[uint(a.host_offset) + i] = unpackHalf2x16(h);
}
