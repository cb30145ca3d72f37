// The backend's buffer layer: weights converted once and kept on the device, keyed by the
// address of their source in the mapped weight file (or in the context); a pool of reusable
// scratch buffers; host-visible allocations the CPU code and the GPU passes share (the key/value
// caches); the decoder step's input buffer; the INT8 weight table; memory accounting.
// Tables have fixed capacities and never evict: a request past a full table gets a buffer that
// is not recorded.
#ifndef ORVANE_GPU_CACHES_H
#define ORVANE_GPU_CACHES_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <utility>
#include <vector>

#include "base/half.h"
#include "gpu/buffer.h"
#include "formats/int8_table.h"

namespace gpu {

constexpr size_t kHalfCacheCapacity = 512;
constexpr size_t kFloatCacheCapacity = 512;
constexpr size_t kMergedCacheCapacity = 256;
constexpr size_t kScratchPoolCapacity = 64;
constexpr uint64_t kScratchPoolBytes = uint64_t{256} << 20;
constexpr size_t kSharedCapacity = 64;  // four per stream: encoder and decoder keys and values
constexpr size_t kInt8TableCapacity = 256;
constexpr uint32_t kInt8Group = 128;
constexpr uint64_t kGateUpRows = 4;  // rows of each matrix in a run of a gate/up INT8 matrix

// Half-precision pattern of a BF16 value.
inline constexpr auto& bf16_to_half = orv_bf16_to_f16;
// Capacity of a new pooled scratch buffer for a request of BYTES: a multiple of 64 KiB below
// 1 MiB, of 1 MiB from there.
uint64_t scratch_capacity(uint64_t bytes);
// Test hook: the scratch pool hands out and keeps only its first ENTRIES buffers (0 restores the
// default).
void limit_scratch_pool(size_t entries);

struct MatrixPart {
  const uint16_t* src;  // BF16 [rows][K]
  uint64_t count;       // rows * K
};

// A quantised matrix and the address of the BF16 matrix it was made from (its key).
struct Int8Part {
  const uint16_t* src;
  orv_int8_matrix_t q;
};

struct Int8Matrix {
  BufferRef weights;  // int8 [N][K]
  BufferRef scales;   // half [N][K / 128]
};

class Caches {
 public:
  Caches(Device& device, const Pipelines& pipelines) : device_(device), pipelines_(pipelines) {}
  Caches(const Caches&) = delete;
  Caches& operator=(const Caches&) = delete;
  // Host pointers handed out by shared_alloc stay valid until the Caches go; callers release
  // their key/value caches first.
  ~Caches() = default;

  // Half copy of COUNT BF16 values at SRC; the same buffer for the same SRC while COUNT fits it.
  BufferRef get_f16(const uint16_t* src, uint64_t count);
  // Copy of BYTES bytes at SRC (norm weights, biases, scales), keyed by address and length.
  BufferRef get_f32(const void* src, uint64_t bytes);
  // The half forms of two or three matrices of one input width, rows concatenated in argument
  // order: one product then yields [a | b (| c)]. Keyed by the first two addresses.
  BufferRef get_merged(std::initializer_list<MatrixPart> parts);

  // A scratch buffer of at least BYTES that nobody else holds: a pooled one is free again once
  // its holders (the lease and every recorder that used it) are gone. Past the pool's entry or
  // byte bound the buffer is unpooled and freed with its last holder.
  BufferRef scratch_acquire(uint64_t bytes);

  // Zero-filled host memory the GPU can bind; plain calloc memory when all slots are taken or the
  // device refuses. shared_free returns false for pointers it does not know.
  void* shared_alloc(size_t bytes);
  bool shared_free(void* host);
  BufferRef shared_buffer(const void* host);

  // Copies N floats into the decoder step's input buffer, replacing it when too small.
  bool set_decoder_input(const float* x, size_t n);
  BufferRef decoder_input() const { return decoder_input_; }

  // The device copy of the quantised matrices PARTS (one to three, of one input width) as one
  // device matrix, keyed by the BF16 addresses of the first two: rows concatenated in argument
  // order or, with GATE_UP, two matrices of equal rows interleaved four rows at a time, so that
  // the product's workgroup of eight rows holds four pairs of gate and up rows (the decoder's
  // merged Q/K/V and W1/W3). Uploaded on the first request, recorded while the table has room.
  bool int8_upload(std::initializer_list<Int8Part> parts, Int8Matrix* out, bool gate_up = false);

  // The recorded device copy of W's INT8 form (with SECOND: of the merged matrix that begins
  // with W and SECOND); false when there is none (the decoder passes then decline rather than
  // quantise in the middle of a stream).
  bool int8_find(const uint16_t* w, Int8Matrix* out, const uint16_t* second = nullptr) const;

  // Drops the entries of the weight matrices KEYS (half, merged and INT8 forms) and every float
  // entry, before the memory behind those addresses is released and may be reused for other
  // data. Float entries are small and come back on their next request.
  void forget(const std::vector<const void*>& keys);

  // Device bytes the tables hold: half, merged, float and INT8 entries, the scratch pool and the
  // decoder input.
  uint64_t memory_bytes();

  // Entry counts, for tests.
  size_t half_entries();
  size_t float_entries();
  size_t merged_entries() const { return merged_.size(); }
  size_t scratch_entries();
  size_t shared_entries() const { return shared_.size(); }
  size_t int8_entries() const { return int8_.size(); }

 private:
  struct HalfEntry { const void* src; BufferRef buffer; uint64_t count; };
  struct FloatEntry { const void* src; BufferRef buffer; uint64_t bytes; };
  struct MergedEntry { const void* a; const void* b; BufferRef buffer; uint64_t count; };
  struct SharedEntry { void* host; BufferRef buffer; };
  struct Int8Entry { const void* src; const void* second; Int8Matrix m; uint64_t numel; uint32_t k; };

  // Writes the half forms of COUNT BF16 values at SRC into DST from byte OFFSET.
  bool convert_half(const uint16_t* src, uint64_t count, const Buffer& dst, uint64_t offset);

  Device& device_;
  const Pipelines& pipelines_;
  std::mutex half_lock_, float_lock_, scratch_lock_;
  std::vector<HalfEntry> half_;
  std::vector<FloatEntry> float_;
  std::vector<MergedEntry> merged_;  // load time and the inference thread only
  std::vector<BufferRef> scratch_;
  uint64_t scratch_bytes_ = 0;
  std::vector<SharedEntry> shared_;
  std::vector<Int8Entry> int8_;
  BufferRef decoder_input_;
};

// A scratch buffer held for one operation; the recorders that use it hold it on until they are
// done with it.
class ScratchLease {
 public:
  ScratchLease(Caches& caches, uint64_t bytes) : buffer_(caches.scratch_acquire(bytes)) {}
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;
  const Buffer* get() const { return buffer_.get(); }
  explicit operator bool() const { return buffer_ != nullptr; }

 private:
  BufferRef buffer_;
};

}  // namespace gpu

#endif
