// Counter-based random numbers for the model generator: the n-th value of a stream depends only
// on its key and n, so any chunk of a multi-gigabyte tensor can be generated on its own.
#ifndef ORVANE_MODELGEN_RANDOM_H
#define ORVANE_MODELGEN_RANDOM_H

#include <cstdint>

namespace modelgen {

constexpr uint64_t kGolden = 0x9e3779b97f4a7c15ULL;

// SplitMix64's finaliser.
inline uint64_t mix64(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

inline uint64_t stream_key(uint64_t seed, uint64_t stream) { return mix64(seed ^ mix64(stream + 1)); }

inline uint64_t random_at(uint64_t key, uint64_t n) { return mix64(key + n * kGolden); }

// Approximately standard normal: the sum of the four 16-bit quarters of one random word,
// centred and scaled to unit variance (Irwin-Hall with four terms; tails end near 3.5 sigma).
// One multiply-mix per value keeps the full model's 4.4e9 values at disk speed.
inline float normal_at(uint64_t key, uint64_t n) {
  const uint64_t r = random_at(key, n);
  const int64_t sum = static_cast<int64_t>((r & 0xffff) + ((r >> 16) & 0xffff) +
                                           ((r >> 32) & 0xffff) + (r >> 48));
  constexpr float kInvStd = 1.7320508f / 65536.0f;  // sqrt(12 / 4) / 2^16, up to 2^-32
  return static_cast<float>(sum - 131070) * kInvStd;
}

// A sequential generator for everything that is not a tensor (the vocabulary).
class Rng {
 public:
  explicit Rng(uint64_t key) : key_(key) {}
  uint64_t next() { return random_at(key_, n_++); }
  // Uniform in [0, n).
  uint32_t below(uint32_t n) { return static_cast<uint32_t>((next() >> 32) * n >> 32); }
  bool chance(double p) { return static_cast<double>(next() >> 11) * 0x1p-53 < p; }

 private:
  uint64_t key_;
  uint64_t n_ = 0;
};

}  // namespace modelgen

#endif
