// The Vulkan device of the GPU backend: instance, the chosen physical device, the logical device
// with one compute queue, and one-shot command buffers on it.
#ifndef ORVANE_GPU_DEVICE_H
#define ORVANE_GPU_DEVICE_H

#include <vulkan/vulkan.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace gpu {

// What the backend needs of a device, read from it (or made up by tests).
struct DeviceTraits {
  uint32_t api_version = 0;
  VkPhysicalDeviceType type = VK_PHYSICAL_DEVICE_TYPE_OTHER;
  bool compute_queue = false;
  bool storage_16bit = false;
  bool storage_8bit = false;
  bool subgroup_arithmetic = false;  // in compute shaders
};

// Why the backend cannot use a device with these traits, or null when it can. CPU devices are
// refused unless ALLOW_CPU.
const char* device_rejection(const DeviceTraits& t, bool allow_cpu);

struct Device {
  VkInstance instance = VK_NULL_HANDLE;
  VkPhysicalDevice physical = VK_NULL_HANDLE;
  VkDevice device = VK_NULL_HANDLE;
  VkQueue queue = VK_NULL_HANDLE;
  uint32_t queue_family = 0;
  VkCommandPool command_pool = VK_NULL_HANDLE;
  VkPhysicalDeviceProperties props{};
  VkPhysicalDeviceMemoryProperties memory{};
  uint32_t subgroup_size = 0;
  bool cooperative_matrix = false;  // VK_NV_cooperative_matrix with 16x16x16 f16 -> f32 tiles
  bool unified_memory = false;      // device-local memory the host can map (integrated, CPU)
  VkDebugUtilsMessengerEXT messenger = VK_NULL_HANDLE;  // with ORVANE_GPU_VALIDATION=1
  std::recursive_mutex submit_lock;  // held by each recorder: the command pool and the queue

  Device() = default;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  ~Device();

  uint64_t max_binding() const { return props.limits.maxStorageBufferRange; }
  uint64_t offset_alignment() const { return props.limits.minStorageBufferOffsetAlignment; }
};

// Opens the device ORVANE_GPU_DEVICE names, or the first usable one (discrete before integrated
// before the rest). Null with REASON set when there is none.
// ORVANE_GPU_VALIDATION=1 runs it under the Khronos validation layer with synchronisation
// validation; every error the layer reports is printed and counted (validation_errors()).
// ORVANE_GPU_AS_DISCRETE=1 treats the device as discrete whatever it is: device buffers are never
// mapped, so uploads and read-backs go through staging buffers as on a card with its own memory.
std::unique_ptr<Device> open_device(std::string* reason);

// Validation errors reported since the process started.
uint64_t validation_errors();

}  // namespace gpu

#endif
