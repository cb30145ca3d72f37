// libFuzzer harness for the streaming audio reader: any byte string on a descriptor is read or
// refused without reading outside it, and accepted audio is samples in [-1, 1].
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "orvane.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int fd = memfd_create("fuzz-audio-reader", 0);
  if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size) ||
      lseek(fd, 0, SEEK_SET) != 0)
    __builtin_trap();
  orv_audio_reader_t* in = orv_audio_reader_open(fd);
  const float* x = nullptr;
  for (int n; in && (n = orv_audio_reader_read(in, &x)) > 0;)
    for (int i = 0; i < n; i++)
      if (!(x[i] >= -1.0f && x[i] <= 1.0f)) __builtin_trap();
  orv_audio_reader_free(in);
  return 0;
}
