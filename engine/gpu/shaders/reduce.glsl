// Tree reductions over a 256-slot workgroup array: each invocation first folds a strided slice
// (tid, tid + 256, ...), then pairs slot t with slot t + stride for stride 128, 64, ..., 1. The
// fixed order makes the result independent of the device's subgroup size.
#include "common.glsl"

layout(local_size_x = 256) in;

shared float red[256];

float reduce_sum(float v) {
  const uint t = gl_LocalInvocationID.x;
  barrier();  // earlier readers of red[] are done
  red[t] = v;
  barrier();
  for (uint stride = 128u; stride > 0u; stride >>= 1u) {
    if (t < stride) red[t] += red[t + stride];
    barrier();
  }
  return red[0];
}

float reduce_max(float v) {
  const uint t = gl_LocalInvocationID.x;
  barrier();
  red[t] = v;
  barrier();
  for (uint stride = 128u; stride > 0u; stride >>= 1u) {
    if (t < stride) red[t] = max(red[t], red[t + stride]);
    barrier();
  }
  return red[0];
}
