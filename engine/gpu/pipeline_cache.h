// The VkPipelineCache of the backend, read from and written to
// $XDG_CACHE_HOME/orvane/ (~/.cache/orvane/ without it), one file per device model, so a second
// start reuses the driver's compiled pipelines.
#ifndef ORVANE_GPU_PIPELINE_CACHE_H
#define ORVANE_GPU_PIPELINE_CACHE_H

#include <vulkan/vulkan.h>

#include <string>

#include "gpu/device.h"

namespace gpu {

// The cache file for DEVICE; empty when neither XDG_CACHE_HOME nor HOME is set.
std::string pipeline_cache_path(const Device& device);

// A pipeline cache holding the file's data when the file was written for this device and driver
// (anything else is ignored), empty otherwise. VK_NULL_HANDLE only when Vulkan refuses.
VkPipelineCache open_pipeline_cache(const Device& device);

// Writes the cache's data to its file (through a temporary file and a rename, so readers never see
// half a file) and destroys the cache. Failures to write are not errors: the next start compiles.
void close_pipeline_cache(const Device& device, VkPipelineCache cache);

}  // namespace gpu

#endif
