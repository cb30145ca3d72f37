#include "gpu/caches.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace gpu {

namespace {

// Matrices are converted and uploaded in slices of this many values, so a large matrix never
// needs a host copy of its own size.
constexpr uint64_t kConvertSlice = uint64_t{1} << 22;

std::atomic<size_t> g_scratch_entries{kScratchPoolCapacity};

}  // namespace

void limit_scratch_pool(size_t entries) { g_scratch_entries = entries ? entries : kScratchPoolCapacity; }

uint64_t scratch_capacity(uint64_t bytes) {
  constexpr uint64_t kSmall = uint64_t{64} << 10, kLarge = uint64_t{1} << 20;
  const uint64_t unit = bytes < kLarge ? kSmall : kLarge;
  return std::max<uint64_t>(unit, (bytes + unit - 1) / unit * unit);
}

bool Caches::convert_half(const uint16_t* src, uint64_t count, const Buffer& dst, uint64_t offset) {
  std::vector<uint16_t> slice;
  try {
    slice.resize(std::min(count, kConvertSlice));
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (uint64_t done = 0; done < count; done += slice.size()) {
    const uint64_t n = std::min<uint64_t>(slice.size(), count - done);
    for (uint64_t i = 0; i < n; i++) slice[i] = bf16_to_half(src[done + i]);
    if (!write_buffer(device_, pipelines_, dst, offset + done * 2, slice.data(), n * 2)) return false;
  }
  return true;
}

BufferRef Caches::get_f16(const uint16_t* src, uint64_t count) {
  std::lock_guard lock(half_lock_);
  // An entry too small for COUNT belongs to other data that used to live at SRC: replace it.
  auto it = std::find_if(half_.begin(), half_.end(), [&](const HalfEntry& e) { return e.src == src; });
  if (it != half_.end() && it->count >= count) return it->buffer;
  BufferRef buffer = Buffer::create(device_, count * 2, Memory::device);
  if (!buffer || !convert_half(src, count, *buffer, 0)) return nullptr;
  if (it != half_.end()) *it = {src, buffer, count};
  else if (half_.size() < kHalfCacheCapacity) half_.push_back({src, buffer, count});
  return buffer;
}

BufferRef Caches::get_f32(const void* src, uint64_t bytes) {
  std::lock_guard lock(float_lock_);
  for (const FloatEntry& e : float_)
    if (e.src == src && e.bytes == bytes) return e.buffer;
  BufferRef buffer = Buffer::create(device_, bytes, Memory::device);
  if (!buffer || !write_buffer(device_, pipelines_, *buffer, 0, src, bytes)) return nullptr;
  if (float_.size() < kFloatCacheCapacity) float_.push_back({src, buffer, bytes});
  return buffer;
}

BufferRef Caches::get_merged(std::initializer_list<MatrixPart> parts) {
  if (parts.size() < 2) return nullptr;
  const void* a = parts.begin()[0].src;
  const void* b = parts.begin()[1].src;
  uint64_t total = 0;
  for (const MatrixPart& p : parts) total += p.count;
  auto it = std::find_if(merged_.begin(), merged_.end(), [&](const MergedEntry& e) { return e.a == a && e.b == b; });
  if (it != merged_.end() && it->count == total) return it->buffer;
  // Converted straight into the merged buffer: the parts get no half copies of their own.
  BufferRef buffer = Buffer::create(device_, total * 2, Memory::device);
  if (!buffer) return nullptr;
  uint64_t at = 0;
  for (const MatrixPart& p : parts) {
    if (!convert_half(p.src, p.count, *buffer, at * 2)) return nullptr;
    at += p.count;
  }
  if (it != merged_.end()) *it = {a, b, buffer, total};
  else if (merged_.size() < kMergedCacheCapacity) merged_.push_back({a, b, buffer, total});
  return buffer;
}

BufferRef Caches::scratch_acquire(uint64_t bytes) {
  {
    std::lock_guard lock(scratch_lock_);
    // Holders are added only here, under the lock, so a count of one cannot grow meanwhile.
    const size_t entries = g_scratch_entries;
    for (size_t i = 0; i < std::min(entries, scratch_.size()); i++)
      if (scratch_[i].use_count() == 1 && scratch_[i]->size() >= bytes) return scratch_[i];
    const uint64_t capacity = scratch_capacity(bytes);
    if (scratch_.size() < entries && scratch_bytes_ + capacity <= kScratchPoolBytes) {
      if (BufferRef buffer = Buffer::create(device_, capacity, Memory::device)) {
        scratch_.push_back(buffer);
        scratch_bytes_ += buffer->size();
        return buffer;
      }
    }
  }
  return Buffer::create(device_, bytes, Memory::device);
}

void* Caches::shared_alloc(size_t bytes) {
  if (shared_.size() < kSharedCapacity) {
    if (BufferRef buffer = Buffer::create(device_, bytes, Memory::host)) {
      std::memset(buffer->mapped(), 0, bytes);
      shared_.push_back({buffer->mapped(), buffer});
      return buffer->mapped();
    }
  }
  return std::calloc(1, bytes);
}

bool Caches::shared_free(void* host) {
  for (size_t i = 0; i < shared_.size(); i++) {
    if (shared_[i].host == host) {
      shared_[i] = std::move(shared_.back());
      shared_.pop_back();
      return true;
    }
  }
  return false;
}

BufferRef Caches::shared_buffer(const void* host) {
  for (const SharedEntry& e : shared_)
    if (e.host == host) return e.buffer;
  return nullptr;
}

bool Caches::set_decoder_input(const float* x, size_t n) {
  const uint64_t bytes = uint64_t{n} * sizeof(float);
  if (!decoder_input_ || decoder_input_->size() < bytes) {
    decoder_input_.reset();
    decoder_input_ = Buffer::create(device_, bytes, Memory::device);
    if (!decoder_input_) return false;
  }
  return write_buffer(device_, pipelines_, *decoder_input_, 0, x, bytes);
}

bool Caches::int8_find(const uint16_t* w, Int8Matrix* out, const uint16_t* second) const {
  for (const Int8Entry& e : int8_) {
    if (e.src == w && e.second == second) {
      *out = e.m;
      return true;
    }
  }
  return false;
}

bool Caches::int8_upload(std::initializer_list<Int8Part> parts, Int8Matrix* out, bool gate_up) {
  if (parts.size() == 0 || parts.size() > 3) return false;
  const Int8Part* p = parts.begin();
  const void* a = p[0].src;
  const void* b = parts.size() > 1 ? p[1].src : nullptr;
  const int32_t k = p[0].q.k;
  uint64_t numel = 0;
  for (const Int8Part& part : parts) {
    if (part.q.n < 1 || part.q.k != k) return false;
    numel += uint64_t(part.q.n) * uint64_t(k);
  }
  if (k < int32_t(kInt8Group) || k % int32_t(kInt8Group) != 0) return false;
  if (gate_up && (parts.size() != 2 || p[0].q.n != p[1].q.n || uint64_t(p[0].q.n) % kGateUpRows != 0)) return false;
  // An entry of another shape belongs to other data that used to live at these addresses: it is
  // replaced.
  auto it = std::find_if(int8_.begin(), int8_.end(), [&](const Int8Entry& e) { return e.src == a && e.second == b; });
  if (it != int8_.end() && it->numel == numel && it->k == uint32_t(k)) {
    *out = it->m;
    return true;
  }
  const uint64_t groups = uint64_t(k) / kInt8Group;
  Int8Matrix m{Buffer::create(device_, numel, Memory::device),
               Buffer::create(device_, numel / kInt8Group * 2, Memory::device)};
  if (!m.weights || !m.scales) return false;
  if (gate_up) {
    // Runs of four gate rows then four up rows, assembled here and written once.
    std::vector<int8_t> weights;
    std::vector<uint16_t> scales;
    try {
      weights.resize(numel);
      scales.resize(numel / kInt8Group);
    } catch (const std::bad_alloc&) {
      return false;
    }
    for (uint64_t r = 0; r < uint64_t(p[0].q.n); r++)
      for (int half = 0; half < 2; half++) {
        const orv_int8_matrix_t& q = p[half].q;
        const uint64_t to = r / kGateUpRows * 2 * kGateUpRows + uint64_t(half) * kGateUpRows + r % kGateUpRows;
        std::copy_n(q.weights + r * uint64_t(k), k, weights.data() + to * uint64_t(k));
        std::copy_n(q.scales + r * groups, groups, scales.data() + to * groups);
      }
    if (!write_buffer(device_, pipelines_, *m.weights, 0, weights.data(), numel) ||
        !write_buffer(device_, pipelines_, *m.scales, 0, scales.data(), numel / kInt8Group * 2))
      return false;
  } else {
    uint64_t at = 0;  // elements of the merged matrix before this part
    for (const Int8Part& part : parts) {
      const uint64_t count = uint64_t(part.q.n) * uint64_t(k);
      if (!write_buffer(device_, pipelines_, *m.weights, at, part.q.weights, count) ||
          !write_buffer(device_, pipelines_, *m.scales, at / kInt8Group * 2, part.q.scales, count / kInt8Group * 2))
        return false;
      at += count;
    }
  }
  if (it != int8_.end()) *it = {a, b, m, numel, uint32_t(k)};
  else if (int8_.size() < kInt8TableCapacity) int8_.push_back({a, b, m, numel, uint32_t(k)});
  *out = m;
  return true;
}

void Caches::forget(const std::vector<const void*>& keys) {
  auto known = [&](const void* p) { return std::find(keys.begin(), keys.end(), p) != keys.end(); };
  {
    std::lock_guard lock(half_lock_);
    std::erase_if(half_, [&](const HalfEntry& e) { return known(e.src); });
  }
  {
    std::lock_guard lock(float_lock_);
    float_.clear();
  }
  std::erase_if(merged_, [&](const MergedEntry& e) { return known(e.a) || known(e.b); });
  std::erase_if(int8_, [&](const Int8Entry& e) { return known(e.src) || known(e.second); });
}

uint64_t Caches::memory_bytes() {
  uint64_t total = decoder_input_ ? decoder_input_->size() : 0;
  {
    std::lock_guard lock(half_lock_);
    for (const HalfEntry& e : half_) total += e.buffer->size();
  }
  {
    std::lock_guard lock(float_lock_);
    for (const FloatEntry& e : float_) total += e.buffer->size();
  }
  {
    std::lock_guard lock(scratch_lock_);
    total += scratch_bytes_;
  }
  for (const MergedEntry& e : merged_) total += e.buffer->size();
  for (const Int8Entry& e : int8_) total += e.m.weights->size() + e.m.scales->size();
  return total;
}

size_t Caches::half_entries() {
  std::lock_guard lock(half_lock_);
  return half_.size();
}

size_t Caches::float_entries() {
  std::lock_guard lock(float_lock_);
  return float_.size();
}

size_t Caches::scratch_entries() {
  std::lock_guard lock(scratch_lock_);
  return scratch_.size();
}

}  // namespace gpu
