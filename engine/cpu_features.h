// What the CPU offers beyond the baseline, asked once.
#ifndef ORVANE_CPU_FEATURES_H
#define ORVANE_CPU_FEATURES_H

// True where AVX-512 F runs: the tiled products and the 16-lane attention need it.
inline bool orv_cpu_has_avx512f() {
#if defined(__x86_64__)
  static const bool avx512 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") != 0;
  }();
  return avx512;
#else
  return false;
#endif
}

#endif
