// Arbitrary text as orvane-shape.json: no crash, and whatever is accepted is a valid shape.
#include <cstdint>
#include <cstdio>

#include "formats/shape.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  stderr = fopen("/dev/null", "w");  // libFuzzer and the sanitizers keep file 2
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  orv_shape_t s;
  if (orv_shape_parse(reinterpret_cast<const char*>(data), size, &s) == 0 && orv_shape_validate(&s) != 0)
    __builtin_trap();
  return 0;
}
