#version 450
#extension GL_GOOGLE_include_directive : require
#include "common.glsl"
#include "step_args.glsl"

// Combines the partial softmaxes of decoder_attention_split: one workgroup per query head, one
// invocation per output value. Splits that saw no key carry a maximum of -infinity and weigh 0.
layout(local_size_x = 128) in;

layout(std430, binding = 0) readonly buffer Part { float part[]; };  // [n_heads][splits][head_dim + 2]
layout(std430, binding = 1) writeonly buffer Out { float o[]; };
layout(std430, binding = 2) readonly buffer Step { StepArgs step; };
layout(push_constant) uniform Args { int n_heads; int head_dim; } a;

void main() {
  const uint h = flat_group(), t = gl_LocalInvocationID.x, hd = uint(a.head_dim);
  if (h >= uint(a.n_heads) || t >= hd) return;
  const uint splits = uint(step.splits), stride = hd + 2u, base = h * splits * stride;
  float m = uintBitsToFloat(0xFF800000u);
  for (uint s = 0u; s < splits; s++) m = max(m, part[base + s * stride + hd]);
  float num = 0.0, den = 0.0;
  if (!isinf(m))
    for (uint s = 0u; s < splits; s++) {
      const uint at = base + s * stride;
      const float w = exp(part[at + hd] - m);
      num = fma(w, part[at + t], num);
      den = fma(w, part[at + hd + 1u], den);
    }
  o[h * hd + t] = num / (den + 1e-10);
}
