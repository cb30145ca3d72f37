#version 450
#extension GL_GOOGLE_include_directive : require
#include "common.glsl"

// Combines the partial softmaxes of the split attention kernels: one workgroup per output row (a
// query head of one query), one invocation per output value. Splits that saw no key carry a
// maximum of -infinity and weigh 0. The decoder step's variant (STEP_SPLITS) reads the number of
// splits from the step's argument block, so that a replayed step follows the position.
layout(local_size_x = 128) in;

layout(std430, binding = 0) readonly buffer Part { float part[]; };  // [rows][splits][head_dim + 2]
layout(std430, binding = 1) writeonly buffer Out { float o[]; };
#ifdef STEP_SPLITS
#include "step_args.glsl"
layout(std430, binding = 2) readonly buffer Step { StepArgs step; };
layout(push_constant) uniform Args { int rows; int head_dim; } a;
#define SPLITS uint(step.splits)
#else
layout(push_constant) uniform Args { int rows; int head_dim; int splits; } a;
#define SPLITS uint(a.splits)
#endif

void main() {
  const uint r = flat_group(), t = gl_LocalInvocationID.x, hd = uint(a.head_dim);
  if (r >= uint(a.rows) || t >= hd) return;
  const uint splits = SPLITS, stride = hd + 2u, base = r * splits * stride;
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
  o[r * hd + t] = num / (den + 1e-10);
}
