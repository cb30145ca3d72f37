#include "gpu/pipelines.h"

#include <glslang/Public/ResourceLimits.h>
#include <glslang/Public/ShaderLang.h>
#include <glslang/SPIRV/GlslangToSpv.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "gpu/pipeline_cache.h"
#include "gpu/shader_sources.h"

namespace gpu {

namespace {

// One row per pipeline, in Kernel order. Workgroup width and matrix tiles are specialisation
// constants 0 (for shaders that take it) and 1-3 (the matrix products).
struct PipelineDesc {
  const char* name;
  const char* file;
  uint32_t buffers;
  uint32_t writes;  // bit b: the kernel writes binding b (the recorder orders dispatches by it)
  const char* defines;
  uint32_t local_size;
  uint32_t tile_m = 0, tile_n = 0, tile_k = 0;
};

constexpr PipelineDesc kPipelines[kKernelCount] = {
    {"rms_norm", "rms_norm.comp", 3, 0b100, "", 256},
    {"silu", "silu.comp", 1, 0b1, "", 256},
    {"gelu", "gelu.comp", 1, 0b1, "", 256},
    {"add_inplace", "add_inplace.comp", 2, 0b01, "", 256},
    {"mul_inplace", "mul_inplace.comp", 2, 0b01, "", 256},
    {"causal_softmax", "causal_softmax.comp", 1, 0b1, "", 256},
    {"ada_scale_mul", "ada_scale_mul.comp", 2, 0b01, "", 256},
    {"argmax_f32", "argmax_f32.comp", 2, 0b10, "", 256},
    {"rope_apply", "rope_apply.comp", 2, 0b01, "", 256},
    {"kv_cache_copy", "kv_cache_copy.comp", 2, 0b01, "", 256},
    {"decoder_attention", "decoder_attention.comp", 4, 0b1000, "", 128},
    {"encoder_attention", "encoder_attention.comp", 4, 0b1000, "", 128},
    {"bias_add", "bias_add.comp", 2, 0b01, "", 256},
    {"batched_rope_apply", "batched_rope_apply.comp", 2, 0b01, "", 256},
    {"batched_kv_cache_copy", "batched_kv_cache_copy.comp", 2, 0b01, "", 256},
    {"deinterleave", "deinterleave.comp", 2, 0b10, "", 256},
    {"silu_mul_merged", "silu_mul_merged.comp", 1, 0b1, "", 256},
    {"int8_matmul", "int8_matmul.comp", 4, 0b1000, "", 256},
    {"gemm_f16", "gemm.comp", 3, 0b100, "", 256, 64, 64, 16},
    {"gemm_f16_rows", "gemm.comp", 3, 0b100, "", 128, 16, 128, 16},
    {"gemm_f32", "gemm.comp", 3, 0b100, "#define WEIGHTS_F32\n", 256, 64, 64, 16},
    {"kv_to_half", "kv_to_half.comp", 2, 0b01, "", 256},
    {"kv_store", "kv_store.comp", 3, 0b011, "", 256},
    {"decoder_attention_split", "decoder_attention_split.comp", 5, 0b01000, "", 128},
    {"attention_merge", "attention_merge.comp", 2, 0b10, "", 128},
    {"encoder_attention_kv16", "encoder_attention.comp", 4, 0b1000, "#define KV_HALF\n", 128},
    {"int8_matmul_norm", "int8_matmul.comp", 5, 0b1000, "#define NORM\n", 256},
    {"int8_matmul_norm_silu", "int8_matmul.comp", 5, 0b1000, "#define NORM\n#define SILU_PAIRS\n", 256},
    {"int8_matmul_norm_ada_silu", "int8_matmul.comp", 6, 0b1000, "#define NORM\n#define ADA\n#define SILU_PAIRS\n", 256},
    {"rope_kv_store", "rope_kv_store.comp", 8, 0b01111100, "", 256},
    {"attention_merge_step", "attention_merge.comp", 3, 0b010, "#define STEP_SPLITS\n", 128},
};

const char* find_source(const char* name) {
  for (int i = 0; i < kShaderSourceCount; i++)
    if (std::strcmp(kShaderSources[i].name, name) == 0) return kShaderSources[i].text;
  return nullptr;
}

// Serves #include "x.glsl" from the embedded shader set.
class EmbeddedIncluder : public glslang::TShader::Includer {
 public:
  IncludeResult* includeLocal(const char* header, const char*, size_t) override {
    return lookup(header);
  }
  IncludeResult* includeSystem(const char* header, const char*, size_t) override {
    return lookup(header);
  }
  void releaseInclude(IncludeResult*) override {}  // owned by results_

