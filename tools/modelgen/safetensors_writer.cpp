#include "safetensors_writer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <new>
#include <utility>

#include "output_file.h"

namespace modelgen {

namespace {

constexpr size_t kBufferBytes = size_t{8} << 20;  // a multiple of OutputFile::kAlignment

}  // namespace

std::string safetensors_header(std::span<const TensorEntry> entries, const Metadata& metadata) {
  std::string h = "{\"__metadata__\":{";
  for (size_t i = 0; i < metadata.size(); i++) {
    if (i) h += ',';
    h += '"' + json_escape(metadata[i].first) + "\":\"" + json_escape(metadata[i].second) + '"';
  }
  h += '}';
  uint64_t offset = 0;
  for (const TensorEntry& e : entries) {
    h += ",\"" + json_escape(e.name) + "\":{\"dtype\":\"" + json_escape(e.dtype) + "\",\"shape\":[";
    for (size_t d = 0; d < e.shape.size(); d++) {
      if (d) h += ',';
      h += std::to_string(e.shape[d]);
    }
    h += "],\"data_offsets\":[" + std::to_string(offset) + ',' + std::to_string(offset + e.bytes) + "]}";
    offset += e.bytes;
  }
  h += '}';
  // The data area starts at 8 + header length; keep it aligned for in-place BF16 and F32 use.
  h.append((8 - h.size() % 8) % 8, ' ');
  return h;
}

int write_safetensors(const std::string& path, std::span<const TensorEntry> entries,
                      const Metadata& metadata, const ChunkFill& fill) {
  OutputFile file(path);
  if (!file.open(/*direct=*/true)) return -1;

  std::string prefix(8, '\0');
  const std::string header = safetensors_header(entries, metadata);
  for (int i = 0; i < 8; i++) prefix[i] = static_cast<char>(uint64_t{header.size()} >> (8 * i));
  prefix += header;

  // Two buffers: one is filled while the other is written, so generation and disk overlap. Every
  // write but the last is a whole, page-aligned buffer, as direct I/O wants.
  std::unique_ptr<uint8_t[], void (*)(void*)> buffers(
      static_cast<uint8_t*>(std::aligned_alloc(OutputFile::kAlignment, 2 * kBufferBytes)), std::free);
  if (!buffers) throw std::bad_alloc();
  uint8_t* fill_buf = buffers.get();
  uint8_t* write_buf = buffers.get() + kBufferBytes;
  size_t used = 0;
  std::future<bool> pending;
  bool ok = true;

  auto flush = [&] {
    if (pending.valid()) ok = pending.get() && ok;
    std::swap(fill_buf, write_buf);
    const size_t n = std::exchange(used, 0);
    pending = std::async(std::launch::async, [&file, buf = write_buf, n] { return file.write(buf, n); });
  };
  // Appends BYTES produced by PRODUCE(offset, out) in pieces that keep elements whole.
  auto append = [&](uint64_t bytes, const auto& produce) {
    uint64_t offset = 0;
    while (offset < bytes && ok) {
      uint64_t piece = std::min<uint64_t>(bytes - offset, kBufferBytes - used);
      if (piece < bytes - offset) piece -= piece % 8;
      if (piece == 0) {
        flush();
        continue;
      }
      produce(offset, std::span<uint8_t>(fill_buf + used, piece));
      used += piece;
      offset += piece;
    }
  };

  append(prefix.size(), [&](uint64_t offset, std::span<uint8_t> out) {
    std::memcpy(out.data(), prefix.data() + offset, out.size());
  });
  for (size_t i = 0; i < entries.size(); i++)
    append(entries[i].bytes, [&](uint64_t offset, std::span<uint8_t> out) { fill(i, offset, out); });
  if (used > 0) flush();
  if (pending.valid()) ok = pending.get() && ok;
  return ok && file.commit() ? 0 : -1;
}

}  // namespace modelgen
