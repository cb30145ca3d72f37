#version 450
#extension GL_GOOGLE_include_directive : require
#include "elementwise.glsl"

// Each row is [gate(hidden) | up(hidden)]; the gate half becomes silu(gate) * up.
layout(std430, binding = 0) buffer Data { float data[]; };
layout(push_constant) uniform Args { int hidden; int total; } a;

void main() {
  const uint g = element_index();
  if (g >= uint(a.total)) return;
  const uint row = g / uint(a.hidden), c = g % uint(a.hidden);
  const uint base = row * 2u * uint(a.hidden);
  const float gate = data[base + c];
  data[base + c] = gate / (1.0 + exp(-gate)) * data[base + uint(a.hidden) + c];
}
