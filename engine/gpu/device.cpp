#include "gpu/device.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace gpu {

namespace {

// Lower ranks are tried first.
int type_rank(VkPhysicalDeviceType type) {
  switch (type) {
    case VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU: return 0;
    case VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU: return 1;
    case VK_PHYSICAL_DEVICE_TYPE_VIRTUAL_GPU: return 2;
    case VK_PHYSICAL_DEVICE_TYPE_CPU: return 3;
    case VK_PHYSICAL_DEVICE_TYPE_OTHER: return 4;
    case VK_PHYSICAL_DEVICE_TYPE_MAX_ENUM: break;
  }
  return 5;
}

// The compute queue family, or -1.
int compute_family(VkPhysicalDevice pd) {
  uint32_t n = 0;
  vkGetPhysicalDeviceQueueFamilyProperties(pd, &n, nullptr);
  std::vector<VkQueueFamilyProperties> fam(n);
  vkGetPhysicalDeviceQueueFamilyProperties(pd, &n, fam.data());
  for (uint32_t i = 0; i < n; i++)
    if (fam[i].queueFlags & VK_QUEUE_COMPUTE_BIT) return static_cast<int>(i);
  return -1;
}

DeviceTraits read_traits(VkPhysicalDevice pd) {
  DeviceTraits t;
  VkPhysicalDeviceSubgroupProperties sub{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_SUBGROUP_PROPERTIES};
  VkPhysicalDeviceProperties2 props{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_PROPERTIES_2, &sub};
  vkGetPhysicalDeviceProperties2(pd, &props);
  t.api_version = props.properties.apiVersion;
  t.type = props.properties.deviceType;
  t.compute_queue = compute_family(pd) >= 0;
  t.subgroup_arithmetic = (sub.supportedStages & VK_SHADER_STAGE_COMPUTE_BIT) &&
                          (sub.supportedOperations & VK_SUBGROUP_FEATURE_ARITHMETIC_BIT);
  if (t.api_version < VK_API_VERSION_1_2) return t;  // the feature structs below need 1.2
  VkPhysicalDeviceVulkan12Features f12{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_2_FEATURES};
  VkPhysicalDeviceVulkan11Features f11{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_1_FEATURES, &f12};
  VkPhysicalDeviceFeatures2 f{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2, &f11};
  vkGetPhysicalDeviceFeatures2(pd, &f);
  t.storage_16bit = f11.storageBuffer16BitAccess;
  t.storage_8bit = f12.storageBuffer8BitAccess;
  return t;
}

bool env_is(const char* name, const char* value) {
  const char* v = std::getenv(name);
  return v && std::strcmp(v, value) == 0;
}

std::atomic<uint64_t> g_validation_errors{0};

VKAPI_ATTR VkBool32 VKAPI_CALL on_validation_message(
    VkDebugUtilsMessageSeverityFlagBitsEXT severity, VkDebugUtilsMessageTypeFlagsEXT,
    const VkDebugUtilsMessengerCallbackDataEXT* data, void*) {
  if (severity & VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT) {
    g_validation_errors++;
    std::fprintf(stderr, "Vulkan validation error: %s\n", data->pMessage ? data->pMessage : "");
  }
  return VK_FALSE;  // the call goes on as the application made it
}

VkDebugUtilsMessengerCreateInfoEXT messenger_info() {
  VkDebugUtilsMessengerCreateInfoEXT mi{VK_STRUCTURE_TYPE_DEBUG_UTILS_MESSENGER_CREATE_INFO_EXT};
  mi.messageSeverity = VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT;
  mi.messageType = VK_DEBUG_UTILS_MESSAGE_TYPE_GENERAL_BIT_EXT |
                   VK_DEBUG_UTILS_MESSAGE_TYPE_VALIDATION_BIT_EXT |
                   VK_DEBUG_UTILS_MESSAGE_TYPE_PERFORMANCE_BIT_EXT;
  mi.pfnUserCallback = on_validation_message;
  return mi;
}

// The instance, under the validation layer when VALIDATE (null when that layer is missing).
VkInstance create_instance(bool validate) {
  VkApplicationInfo app{VK_STRUCTURE_TYPE_APPLICATION_INFO};
  app.pApplicationName = "orvane";
  app.apiVersion = VK_API_VERSION_1_2;
  VkInstanceCreateInfo ici{VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO};
  ici.pApplicationInfo = &app;
  const char* layer = "VK_LAYER_KHRONOS_validation";
  const char* extension = VK_EXT_DEBUG_UTILS_EXTENSION_NAME;
  const VkValidationFeatureEnableEXT enables[] = {
      VK_VALIDATION_FEATURE_ENABLE_SYNCHRONIZATION_VALIDATION_EXT};
  VkValidationFeaturesEXT features{VK_STRUCTURE_TYPE_VALIDATION_FEATURES_EXT};
  features.enabledValidationFeatureCount = 1;
  features.pEnabledValidationFeatures = enables;
  VkDebugUtilsMessengerCreateInfoEXT mi = messenger_info();  // also covers instance creation
  if (validate) {
    mi.pNext = &features;
    ici.pNext = &mi;
    ici.enabledLayerCount = 1;
    ici.ppEnabledLayerNames = &layer;
    ici.enabledExtensionCount = 1;
    ici.ppEnabledExtensionNames = &extension;
  }
  VkInstance instance = VK_NULL_HANDLE;
  if (vkCreateInstance(&ici, nullptr, &instance) != VK_SUCCESS) return VK_NULL_HANDLE;
  return instance;
}

}  // namespace

