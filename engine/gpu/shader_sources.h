// The shader texts embedded into the library at build time (engine/gpu/shaders/*).
#ifndef ORVANE_GPU_SHADER_SOURCES_H
#define ORVANE_GPU_SHADER_SOURCES_H

namespace gpu {

struct ShaderSource {
  const char* name;  // file name, e.g. "rms_norm.comp"
  const char* text;
};

extern const ShaderSource kShaderSources[];
extern const int kShaderSourceCount;

}  // namespace gpu

#endif
