// GPU buffers (RAII) and the command recorder that fills, runs and reads them: one command
// buffer per operation (or one recorded once and run many times), a barrier before each command that touches a buffer an earlier command
// since the last barrier wrote (or writes one such a command read), one wait at the end. The recorder holds a
// reference to every buffer its commands use, so none is destroyed before the device is done
// with it, whatever the caller drops meanwhile.
#ifndef ORVANE_GPU_BUFFER_H
#define ORVANE_GPU_BUFFER_H

#include <vulkan/vulkan.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <span>
#include <vector>

#include "gpu/device.h"
#include "gpu/pipelines.h"

namespace gpu {

enum class Memory {
  device,  // device-local; host-mapped where the device has unified memory
  host,    // host-visible and coherent: staging, and memory the CPU code works in directly
};

class Buffer : public std::enable_shared_from_this<Buffer> {
 public:
  // Null when the device refuses (reported once per process on standard error).
  static std::shared_ptr<Buffer> create(Device& device, uint64_t bytes, Memory where);
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer();

  VkBuffer handle() const { return buffer_; }
  uint64_t size() const { return size_; }
  void* mapped() const { return mapped_; }  // null unless host-visible

 private:
  Buffer(Device& device, Memory where) : device_(device), where_(where) {}
  Device& device_;
  Memory where_;
  VkBuffer buffer_ = VK_NULL_HANDLE;
  VkDeviceMemory memory_ = VK_NULL_HANDLE;
  uint64_t size_ = 0;
  void* mapped_ = nullptr;
};
using BufferRef = std::shared_ptr<Buffer>;

// Bytes of Memory::device buffers alive now, whoever holds them.
uint64_t device_bytes();

// Test hook: allocations above BYTES are refused as if by the device (0 lifts the limit).
void refuse_allocations_over(uint64_t bytes);

// A buffer bound to one kernel argument: BYTES from OFFSET (the rest of the buffer when 0).
struct Binding {
  const Buffer* buffer;
  uint64_t offset = 0;
  uint64_t bytes = 0;
};

// Whether a recorder's commands run once or are replayed.
enum class Replay { once, many };

class Recorder {
 public:
  // A one-shot recorder holds the device's submission lock for its whole life. A replayed one
  // has a command pool of its own and takes no lock: its owner records and runs it under the
  // lock, and lets it go only between runs.
  Recorder(Device& device, const Pipelines& pipelines, Replay replay = Replay::once);
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;
  ~Recorder();

  // False once anything failed; a failed recorder never runs.
  bool ok() const { return ok_; }
  void fail() { ok_ = false; }
  const Device& device() const { return device_; }
  const Pipeline* pipeline(Kernel k) const { return pipelines_.get(k); }

  void upload(const Buffer& dst, uint64_t offset, const void* src, uint64_t bytes);
  // The bytes land in DST when run() returns true.
  void download(const Buffer& src, uint64_t offset, void* dst, uint64_t bytes);
  void copy(const Buffer& src, uint64_t src_offset, const Buffer& dst, uint64_t dst_offset,
            uint64_t bytes);
  // GROUPS workgroups of kernel K (split over two grid dimensions beyond the device's limit);
  // ARGS is the kernel's push-constant block. Fails when the pipeline is missing or a binding
  // exceeds the device's largest storage-buffer range.
  void dispatch(Kernel k, std::span<const Binding> bindings, const void* args, uint32_t args_bytes,
                uint64_t groups);
  void dispatch(Kernel k, std::initializer_list<Binding> bindings, const void* args,
                uint32_t args_bytes, uint64_t groups) {
    dispatch(k, std::span(bindings.begin(), bindings.size()), args, args_bytes, groups);
  }
  template <typename Args>
  void dispatch(Kernel k, std::initializer_list<Binding> bindings, const Args& args,
                uint64_t groups) {
    static_assert(sizeof(Args) <= kPushBytes);
    dispatch(k, bindings, &args, sizeof args, groups);
  }
  // One invocation per element of N, in workgroups of the kernel's width.
  template <typename Args>
  void dispatch_elements(Kernel k, std::initializer_list<Binding> bindings, const Args& args,
                         uint64_t n) {
    const Pipeline* p = pipelines_.get(k);
    dispatch(k, bindings, args, p ? (n + p->local_size - 1) / p->local_size : 0);
  }

  // Kernel dispatches, barriers, buffer copies and descriptor writes recorded so far.
  uint32_t dispatches() const { return dispatches_; }
  uint32_t barriers() const { return barriers_; }
  uint32_t copies() const { return copies_; }
  uint32_t descriptor_writes() const { return descriptor_writes_; }
  // Nothing was recorded to run on the device.
  bool empty() const { return dispatches_ == 0 && copies_ == 0; }

  // Submits, waits and finishes the downloads. False when the recorder failed or the device did.
  // The first run ends the recording; a Replay::many recorder may then run again.
  bool run();

 private:
  struct Access {
    const Buffer* buffer;
    bool write;
  };
  // Puts a barrier before a command with these accesses when it depends on the commands since the
  // last barrier, then counts its accesses among theirs.
  void order(std::span<const Access> accesses);
  void barrier();
  void hold(const Buffer& b);
  VkDescriptorSet allocate_set(VkDescriptorSetLayout layout);

  Device& device_;
  const Pipelines& pipelines_;
  Replay replay_;
  VkCommandPool own_pool_ = VK_NULL_HANDLE;  // Replay::many
  VkCommandBuffer cmd_ = VK_NULL_HANDLE;
  bool ended_ = false;
  std::vector<VkDescriptorPool> pools_;
  std::vector<std::shared_ptr<const Buffer>> held_;  // every buffer a recorded command uses
  std::vector<std::function<void()>> after_;  // host copies once the GPU is done
  bool ok_ = true;
  std::vector<const Buffer*> written_, read_;  // by the commands since the last barrier
  uint32_t dispatches_ = 0, barriers_ = 0, copies_ = 0, descriptor_writes_ = 0;
};

// Fills BYTES of DST at OFFSET from host memory now (a mapped copy, or a staged transfer that it
// waits for). False when the device fails.
bool write_buffer(Device& device, const Pipelines& pipelines, const Buffer& dst, uint64_t offset,
                  const void* src, uint64_t bytes);

}  // namespace gpu

#endif
