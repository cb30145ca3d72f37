#include "gpu/passes.h"

#include <algorithm>
#include <optional>

#include "formats/shape.h"

namespace gpu {

namespace {

constexpr uint64_t kF32 = sizeof(float);

// Reloads rows 0 .. ROWS - 1 of every layer of the device copies from the host arrays.
void reload_rows(Recorder& rec, const KvMirror& m, int rows) {
  if (rows <= 0) return;
  struct {
    int32_t dst_offset, src_offset, pairs;
  } args{0, 0, int32_t(uint64_t(rows) * m.kv_dim / 2)};
  for (const auto& [device, host] : {std::pair{m.k.get(), m.shared_k.get()}, std::pair{m.v.get(), m.shared_v.get()}})
    for (int l = 0; l < m.layers; l++)
      rec.dispatch_elements(Kernel::kv_to_half,
                            {{device, m.layer_offset(l), uint64_t(rows) * m.row_bytes()},
                             {host, m.host_layer_offset(l), uint64_t(rows) * m.host_row_bytes()}},
                            args, uint64_t(args.pairs));
}

// Drops the oldest SHIFT rows of the device copies, keeping the next KEEP rows (the move the CPU
// made on the host arrays). A copy may not overlap itself, so overlapping moves go through
// SCRATCH, one layer at a time (the copies run in order).
void slide_rows(Recorder& rec, const KvMirror& m, const Buffer* scratch, int shift, int keep) {
  const uint64_t bytes = uint64_t(keep) * m.row_bytes();
  for (const Buffer* c : {m.k.get(), m.v.get()}) {
    for (int l = 0; l < m.layers; l++) {
      const uint64_t from = m.layer_offset(l) + uint64_t(shift) * m.row_bytes(), to = m.layer_offset(l);
      if (shift >= keep) {
        rec.copy(*c, from, *c, to, bytes);
      } else {
        rec.copy(*c, from, *scratch, 0, bytes);
        rec.copy(*scratch, 0, *c, to, bytes);
      }
    }
  }
}

}  // namespace

KvMirror* PassState::prepare(Device& device, Caches& caches, Recorder& rec,
                             const CacheView& view) {
  BufferRef shared_k = caches.shared_buffer(view.host_k);
  BufferRef shared_v = caches.shared_buffer(view.host_v);
  if (!shared_k || !shared_v) return nullptr;
  auto it = std::find_if(mirrors_.begin(), mirrors_.end(),
                         [&](const auto& m) { return m->host_k == view.host_k; });
  if (it != mirrors_.end() && ((*it)->host_v != view.host_v || (*it)->layers != view.layers ||
                               (*it)->capacity != view.capacity || (*it)->kv_dim != view.kv_dim)) {
    mirrors_.erase(it);
    it = mirrors_.end();
  }
  if (it == mirrors_.end()) {
    auto m = std::make_unique<KvMirror>();
    m->host_k = view.host_k;
    m->host_v = view.host_v;
    m->layers = view.layers;
    m->capacity = view.capacity;
    m->kv_dim = view.kv_dim;
    const uint64_t bytes = uint64_t(view.layers) * view.capacity * view.kv_dim * 2;
    m->k = Buffer::create(device, bytes, Memory::device);
    m->v = Buffer::create(device, bytes, Memory::device);
    if (!m->k || !m->v) return nullptr;
    mirrors_.push_back(std::move(m));
    it = mirrors_.end() - 1;
  }
  KvMirror* m = it->get();
  m->shared_k = std::move(shared_k);
  m->shared_v = std::move(shared_v);

  const int shift = view.pos_offset - m->pos_offset;
  const bool level = m->valid && shift == 0 && view.rows <= m->rows;
  const bool slid = m->valid && shift > 0 && view.rows == m->rows - shift;
  if (slid && view.rows > 0) {
    std::optional<ScratchLease> scratch;
    if (shift < view.rows) scratch.emplace(caches, uint64_t(view.rows) * m->row_bytes());
    if (!scratch || *scratch) {
      slide_rows(rec, *m, scratch ? scratch->get() : nullptr, shift, view.rows);
    } else {
      reload_rows(rec, *m, view.rows);
    }
  } else if (!level && !slid) {
    reload_rows(rec, *m, view.rows);
  }
  m->valid = false;  // until the pass has run
  m->pos_offset = view.pos_offset;
  return m;
}

void PassState::host_changed(const void* host, bool freed) {
  for (auto it = mirrors_.begin(); it != mirrors_.end(); ++it) {
    if ((*it)->host_k != host && (*it)->host_v != host) continue;
    if (freed)
      mirrors_.erase(it);
    else
      (*it)->valid = false;
    return;
  }
}

const KvMirror* PassState::find(const void* host) const {
  for (const auto& m : mirrors_)
    if (m->host_k == host) return m.get();
  return nullptr;
}

const Buffer* PassState::conditioning(Device& device, const Pipelines& pipelines,
                                      std::span<const float> values) {
  if (conditioning_ && std::ranges::equal(values, conditioning_values_)) return conditioning_.get();
  conditioning_.reset();
  conditioning_values_.clear();
  BufferRef b = Buffer::create(device, values.size() * kF32, Memory::device);
  if (!b || !write_buffer(device, pipelines, *b, 0, values.data(), values.size() * kF32)) return nullptr;
  conditioning_values_.assign(values.begin(), values.end());
  conditioning_ = std::move(b);
  return conditioning_.get();
}

uint64_t PassState::memory_bytes() const {
  uint64_t total = conditioning_ ? conditioning_->size() : 0;
  for (const auto& m : mirrors_) total += m->k->size() + m->v->size() + (m->step ? m->step->own_bytes : 0);
  return total;
}

const Buffer* PassState::staging(Device& device, uint64_t bytes) {
  if (!staging_ || staging_->size() < bytes) {
    staging_.reset();
    staging_ = Buffer::create(device, bytes, Memory::host);
  }
  return staging_.get();
}

void record_rms_norm(Recorder& rec, const Buffer& x, const Buffer& w, const Buffer& y, int rows, int dim) {
  struct {
    int32_t hidden;
    float eps;
    int32_t rows;
  } args{dim, ORV_NORM_EPS, rows};
  const uint64_t bytes = uint64_t(rows) * dim * kF32;
  const Binding xb{&x, 0, bytes}, wb{&w, 0, uint64_t(dim) * kF32}, yb{&y, 0, bytes};
  rec.dispatch(Kernel::rms_norm, {xb, wb, yb}, args, uint64_t(rows));
}

void record_add(Recorder& rec, const Buffer& a, const Buffer& b, uint64_t n) {
  struct {
    int32_t n;
  } args{int32_t(n)};
  rec.dispatch_elements(Kernel::add_inplace, {{&a, 0, n * kF32}, {&b, 0, n * kF32}}, args, n);
}

void record_bias(Recorder& rec, const Buffer& y, const Buffer& bias, int rows, int dim) {
  const uint64_t n = uint64_t(rows) * dim;
  struct {
    int32_t dim, total;
  } args{dim, int32_t(n)};
  rec.dispatch_elements(Kernel::bias_add, {{&y, 0, n * kF32}, {&bias, 0, uint64_t(dim) * kF32}},
                        args, n);
}

void record_rope(Recorder& rec, const Buffer& x, const Buffer& rope, int rows, int heads,
                 int head_dim) {
  struct {
    int32_t n_heads, head_dim, seq_len;
  } args{heads, head_dim, rows};
  rec.dispatch_elements(Kernel::batched_rope_apply,
                        {{&x, 0, uint64_t(rows) * heads * head_dim * kF32},
                         {&rope, 0, uint64_t(rows) * head_dim * kF32}},
                        args, uint64_t(rows) * heads * (head_dim / 2));
}

void record_cache_rows(Recorder& rec, const KvMirror& m, const Buffer& c, int l, int first,
                       const Buffer& data, int rows) {
  const Buffer& host = &c == m.k.get() ? *m.shared_k : *m.shared_v;
  const uint64_t n = uint64_t(rows) * m.kv_dim, used = uint64_t(first + rows);
  struct {
    int32_t cache_offset, host_offset, pairs;
  } args{int32_t(uint64_t(first) * m.kv_dim / 2), int32_t(uint64_t(first) * m.kv_dim / 2), int32_t(n / 2)};
  rec.dispatch_elements(Kernel::kv_store,
                        {{&c, m.layer_offset(l), used * m.row_bytes()},
                         {&host, m.host_layer_offset(l), used * m.host_row_bytes()},
                         {&data, 0, n * kF32}},
                        args, n / 2);
}

}  // namespace gpu
