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

// Key of the block of 2^32 values that holds value N of the stream KEY.
inline uint32_t block_key(uint64_t key, uint64_t n) { return static_cast<uint32_t>(mix64(key + (n >> 32))); }

// Approximately standard normal value N (within its block of 2^32) of the block keyed KEY: the
// four bytes of a 32-bit hash of the counter, summed, centred and scaled to unit variance
// (Irwin-Hall with four terms; tails end near 3.5 sigma, steps of 1/148 sigma).
// Only 32-bit integer operations, so the hot loop vectorises: the full model's 4.4e9 values
// keep up with the disk.
inline float normal_at(uint32_t key, uint32_t n) {
  uint32_t x = key ^ (n * 0x9e3779b9U);
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  const int sum = static_cast<int>((x & 255) + ((x >> 8) & 255) + ((x >> 16) & 255) + (x >> 24));
  constexpr float kInvStd = 1.0f / 147.8005f;  // sqrt(4 * (256^2 - 1) / 12)
  return static_cast<float>(sum - 510) * kInvStd;
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