const char* device_rejection(const DeviceTraits& t, bool allow_cpu) {
  if (t.api_version < VK_API_VERSION_1_2) return "Vulkan 1.2 not supported";
  if (!t.compute_queue) return "no compute queue";
  if (!t.storage_16bit) return "no 16-bit storage buffers";
  if (!t.storage_8bit) return "no 8-bit storage buffers";
  if (!t.subgroup_arithmetic) return "no subgroup arithmetic in compute shaders";
  if (t.type == VK_PHYSICAL_DEVICE_TYPE_CPU && !allow_cpu)
    return "CPU implementation only (set ORVANE_GPU_ALLOW_CPU=1 to use it)";
  return nullptr;
}

uint64_t validation_errors() { return g_validation_errors; }

Device::~Device() {
  if (device) {
    vkDeviceWaitIdle(device);
    if (command_pool) vkDestroyCommandPool(device, command_pool, nullptr);
    vkDestroyDevice(device, nullptr);
  }
  if (messenger) {
    auto destroy = reinterpret_cast<PFN_vkDestroyDebugUtilsMessengerEXT>(
        vkGetInstanceProcAddr(instance, "vkDestroyDebugUtilsMessengerEXT"));
    if (destroy) destroy(instance, messenger, nullptr);
  }
  if (instance) vkDestroyInstance(instance, nullptr);
}

std::unique_ptr<Device> open_device(std::string* reason) {
  auto d = std::make_unique<Device>();
  const bool validate = env_is("ORVANE_GPU_VALIDATION", "1");
  d->instance = create_instance(validate);
  if (!d->instance) {
    *reason = validate ? "no Vulkan driver or no validation layer (vulkan-validationlayers)"
                       : "no Vulkan driver";
    return nullptr;
  }
  if (validate) {
    auto create = reinterpret_cast<PFN_vkCreateDebugUtilsMessengerEXT>(
        vkGetInstanceProcAddr(d->instance, "vkCreateDebugUtilsMessengerEXT"));
    const VkDebugUtilsMessengerCreateInfoEXT mi = messenger_info();
    if (!create || create(d->instance, &mi, nullptr, &d->messenger) != VK_SUCCESS) {
      *reason = "cannot receive validation messages";
      return nullptr;
    }
  }
  uint32_t n = 0;
  vkEnumeratePhysicalDevices(d->instance, &n, nullptr);
  std::vector<VkPhysicalDevice> all(n);
  vkEnumeratePhysicalDevices(d->instance, &n, all.data());
  if (all.empty()) {
    *reason = "no Vulkan device";
    return nullptr;
  }

  std::vector<VkPhysicalDevice> order;
  if (const char* pick = std::getenv("ORVANE_GPU_DEVICE")) {
    const long i = std::strtol(pick, nullptr, 10);
    if (i < 0 || i >= static_cast<long>(all.size())) {
      *reason = "ORVANE_GPU_DEVICE names no device";
      return nullptr;
    }
    order.push_back(all[static_cast<size_t>(i)]);
  } else {
    order = all;
    std::stable_sort(order.begin(), order.end(), [](VkPhysicalDevice a, VkPhysicalDevice b) {
      VkPhysicalDeviceProperties pa, pb;
      vkGetPhysicalDeviceProperties(a, &pa);
      vkGetPhysicalDeviceProperties(b, &pb);
      return type_rank(pa.deviceType) < type_rank(pb.deviceType);
    });
  }
  const bool allow_cpu = env_is("ORVANE_GPU_ALLOW_CPU", "1");
  for (VkPhysicalDevice pd : order) {
    if (const char* why = device_rejection(read_traits(pd), allow_cpu)) {
      *reason = why;
      continue;
    }
    d->physical = pd;
    break;
  }
  if (!d->physical) return nullptr;

  VkPhysicalDeviceSubgroupProperties sub{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_SUBGROUP_PROPERTIES};
  VkPhysicalDeviceProperties2 props{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_PROPERTIES_2, &sub};
  vkGetPhysicalDeviceProperties2(d->physical, &props);
  d->props = props.properties;
  d->subgroup_size = sub.subgroupSize;
  vkGetPhysicalDeviceMemoryProperties(d->physical, &d->memory);
  d->unified_memory = d->props.deviceType != VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU &&
                      !env_is("ORVANE_GPU_AS_DISCRETE", "1");
  d->queue_family = static_cast<uint32_t>(compute_family(d->physical));

  const float priority = 1.0f;
  VkDeviceQueueCreateInfo qci{VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO};
  qci.queueFamilyIndex = d->queue_family;
  qci.queueCount = 1;
  qci.pQueuePriorities = &priority;
  VkPhysicalDeviceVulkan12Features f12{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_2_FEATURES};
  f12.storageBuffer8BitAccess = VK_TRUE;
  VkPhysicalDeviceVulkan11Features f11{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_1_FEATURES, &f12};
  f11.storageBuffer16BitAccess = VK_TRUE;
  VkPhysicalDeviceFeatures2 features{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2, &f11};
  VkDeviceCreateInfo dci{VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO, &features};
  dci.queueCreateInfoCount = 1;
  dci.pQueueCreateInfos = &qci;
  if (vkCreateDevice(d->physical, &dci, nullptr, &d->device) != VK_SUCCESS) {
    d->device = VK_NULL_HANDLE;
    *reason = "cannot create the Vulkan device";
    return nullptr;
  }
  vkGetDeviceQueue(d->device, d->queue_family, 0, &d->queue);
  VkCommandPoolCreateInfo pci{VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO};
  pci.flags = VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT;
  pci.queueFamilyIndex = d->queue_family;
  if (vkCreateCommandPool(d->device, &pci, nullptr, &d->command_pool) != VK_SUCCESS) {
    d->command_pool = VK_NULL_HANDLE;
    *reason = "no command queue";
    return nullptr;
  }
  return d;
}

}  // namespace gpu
