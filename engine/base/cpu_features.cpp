#include "base/cpu_features.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace {

CpuFeatures probe() {
  CpuFeatures f;
#if defined(__x86_64__)
  __builtin_cpu_init();
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;  // half conversions: CPUID 1, ECX bit 29
  const bool f16c = __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_F16C);
  f.avx2 = f16c && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  f.avx512 = f16c && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512vl");
  f.avx512bf16 = f.avx512 && __builtin_cpu_supports("avx512bf16");
#endif
  return f;
}

}  // namespace

bool orv_cpu_cap(const CpuFeatures& have, const char* cap, CpuFeatures* out) {
  *out = have;
  if (!cap || !*cap) return true;
  int level = 0;
  for (const char* name : {"portable", "avx2", "avx512", "avx512bf16"}) {
    if (std::strcmp(cap, name) == 0) {
      out->avx2 = have.avx2 && level >= 1;
      out->avx512 = have.avx512 && level >= 2;
      out->avx512bf16 = have.avx512bf16 && level >= 3;
      return true;
    }
    level++;
  }
  return false;
}

const CpuFeatures& orv_cpu() {
  static const CpuFeatures features = [] {
    CpuFeatures f;
    const char* cap = std::getenv("ORVANE_CPU");
    if (!orv_cpu_cap(probe(), cap, &f))
      std::fprintf(stderr, "ORVANE_CPU=%s: unknown (portable, avx2, avx512, avx512bf16); ignored\n",
                   cap);
    return f;
  }();
  return features;
}
