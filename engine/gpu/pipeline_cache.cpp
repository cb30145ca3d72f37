#include "gpu/pipeline_cache.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace gpu {

namespace {

// The header every pipeline-cache blob starts with (version one).
bool header_matches(const std::vector<char>& data, const VkPhysicalDeviceProperties& p) {
  if (data.size() < 16 + VK_UUID_SIZE) return false;
  uint32_t words[4];
  std::memcpy(words, data.data(), sizeof words);
  return words[0] >= 16 + VK_UUID_SIZE && words[1] == VK_PIPELINE_CACHE_HEADER_VERSION_ONE &&
         words[2] == p.vendorID && words[3] == p.deviceID &&
         std::memcmp(data.data() + 16, p.pipelineCacheUUID, VK_UUID_SIZE) == 0;
}

}  // namespace

std::string pipeline_cache_path(const Device& device) {
  std::string dir;
  if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg)
    dir = xdg;
  else if (const char* home = std::getenv("HOME"); home && *home)
    dir = std::string(home) + "/.cache";
  else
    return {};
  char name[64];
  std::snprintf(name, sizeof name, "/orvane/vulkan-pipelines-%04x-%04x.bin",
                device.props.vendorID, device.props.deviceID);
  return dir + name;
}

VkPipelineCache open_pipeline_cache(const Device& device) {
  std::vector<char> data;
  if (const std::string path = pipeline_cache_path(device); !path.empty()) {
    std::ifstream in(path, std::ios::binary);
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!header_matches(data, device.props)) data.clear();
  }
  VkPipelineCacheCreateInfo ci{VK_STRUCTURE_TYPE_PIPELINE_CACHE_CREATE_INFO};
  ci.initialDataSize = data.size();
  ci.pInitialData = data.empty() ? nullptr : data.data();
  VkPipelineCache cache = VK_NULL_HANDLE;
  if (vkCreatePipelineCache(device.device, &ci, nullptr, &cache) == VK_SUCCESS) return cache;
  ci.initialDataSize = 0;  // a driver that rejects the old data still gets a fresh cache
  ci.pInitialData = nullptr;
  if (vkCreatePipelineCache(device.device, &ci, nullptr, &cache) == VK_SUCCESS) return cache;
  return VK_NULL_HANDLE;
}

void close_pipeline_cache(const Device& device, VkPipelineCache cache) {
  if (!cache) return;
  size_t size = 0;
  std::vector<char> data;
  if (vkGetPipelineCacheData(device.device, cache, &size, nullptr) == VK_SUCCESS && size > 0) {
    data.resize(size);
    if (vkGetPipelineCacheData(device.device, cache, &size, data.data()) != VK_SUCCESS) data.clear();
    data.resize(size);
  }
  vkDestroyPipelineCache(device.device, cache, nullptr);
  const std::string path = pipeline_cache_path(device);
  if (data.empty() || path.empty()) return;
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  const std::string tmp = path + "." + std::to_string(getpid()) + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!out.flush()) {
      out.close();
      std::remove(tmp.c_str());
      return;
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) std::remove(tmp.c_str());
}

}  // namespace gpu
