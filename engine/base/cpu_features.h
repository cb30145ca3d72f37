// What the CPU offers beyond the baseline, asked once, and capped by the environment variable
// ORVANE_CPU=portable|avx2|avx512|avx512bf16 so that every kernel path can be run (and tested)
// on a machine that has a better one.
#ifndef ORVANE_CPU_FEATURES_H
#define ORVANE_CPU_FEATURES_H

struct CpuFeatures {
  bool avx2 = false;        // AVX2 with FMA and the half conversions (F16C)
  bool avx512 = false;      // AVX-512 F, BW and VL (with F16C)
  bool avx512bf16 = false;  // and its BF16 dot products
};

// The features the engine's kernels may use.
const CpuFeatures& orv_cpu();

// The features of a CPU that has HAVE, capped by the ORVANE_CPU value CAP (null: no cap). False
// for an unknown CAP (then nothing is capped).
bool orv_cpu_cap(const CpuFeatures& have, const char* cap, CpuFeatures* out);

// True where AVX-512 runs: the tiled products and the 16-lane attention need it.
inline bool orv_cpu_has_avx512f() { return orv_cpu().avx512; }

#endif