 private:
  IncludeResult* lookup(const char* header) {
    const char* text = find_source(header);
    if (!text) return nullptr;
    results_.push_back(std::make_unique<IncludeResult>(header, text, std::strlen(text), nullptr));
    return results_.back().get();
  }
  std::vector<std::unique_ptr<IncludeResult>> results_;
};

struct GlslangProcess {
  GlslangProcess() { glslang::InitializeProcess(); }
  ~GlslangProcess() { glslang::FinalizeProcess(); }
};

template <typename T, typename D>
void destroy(VkDevice d, T& handle, D fn) {
  if (handle) fn(d, handle, nullptr);
  handle = VK_NULL_HANDLE;
}

}  // namespace

const char* kernel_name(Kernel k) { return kPipelines[static_cast<int>(k)].name; }

bool compile_glsl(const char* name, const std::string& source, const char* defines,
                  std::vector<uint32_t>* spirv, std::string* error) {
  static GlslangProcess process;  // once per process; glslang keeps global tables
  glslang::TShader shader(EShLangCompute);
  const char* text = source.c_str();
  shader.setStringsWithLengthsAndNames(&text, nullptr, &name, 1);
  shader.setPreamble(defines);
  shader.setEnvInput(glslang::EShSourceGlsl, EShLangCompute, glslang::EShClientVulkan, 100);
  shader.setEnvClient(glslang::EShClientVulkan, glslang::EShTargetVulkan_1_2);
  shader.setEnvTarget(glslang::EShTargetSpv, glslang::EShTargetSpv_1_5);
  EmbeddedIncluder includer;
  const auto messages = static_cast<EShMessages>(EShMsgSpvRules | EShMsgVulkanRules);
  if (!shader.parse(GetDefaultResources(), 450, false, messages, includer)) {
    *error = shader.getInfoLog();
    return false;
  }
  glslang::TProgram program;
  program.addShader(&shader);
  if (!program.link(messages)) {
    *error = program.getInfoLog();
    return false;
  }
  spirv->clear();
  glslang::GlslangToSpv(*program.getIntermediate(EShLangCompute), *spirv);
  return !spirv->empty();
}

Pipelines::~Pipelines() {
  VkDevice d = device_.device;
  for (Pipeline& p : pipelines_) {
    destroy(d, p.pipeline, vkDestroyPipeline);
    destroy(d, p.layout, vkDestroyPipelineLayout);
    destroy(d, p.set_layout, vkDestroyDescriptorSetLayout);
  }
}

void Pipelines::build() {
  VkDevice d = device_.device;
  const char* broken = std::getenv("ORVANE_GPU_BREAK_SHADER");
  VkPipelineCache cache = open_pipeline_cache(device_);
  for (int i = 0; i < kKernelCount; i++) {
    const PipelineDesc& desc = kPipelines[i];
    const char* text = find_source(desc.file);
    std::string source = text ? text : "";
    if (broken && std::strcmp(broken, desc.name) == 0) source += "\n#error injected shader fault\n";
    std::vector<uint32_t> spirv;
    std::string log;
    if (!compile_glsl(desc.file, source, desc.defines, &spirv, &log)) {
      // The log's first line names the file, the line and the fault.
      std::fprintf(stderr, "Vulkan shaders: compilation failed: %s: %s\n", desc.name,
                   log.substr(0, log.find('\n')).c_str());
      continue;
    }
    Pipeline& p = pipelines_[i];
    p.buffers = desc.buffers;
    p.local_size = desc.local_size;
    p.writes = desc.writes;
    p.tile_m = desc.tile_m;
    p.tile_n = desc.tile_n;
    std::vector<VkDescriptorSetLayoutBinding> bindings(desc.buffers);
    for (uint32_t b = 0; b < desc.buffers; b++)
      bindings[b] = {b, VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, 1, VK_SHADER_STAGE_COMPUTE_BIT, nullptr};
    VkDescriptorSetLayoutCreateInfo sci{VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO};
    sci.bindingCount = desc.buffers;
    sci.pBindings = bindings.data();
    const VkPushConstantRange push{VK_SHADER_STAGE_COMPUTE_BIT, 0, kPushBytes};
    VkPipelineLayoutCreateInfo lci{VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO};
    lci.setLayoutCount = 1;
    lci.pSetLayouts = &p.set_layout;
    lci.pushConstantRangeCount = 1;
    lci.pPushConstantRanges = &push;
    VkShaderModuleCreateInfo mci{VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO};
    mci.codeSize = spirv.size() * sizeof(uint32_t);
    mci.pCode = spirv.data();
    VkShaderModule module = VK_NULL_HANDLE;
    if (vkCreateDescriptorSetLayout(d, &sci, nullptr, &p.set_layout) != VK_SUCCESS ||
        vkCreatePipelineLayout(d, &lci, nullptr, &p.layout) != VK_SUCCESS ||
        vkCreateShaderModule(d, &mci, nullptr, &module) != VK_SUCCESS) {
      destroy(d, p.layout, vkDestroyPipelineLayout);
      destroy(d, p.set_layout, vkDestroyDescriptorSetLayout);
      continue;
    }
    const uint32_t values[4] = {desc.local_size, desc.tile_m, desc.tile_n, desc.tile_k};
    const VkSpecializationMapEntry entries[4] = {
        {0, 0, 4}, {1, 4, 4}, {2, 8, 4}, {3, 12, 4}};
    const VkSpecializationInfo specialization{desc.tile_m ? 4u : 1u, entries, sizeof values, values};
    VkComputePipelineCreateInfo pci{VK_STRUCTURE_TYPE_COMPUTE_PIPELINE_CREATE_INFO};
    pci.stage = {VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO};
    pci.stage.stage = VK_SHADER_STAGE_COMPUTE_BIT;
    pci.stage.module = module;
    pci.stage.pName = "main";
    pci.stage.pSpecializationInfo = &specialization;
    pci.layout = p.layout;
    if (vkCreateComputePipelines(d, cache, 1, &pci, nullptr, &p.pipeline) != VK_SUCCESS)
      p.pipeline = VK_NULL_HANDLE;
    vkDestroyShaderModule(d, module, nullptr);
  }
  close_pipeline_cache(device_, cache);
}

const Pipeline* Pipelines::get(Kernel k) const {
  const Pipeline& p = pipelines_[static_cast<int>(k)];
  return p.pipeline ? &p : nullptr;
}

bool Pipelines::catalogue_complete() const {
  for (int i = 0; i < kCatalogueSize; i++)
    if (!pipelines_[i].pipeline) return false;
  return true;
}

}  // namespace gpu
