// Included by every kernel. The host splits dispatches of more than 65535 workgroups over two
// grid dimensions, so kernels address their workgroup through this flat index and return
// past their bound.
#extension GL_KHR_shader_subgroup_basic : enable
#extension GL_KHR_shader_subgroup_arithmetic : enable

uint flat_group() { return gl_WorkGroupID.y * gl_NumWorkGroups.x + gl_WorkGroupID.x; }
