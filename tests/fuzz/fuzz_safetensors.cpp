// Each input is read twice: as raw header text (the input buffer is exactly its size, so any
// overread shows under ASan), and as the header of a whole file with a data area behind it, opened
// through the real path, whose accessors must hand out only bytes inside that data area.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "formats/safetensors.h"

namespace {

constexpr size_t kDataArea = 4096;
int g_fd = -1;
std::string g_path;

void require(bool ok) {
  if (!ok) __builtin_trap();
}

void check_descriptors(const safetensors_tensor_t* t, int count) {
  require(count >= -1 && count <= SAFETENSORS_MAX_TENSORS);
  for (int i = 0; i < count; ++i) {
    require(memchr(t[i].name, 0, sizeof t[i].name) != nullptr);
    require(t[i].ndim >= 0 && t[i].ndim <= SAFETENSORS_MAX_DIMS);
    require(safetensors_numel(&t[i]) >= -1);
  }
}

void check_accessors(const safetensors_file_t* sf) {
  const safetensors_tensor_t origin{};  // offset 0: the start of the data area
  const auto* begin = static_cast<const unsigned char*>(safetensors_data(sf, &origin));
  const unsigned char* end = begin + kDataArea;
  for (int i = 0; i < safetensors_count(sf); ++i) {
    const safetensors_tensor_t* t = safetensors_tensor(sf, i);
    require(t->data_offset <= kDataArea && t->size <= kDataArea - t->data_offset);
    safetensors_print_tensor(t);
    int64_t n = safetensors_numel(t);
    if (float* f = safetensors_get_f32(sf, t)) {
      uint64_t elem = t->dtype == SAFETENSORS_F32 ? 4 : 2;
      require(t->dtype >= 0 && t->dtype <= 2 && n >= 1 && uint64_t(n) <= t->size / elem);
      volatile float sink = f[n - 1];
      (void)sink;
      free(f);
    }
    uint16_t* copy = safetensors_get_bf16(sf, t);
    const uint16_t* direct = safetensors_get_bf16_direct(sf, t);
    if (copy || direct) require(t->dtype == SAFETENSORS_BF16 && n >= 1 && uint64_t(n) <= t->size / 2);
    if (direct) {
      const auto* d = reinterpret_cast<const unsigned char*>(direct);
      require(d >= begin && d + 2 * n <= end);
      if (copy) require(memcmp(copy, direct, 2 * size_t(n)) == 0);
    }
    free(copy);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_fd = memfd_create("fuzz_safetensors", 0);
  if (g_fd < 0) abort();
  g_path = "/proc/self/fd/" + std::to_string(g_fd);
  // Silence the library's messages and listings; libFuzzer and the sanitizers keep file 2.
  stderr = fopen("/dev/null", "w");
  stdout = fopen("/dev/null", "w");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<safetensors_tensor_t> out(SAFETENSORS_MAX_TENSORS);
  const char* text = reinterpret_cast<const char*>(data);
  check_descriptors(out.data(), safetensors_parse_header(text, size, out.data()));

  std::string file(8, '\0');
  for (int i = 0; i < 8; ++i) file[i] = char(uint64_t(size) >> (8 * i));
  file.append(text, size);
  for (size_t i = 0; i < kDataArea; ++i) file.push_back(char(i * 37));
  if (ftruncate(g_fd, 0) != 0 || pwrite(g_fd, file.data(), file.size(), 0) != ssize_t(file.size()))
    abort();
  if (safetensors_file_t* sf = safetensors_open(g_path.c_str())) {
    check_accessors(sf);
    safetensors_close(sf);
  }
  return 0;
}
