# Writes OUT, a C++ file holding every shader source in DIR (*.comp, *.glsl) as text, so the
# library carries its shaders and compiles them when the GPU backend starts.
file(GLOB SOURCES ${DIR}/*.comp ${DIR}/*.glsl)
set(body "// Generated from engine/gpu/shaders at build time; do not edit.\n#include \"gpu/shader_sources.h\"\n\nnamespace gpu {\n\nconst ShaderSource kShaderSources[] = {\n")
set(count 0)
foreach(path ${SOURCES})
  get_filename_component(name ${path} NAME)
  file(READ ${path} text)
  string(APPEND body "    {\"${name}\", R\"orvshader(${text})orvshader\"},\n")
  math(EXPR count "${count} + 1")
endforeach()
string(APPEND body "};\n\nconst int kShaderSourceCount = ${count};\n\n}  // namespace gpu\n")
file(WRITE ${OUT}.tmp "${body}")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
