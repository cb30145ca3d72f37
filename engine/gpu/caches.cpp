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

uint16_t bf16_to_half(uint16_t b) {
  const uint16_t sign = b & 0x8000;
  const int exponent = (b >> 7) & 0xFF;
  const uint16_t mantissa = b & 0x7F;
  if (exponent == 255) return sign | 0x7C00 | (mantissa ? 0x200 : 0);
  if (exponent <= 112) return sign;
  if (exponent >= 143) return sign | 0x7C00;
  return static_cast<uint16_t>(sign | ((exponent - 112) << 10) | (mantissa << 3));
}

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

namespace {

// PART's INT8 form: HOST's entry, or quantised now into OWN.
bool int8_form(const orv_int8_table_t* host, const MatrixPart& part, uint32_t k, Int8Host* own,
               orv_int8_matrix_t* q) {
  if (host && orv_int8_find(host, part.src, q) && uint64_t(q->n) * uint64_t(q->k) == part.count) return true;
  try {
    own->weights.resize(part.count);
    own->scales.resize(part.count / kInt8Group);
  } catch (const std::bad_alloc&) {
    return false;
  }
  orv_int8_quantize(part.src, int32_t(part.count / k), int32_t(k), own->weights.data(), own->scales.data());
  *q = {own->weights.data(), own->scales.data(), int32_t(part.count / k), int32_t(k)};
  return true;
}

}  // namespace

bool Caches::int8_get_merged(const orv_int8_table_t* host, std::initializer_list<MatrixPart> parts, uint32_t k,
                             Int8Matrix* out, bool gate_up) {
  if (parts.size() == 0 || parts.size() > 3) return false;
  const MatrixPart* p = parts.begin();
  const void* a = p[0].src;
  const void* b = parts.size() > 1 ? p[1].src : nullptr;
  uint64_t numel = 0;
  for (const MatrixPart& part : parts) {
    if (k == 0 || part.count % k != 0) return false;
    numel += part.count;
  }
  if (gate_up && (parts.size() != 2 || p[0].count != p[1].count || p[0].count / k % kGateUpRows != 0)) return false;
  // An entry of another shape belongs to other data that used to live at these addresses: it is
  // replaced.
  auto it = std::find_if(int8_.begin(), int8_.end(), [&](const Int8Entry& e) { return e.src == a && e.second == b; });
  if (it != int8_.end() && it->numel == numel && it->k == k) {
    *out = it->m;
    return true;
  }
  if (k < kInt8Group || k % kInt8Group != 0) return false;
  const uint64_t groups = k / kInt8Group;
  Int8Matrix m{Buffer::create(device_, numel, Memory::device),
               Buffer::create(device_, numel / kInt8Group * 2, Memory::device)};
  if (!m.weights || !m.scales) return false;
  if (gate_up) {
    // Runs of four gate rows then four up rows, assembled here and written once.
    Int8Host own[2], merged;
    orv_int8_matrix_t q[2];
    try {
      merged.weights.resize(numel);
      merged.scales.resize(numel / kInt8Group);
    } catch (const std::bad_alloc&) {
      return false;
    }
    if (!int8_form(host, p[0], k, &own[0], &q[0]) || !int8_form(host, p[1], k, &own[1], &q[1])) return false;
    const uint64_t rows = p[0].count / k;
    for (uint64_t r = 0; r < rows; r++)
      for (int half = 0; half < 2; half++) {
        const uint64_t to = r / kGateUpRows * 2 * kGateUpRows + uint64_t(half) * kGateUpRows + r % kGateUpRows;
        std::copy_n(q[half].weights + r * k, k, merged.weights.data() + to * k);
        std::copy_n(q[half].scales + r * groups, groups, merged.scales.data() + to * groups);
      }
    if (!write_buffer(device_, pipelines_, *m.weights, 0, merged.weights.data(), numel) ||
        !write_buffer(device_, pipelines_, *m.scales, 0, merged.scales.data(), numel / kInt8Group * 2))
      return false;
  } else {
    uint64_t at = 0;  // elements of the merged matrix before this part
    for (const MatrixPart& part : parts) {
      Int8Host own;
      orv_int8_matrix_t q{};
      if (!int8_form(host, part, k, &own, &q) ||
          !write_buffer(device_, pipelines_, *m.weights, at, q.weights, part.count) ||
          !write_buffer(device_, pipelines_, *m.scales, at / kInt8Group * 2, q.scales, part.count / kInt8Group * 2))
        return false;
      at += part.count;
    }
  }
  if (it != int8_.end()) *it = {a, b, m, numel, k};
  else if (int8_.size() < kInt8TableCapacity) int8_.push_back({a, b, m, numel, k});
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
