// Element-wise kernels: one invocation per element, the workgroup width set by the host.
#include "common.glsl"

layout(constant_id = 0) const uint WIDTH = 256;
layout(local_size_x_id = 0) in;

// The element of this invocation (flat_index with the specialised width, which some drivers do
// not fold into gl_WorkGroupSize).
uint element_index() { return flat_group() * WIDTH + gl_LocalInvocationID.x; }
