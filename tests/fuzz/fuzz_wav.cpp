// libFuzzer harness for the WAV parser: any byte string is parsed or refused without reading
// outside it, and accepted audio is a count with samples in [-1, 1].
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "audio/wav.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int n = -1;
  float* x = parse_wav_buffer(data, size, &n);
  if (!x && n != 0) __builtin_trap();
  for (int i = 0; x && i < n; i++)
    if (!(x[i] >= -1.0f && x[i] <= 1.0f)) __builtin_trap();
  std::free(x);
  return 0;
}
