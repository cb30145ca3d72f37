#include "gpu/buffer.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

namespace gpu {

namespace {

std::atomic<uint64_t> g_refuse_over{0};
std::atomic<bool> g_refusal_reported{false};
std::atomic<uint64_t> g_device_bytes{0};

void report_refusal(uint64_t bytes) {
  if (!g_refusal_reported.exchange(true))
    std::fprintf(stderr,
                 "Vulkan: the device refused %.1f MB of memory; work that needs it runs on the CPU\n",
                 static_cast<double>(bytes) / 1048576.0);
}

// The first memory type allowed by BITS that has every flag of WANT, or -1.
int find_type(const VkPhysicalDeviceMemoryProperties& mp, uint32_t bits, VkMemoryPropertyFlags want) {
  for (uint32_t i = 0; i < mp.memoryTypeCount; i++)
    if ((bits & (1u << i)) && (mp.memoryTypes[i].propertyFlags & want) == want)
      return static_cast<int>(i);
  return -1;
}

int choose_type(const Device& d, uint32_t bits, Memory where) {
  constexpr VkMemoryPropertyFlags local = VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT;
  constexpr VkMemoryPropertyFlags mappable =
      VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
  int t = -1;
  if (where == Memory::host) {
    t = find_type(d.memory, bits, mappable | VK_MEMORY_PROPERTY_HOST_CACHED_BIT);
    if (t < 0) t = find_type(d.memory, bits, mappable);
    return t;
  }
  if (d.unified_memory) t = find_type(d.memory, bits, local | mappable);
  if (t < 0) t = find_type(d.memory, bits, local);
  if (t < 0) t = find_type(d.memory, bits, 0);
  return t;
}

// Host writes need no barrier: the submission makes every earlier host write visible.
constexpr VkMemoryBarrier kFullBarrier{
    VK_STRUCTURE_TYPE_MEMORY_BARRIER, nullptr,
    VK_ACCESS_SHADER_WRITE_BIT | VK_ACCESS_TRANSFER_WRITE_BIT,
    VK_ACCESS_SHADER_READ_BIT | VK_ACCESS_SHADER_WRITE_BIT | VK_ACCESS_TRANSFER_READ_BIT |
        VK_ACCESS_TRANSFER_WRITE_BIT};
constexpr VkPipelineStageFlags kWorkStages =
    VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT | VK_PIPELINE_STAGE_TRANSFER_BIT;

}  // namespace

void refuse_allocations_over(uint64_t bytes) { g_refuse_over = bytes; }

uint64_t device_bytes() { return g_device_bytes; }

std::shared_ptr<Buffer> Buffer::create(Device& device, uint64_t bytes, Memory where) {
  bytes = std::max<uint64_t>((bytes + 3) / 4 * 4, 16);  // shaders read whole 32-bit words
  const uint64_t limit = g_refuse_over;
  if (limit && bytes > limit) {
    report_refusal(bytes);
    return nullptr;
  }
  std::shared_ptr<Buffer> b(new Buffer(device, where));  // private constructor: make_shared cannot reach it
  VkBufferCreateInfo bci{VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO};
  bci.size = bytes;
  bci.usage = VK_BUFFER_USAGE_STORAGE_BUFFER_BIT | VK_BUFFER_USAGE_TRANSFER_SRC_BIT |
              VK_BUFFER_USAGE_TRANSFER_DST_BIT;
  bci.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
  if (vkCreateBuffer(device.device, &bci, nullptr, &b->buffer_) != VK_SUCCESS) {
    b->buffer_ = VK_NULL_HANDLE;
    report_refusal(bytes);
    return nullptr;
  }
  VkMemoryRequirements req;
  vkGetBufferMemoryRequirements(device.device, b->buffer_, &req);
  const int type = choose_type(device, req.memoryTypeBits, where);
  VkMemoryAllocateInfo mai{VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO};
  mai.allocationSize = req.size;
  mai.memoryTypeIndex = static_cast<uint32_t>(type);
  if (type < 0 || vkAllocateMemory(device.device, &mai, nullptr, &b->memory_) != VK_SUCCESS) {
    b->memory_ = VK_NULL_HANDLE;
    report_refusal(bytes);
    return nullptr;
  }
  if (vkBindBufferMemory(device.device, b->buffer_, b->memory_, 0) != VK_SUCCESS) return nullptr;
  const VkMemoryPropertyFlags flags = device.memory.memoryTypes[type].propertyFlags;
  // Device buffers are mapped only on unified memory, so a device treated as discrete takes the
  // staged path even where its memory could be mapped.
  const bool mappable = where == Memory::host || device.unified_memory;
  if (mappable && (flags & VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT) &&
      (flags & VK_MEMORY_PROPERTY_HOST_COHERENT_BIT) &&
      vkMapMemory(device.device, b->memory_, 0, VK_WHOLE_SIZE, 0, &b->mapped_) != VK_SUCCESS)
    b->mapped_ = nullptr;
  if (where == Memory::host && !b->mapped_) return nullptr;
  b->size_ = bytes;
  if (where == Memory::device) g_device_bytes += bytes;
  return b;
}

Buffer::~Buffer() {
  if (where_ == Memory::device) g_device_bytes -= size_;
  if (mapped_) vkUnmapMemory(device_.device, memory_);
  if (buffer_) vkDestroyBuffer(device_.device, buffer_, nullptr);
  if (memory_) vkFreeMemory(device_.device, memory_, nullptr);
}

Recorder::Recorder(Device& device, const Pipelines& pipelines, Replay replay)
    : device_(device), pipelines_(pipelines), replay_(replay) {
  VkCommandBufferAllocateInfo ai{VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO};
  ai.commandPool = device_.command_pool;
  ai.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
  ai.commandBufferCount = 1;
  VkCommandBufferBeginInfo bi{VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO};
  if (replay_ == Replay::once) {
    device_.submit_lock.lock();
    bi.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
  } else {
    VkCommandPoolCreateInfo pci{VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO};
    pci.queueFamilyIndex = device_.queue_family;
    if (vkCreateCommandPool(device_.device, &pci, nullptr, &own_pool_) != VK_SUCCESS) {
      own_pool_ = VK_NULL_HANDLE;
      ok_ = false;
      return;
    }
    ai.commandPool = own_pool_;
  }
  if (vkAllocateCommandBuffers(device_.device, &ai, &cmd_) != VK_SUCCESS) {
    cmd_ = VK_NULL_HANDLE;
    ok_ = false;
  } else if (vkBeginCommandBuffer(cmd_, &bi) != VK_SUCCESS) {
    ok_ = false;
  }
}

Recorder::~Recorder() {
  if (own_pool_) {
    vkDestroyCommandPool(device_.device, own_pool_, nullptr);  // frees the command buffer
  } else if (cmd_) {
    vkFreeCommandBuffers(device_.device, device_.command_pool, 1, &cmd_);
  }
  for (VkDescriptorPool p : pools_) vkDestroyDescriptorPool(device_.device, p, nullptr);
  held_.clear();
  if (replay_ == Replay::once) device_.submit_lock.unlock();
}

void Recorder::hold(const Buffer& b) {
  if (held_.empty() || held_.back().get() != &b) held_.push_back(b.shared_from_this());
}

void Recorder::barrier() {
  vkCmdPipelineBarrier(cmd_, kWorkStages, kWorkStages, 0, 1, &kFullBarrier, 0, nullptr, 0, nullptr);
  written_.clear();
  read_.clear();
  barriers_++;
}

void Recorder::order(std::span<const Access> accesses) {
  auto seen = [](const std::vector<const Buffer*>& list, const Buffer* b) {
    return std::find(list.begin(), list.end(), b) != list.end();
  };
  for (const Access& a : accesses) {
    if (seen(written_, a.buffer) || (a.write && seen(read_, a.buffer))) {
      barrier();
      break;
    }
  }
  for (const Access& a : accesses) (a.write ? written_ : read_).push_back(a.buffer);
}

void Recorder::upload(const Buffer& dst, uint64_t offset, const void* src, uint64_t bytes) {
  if (!ok_ || ended_ || bytes == 0) return;
  if (dst.mapped()) {
    std::memcpy(static_cast<char*>(dst.mapped()) + offset, src, bytes);
    return;
  }
  BufferRef stage = Buffer::create(device_, bytes, Memory::host);
  if (!stage) {
    ok_ = false;
    return;
  }
  std::memcpy(stage->mapped(), src, bytes);
  copy(*stage, 0, dst, offset, bytes);
}

void Recorder::download(const Buffer& src, uint64_t offset, void* dst, uint64_t bytes) {
  if (!ok_ || ended_ || bytes == 0) return;
  if (src.mapped()) {
    hold(src);
    const char* from = static_cast<const char*>(src.mapped()) + offset;
    after_.push_back([=] { std::memcpy(dst, from, bytes); });
    return;
  }
  BufferRef stage = Buffer::create(device_, bytes, Memory::host);
  if (!stage) {
    ok_ = false;
    return;
  }
  copy(src, offset, *stage, 0, bytes);
  const void* from = stage->mapped();
  after_.push_back([=] { std::memcpy(dst, from, bytes); });
}

void Recorder::copy(const Buffer& src, uint64_t src_offset, const Buffer& dst, uint64_t dst_offset,
                    uint64_t bytes) {
  if (!ok_ || ended_ || bytes == 0) return;
  const Access accesses[2] = {{&src, false}, {&dst, true}};
  order(accesses);
  hold(src);
  hold(dst);
  const VkBufferCopy region{src_offset, dst_offset, bytes};
  vkCmdCopyBuffer(cmd_, src.handle(), dst.handle(), 1, &region);
  copies_++;
}

VkDescriptorSet Recorder::allocate_set(VkDescriptorSetLayout layout) {
  VkDescriptorSetAllocateInfo ai{VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO};
  ai.descriptorSetCount = 1;
  ai.pSetLayouts = &layout;
  VkDescriptorSet set = VK_NULL_HANDLE;
  if (!pools_.empty()) {
    ai.descriptorPool = pools_.back();
    if (vkAllocateDescriptorSets(device_.device, &ai, &set) == VK_SUCCESS) return set;
  }
  const VkDescriptorPoolSize size{VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, 256};
  VkDescriptorPoolCreateInfo pci{VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO};
  pci.maxSets = 64;
  pci.poolSizeCount = 1;
  pci.pPoolSizes = &size;
  VkDescriptorPool pool = VK_NULL_HANDLE;
  if (vkCreateDescriptorPool(device_.device, &pci, nullptr, &pool) != VK_SUCCESS) return VK_NULL_HANDLE;
  pools_.push_back(pool);
  ai.descriptorPool = pool;
  if (vkAllocateDescriptorSets(device_.device, &ai, &set) != VK_SUCCESS) return VK_NULL_HANDLE;
  return set;
}

void Recorder::dispatch(Kernel k, std::span<const Binding> bindings, const void* args,
                        uint32_t args_bytes, uint64_t groups) {
  if (!ok_ || ended_) return;
  const Pipeline* p = pipelines_.get(k);
  if (!p || bindings.size() != p->buffers || args_bytes > kPushBytes) {
    ok_ = false;
    return;
  }
  if (groups == 0) return;
  const VkPhysicalDeviceLimits& lim = device_.props.limits;
  const uint64_t gx = std::min<uint64_t>(groups, lim.maxComputeWorkGroupCount[0]);
  const uint64_t gy = (groups + gx - 1) / gx;
  VkDescriptorBufferInfo infos[8];
  VkWriteDescriptorSet writes[8];
  const VkDescriptorSet set = allocate_set(p->set_layout);
  if (!set || gy > lim.maxComputeWorkGroupCount[1] || bindings.size() > 8) {
    ok_ = false;
    return;
  }
  uint32_t i = 0;
  for (const Binding& b : bindings) {
    // A binding past the end of its buffer would have the kernel read or write memory that is
    // not the buffer's: refuse it. Ranges cover whole words (kernels read 8- and 16-bit data as
    // 32-bit words; buffer sizes are whole words).
    const uint64_t size = b.buffer->size();
    if (b.offset > size || b.bytes > size - b.offset) {
      ok_ = false;
      return;
    }
    const uint64_t range = b.bytes ? std::min((b.bytes + 3) / 4 * 4, size - b.offset) : size - b.offset;
    if (range > device_.max_binding() || b.offset % device_.offset_alignment() != 0) {
      ok_ = false;
      return;
    }
    hold(*b.buffer);
    infos[i] = {b.buffer->handle(), b.offset, range};
    writes[i] = {VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET};
    writes[i].dstSet = set;
    writes[i].dstBinding = i;
    writes[i].descriptorCount = 1;
    writes[i].descriptorType = VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
    writes[i].pBufferInfo = &infos[i];
    i++;
  }
  vkUpdateDescriptorSets(device_.device, i, writes, 0, nullptr);
  descriptor_writes_ += i;
  uint8_t block[kPushBytes] = {};
  std::memcpy(block, args, args_bytes);
  Access accesses[8];
  uint32_t b = 0;
  for (const Binding& binding : bindings) {
    accesses[b] = {binding.buffer, ((p->writes >> b) & 1u) != 0};
    b++;
  }
  order(std::span(accesses, b));
  vkCmdBindPipeline(cmd_, VK_PIPELINE_BIND_POINT_COMPUTE, p->pipeline);
  vkCmdBindDescriptorSets(cmd_, VK_PIPELINE_BIND_POINT_COMPUTE, p->layout, 0, 1, &set, 0, nullptr);
  vkCmdPushConstants(cmd_, p->layout, VK_SHADER_STAGE_COMPUTE_BIT, 0, kPushBytes, block);
  vkCmdDispatch(cmd_, static_cast<uint32_t>(gx), static_cast<uint32_t>(gy), 1);
  dispatches_++;
}

bool Recorder::run() {
  if (!ok_) return false;
  if (replay_ == Replay::once) ok_ = false;  // a one-shot recorder runs once
  if (!ended_) {
    const VkMemoryBarrier to_host{VK_STRUCTURE_TYPE_MEMORY_BARRIER, nullptr,
                                  VK_ACCESS_SHADER_WRITE_BIT | VK_ACCESS_TRANSFER_WRITE_BIT,
                                  VK_ACCESS_HOST_READ_BIT};
    vkCmdPipelineBarrier(cmd_, kWorkStages, VK_PIPELINE_STAGE_HOST_BIT, 0, 1, &to_host, 0, nullptr,
                         0, nullptr);
    ended_ = true;
    if (vkEndCommandBuffer(cmd_) != VK_SUCCESS) return ok_ = false;
  }
  VkFenceCreateInfo fci{VK_STRUCTURE_TYPE_FENCE_CREATE_INFO};
  VkFence fence = VK_NULL_HANDLE;
  if (vkCreateFence(device_.device, &fci, nullptr, &fence) != VK_SUCCESS) return false;
  VkSubmitInfo si{VK_STRUCTURE_TYPE_SUBMIT_INFO};
  si.commandBufferCount = 1;
  si.pCommandBuffers = &cmd_;
  const bool done = vkQueueSubmit(device_.queue, 1, &si, fence) == VK_SUCCESS &&
                    vkWaitForFences(device_.device, 1, &fence, VK_TRUE, UINT64_MAX) == VK_SUCCESS;
  vkDestroyFence(device_.device, fence, nullptr);
  if (!done) return ok_ = false;
  for (auto& f : after_) f();
  return true;
}

bool write_buffer(Device& device, const Pipelines& pipelines, const Buffer& dst, uint64_t offset,
                  const void* src, uint64_t bytes) {
  if (dst.mapped()) {
    std::memcpy(static_cast<char*>(dst.mapped()) + offset, src, bytes);
    return true;
  }
  Recorder rec(device, pipelines);
  rec.upload(dst, offset, src, bytes);
  return rec.run();
}

}  // namespace gpu
