// The key/value cache of one network for one stream: LAYERS slabs of CAPACITY rows of WIDTH
// floats (keys after rotation, values). Rows 0 .. len - 1 are valid; row i holds absolute
// position pos_offset + i. The encoder and the decoder use the same type; only their policies
// (when to drop old rows, how to grow) differ, and those are the callers'.
#ifndef ORVANE_KV_CACHE_H
#define ORVANE_KV_CACHE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "network/float_block.h"

class KvCache {
 public:
  // MEMORY: where the arrays go; the GPU passes decline all but GPU-shared memory.
  KvCache(int layers, int width, const BlockMemory& memory)
      : layers_(layers), width_(width), memory_(memory) {}

  // Allocates CAPACITY empty rows when there is no cache yet. False, changing nothing, on
  // failure or CAPACITY < 1.
  bool init(int capacity);
  // Makes room for NEEDED rows, keeping the valid ones: the capacity doubles (from FIRST when
  // there is no cache) until it is enough. False, changing nothing, on failure.
  bool reserve(int64_t needed, int first);
  // Drops the oldest rows so that the latest KEEP remain; positions stay offset + index.
  void keep_latest(int keep);
  // Empties the cache for a new stream; the memory is kept.
  void clear() {
    len = 0;
    pos_offset = 0;
  }

  // Packed copies [layers][rows][width] of rows 0 .. ROWS - 1, and back. load_rows makes them
  // the cache's only rows (at POS_OFFSET), and marks the GPU passes' copy stale.
  bool save_rows(std::vector<float>* k, std::vector<float>* v, int rows) const;
  void load_rows(const std::vector<float>& k, const std::vector<float>& v, int rows,
                 int offset);

  float* k_layer(int l) const { return k_.data() + size_t(l) * layer_floats(); }
  float* v_layer(int l) const { return v_.data() + size_t(l) * layer_floats(); }
  float* k_data() const { return k_.data(); }
  float* v_data() const { return v_.data(); }
  bool is_shared() const { return k_.is_shared(); }
  const BlockMemory& memory() const { return memory_; }
  explicit operator bool() const { return static_cast<bool>(k_); }
  int layers() const { return layers_; }
  int width() const { return width_; }
  int capacity() const { return capacity_; }
  // Bytes of both arrays.
  size_t bytes() const { return 2 * k_.size() * sizeof(float); }

  int len = 0;
  int pos_offset = 0;
  // Set when rows were copied in behind the GPU passes' back; the next pass reloads its copy.
  bool device_stale = false;

 private:
  size_t layer_floats() const { return size_t(capacity_) * size_t(width_); }
  bool replace(int64_t capacity);

  int layers_, width_;
  BlockMemory memory_;
  int capacity_ = 0;
  FloatBlock k_, v_;
};

#endif
