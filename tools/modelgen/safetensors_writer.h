// Writes safetensors files tensor by tensor through a fixed-size buffer, so a file of many
// gigabytes never sits in memory.
#ifndef ORVANE_SAFETENSORS_WRITER_H
#define ORVANE_SAFETENSORS_WRITER_H

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace modelgen {

struct TensorEntry {
  std::string name;
  std::string dtype;  // as written into the header ("BF16", "F32", ...)
  std::vector<int64_t> shape;
  uint64_t bytes = 0;  // length of the tensor's data
};

// Produces bytes [offset, offset + out.size()) of tensor INDEX into OUT. Offsets and lengths are
// multiples of 8 except at the tensor's end.
using ChunkFill = std::function<void(size_t index, uint64_t offset, std::span<uint8_t> out)>;

using Metadata = std::vector<std::pair<std::string, std::string>>;

// The JSON header: a __metadata__ object, then the tensors laid out back to back in order,
// padded with spaces so the data area starts 8-byte aligned.
std::string safetensors_header(std::span<const TensorEntry> entries, const Metadata& metadata);

// Writes PATH (through PATH.tmp, renamed at the end, so a failed run never leaves a file that
// looks complete). 0, or -1 after a message on standard error.
int write_safetensors(const std::string& path, std::span<const TensorEntry> entries,
                      const Metadata& metadata, const ChunkFill& fill);

}  // namespace modelgen

#endif
