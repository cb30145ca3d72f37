// Speed of the linear kernels beside the machine's read bandwidth with every thread:
// orv_matvec_bf16 and orv_matvec_int8 (the decoder step's products) on the decoder's largest
// weight shapes, in GB/s of weights streamed and as a fraction of the measured bandwidth, on every
// vector path; and the multi-row products on an encoder and a prefill shape in GFLOP/s, next to a
// plain float sgemm.
#include <cblas.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "base/bf16.h"
#include "base/thread_pool.h"
#include "kernels/int8_weights.h"
#include "kernels/kernels.h"
#include "membw.h"
#include "stopwatch.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Rng {
  uint64_t s = 0x9E3779B97F4A7C15ull;
  uint64_t next() {  // xorshift64: fast enough to fill gigabytes
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
  float uniform() { return static_cast<float>(next() >> 40) / 16777216.0f - 0.5f; }
};

// BF16 values of magnitude 2^-7 to 2^-3 with random sign and mantissa.
std::vector<uint16_t> random_bf16(size_t count, Rng &rng) {
  std::vector<uint16_t> w(count);
  for (size_t i = 0; i < count; i += 4) {
    uint64_t r = rng.next();
    for (size_t j = i; j < std::min(count, i + 4); ++j, r >>= 16) {
      const auto exponent = static_cast<uint16_t>(120 + ((r >> 7) & 3));
      w[j] = static_cast<uint16_t>((r & 0x807F) | (exponent << 7));
    }
  }
  return w;
}

std::vector<float> random_floats(size_t count, Rng &rng) {
  std::vector<float> v(count);
  for (float &f : v) f = rng.uniform();
  return v;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

template <typename F>
double seconds(F &&f) {
  const auto t0 = Clock::now();
  f();
  return seconds_since(t0);
}

void report_matvec(const char *kernel, int k, int n, const char *path, double t, double bytes,
                   double bandwidth) {
  const double gbs = bytes / t / 1e9;
  std::printf("%-12s K %6d N %6d  %-10s  %8.2f ms  %6.2f GB/s  %5.1f%% of read bandwidth\n",
              kernel, k, n, path, t * 1e3, gbs, bandwidth > 0 ? 100.0 * gbs / bandwidth : 0.0);
}

// The median time of REPS calls of CALL(copy), cycling through COPIES weight copies that together
// span at least 512 MB, so each call reads a copy that the previous calls pushed out of the caches.
template <typename Call>
double median_over_copies(size_t copies, Call &&call) {
  const int reps = std::max(8, static_cast<int>(3 * copies));
  std::vector<double> times;
  for (int r = 0; r < reps; ++r)
    times.push_back(seconds([&] { call(static_cast<size_t>(r) % copies); }));
  return median(times);
}

// One matrix shape on every path, BF16 and then INT8 (the BF16 copies quantised).
void bench_matvec(int k, int n, double bandwidth, Rng &rng) {
  const size_t count = static_cast<size_t>(k) * static_cast<size_t>(n);
  const double bytes = static_cast<double>(count) * 2.0;
  const size_t copies = std::max<size_t>(1, static_cast<size_t>(512e6 / bytes + 0.999));
  std::vector<std::vector<uint16_t>> weights;
  for (size_t c = 0; c < copies; ++c) weights.push_back(random_bf16(count, rng));
  const std::vector<float> x = random_floats(static_cast<size_t>(k), rng);
  std::vector<float> y(static_cast<size_t>(n));

  struct Path {
    const char *name;
    int id;
  };
  for (const Path path :
       {Path{"portable", ORV_BF16_PATH_PORTABLE}, Path{"avx2", ORV_BF16_PATH_AVX2},
        Path{"avx512", ORV_BF16_PATH_AVX512}, Path{"avx512bf16", ORV_BF16_PATH_AVX512BF16},
        Path{"neon", ORV_BF16_PATH_NEON}, Path{"auto", -1}}) {
    if (path.id >= 0 && !orv_bf16_path_supported(path.id)) continue;
    const double t = median_over_copies(copies, [&](size_t c) {
      if (path.id < 0)
        orv_matvec_bf16(y.data(), x.data(), weights[c].data(), nullptr, k, n);
      else
        orv_matvec_bf16_path(path.id, y.data(), x.data(), weights[c].data(), nullptr, k, n);
    });
    report_matvec("matvec_bf16", k, n, path.name, t, bytes, bandwidth);
  }

  // Twice the copies: an INT8 copy is half the bytes.
  const size_t groups = count / ORV_INT8_GROUP;
  std::vector<std::vector<int8_t>> q(2 * copies, std::vector<int8_t>(count));
  std::vector<std::vector<uint16_t>> scales(2 * copies, std::vector<uint16_t>(groups));
  for (size_t c = 0; c < 2 * copies; ++c)
    orv_int8_quantize(weights[c % copies].data(), n, k, q[c].data(), scales[c].data());
  weights.clear();
  const double int8_bytes = static_cast<double>(count) + 2.0 * static_cast<double>(groups);
  for (const Path path : {Path{"portable", ORV_INT8_PATH_PORTABLE}, Path{"avx2", ORV_INT8_PATH_AVX2},
                          Path{"avx512", ORV_INT8_PATH_AVX512}, Path{"neon", ORV_INT8_PATH_NEON},
                          Path{"auto", -1}}) {
    if (path.id >= 0 && !orv_int8_path_supported(path.id)) continue;
    const double t = median_over_copies(2 * copies, [&](size_t c) {
      const orv_int8_matrix_t w{q[c].data(), scales[c].data(), n, k};
      if (path.id < 0)
        orv_matvec_int8(y.data(), x.data(), &w);
      else
        orv_matvec_int8_path(path.id, y.data(), x.data(), &w);
    });
    report_matvec("matvec_int8", k, n, path.name, t, int8_bytes, bandwidth);
  }
}

void bench_linear(int m, int k, int n, Rng &rng) {
  const std::vector<uint16_t> w = random_bf16(static_cast<size_t>(k) * static_cast<size_t>(n), rng);
  std::vector<float> wf(w.size());
  orv_bf16_widen(wf.data(), w.data(), w.size());
  const std::vector<float> x = random_floats(static_cast<size_t>(m) * static_cast<size_t>(k), rng);
  const std::vector<float> bias = random_floats(static_cast<size_t>(n), rng);
  std::vector<float> y(static_cast<size_t>(m) * static_cast<size_t>(n));
  const double flops = 2.0 * m * k * n;

  auto report = [&](const char *name, auto &&call) {
    call();  // the first call grows the widening buffer and starts the BLAS threads
    std::vector<double> times;
    for (int r = 0; r < 7; ++r) times.push_back(seconds(call));
    const double t = median(times);
    std::printf("%-28s M %d K %d N %d  %8.2f ms  %6.1f GFLOP/s\n", name, m, k, n, t * 1e3,
                flops / t / 1e9);
  };
  report("linear_bf16 (widen + sgemm)",
         [&] { orv_linear_bf16(y.data(), x.data(), w.data(), bias.data(), m, k, n); });
  std::vector<int8_t> q(w.size());
  std::vector<uint16_t> scales(w.size() / ORV_INT8_GROUP);
  orv_int8_quantize(w.data(), n, k, q.data(), scales.data());
  const orv_int8_matrix_t wq{q.data(), scales.data(), n, k};
  report("linear_int8 (dequantise)", [&] { orv_linear_int8(y.data(), x.data(), &wq, m); });
  report("linear f32 (sgemm alone)",
         [&] { orv_linear(y.data(), x.data(), wf.data(), bias.data(), m, k, n); });
}

}  // namespace

int main() {
  const double bandwidth = orv_bench_read_bandwidth_all_gbs();
  std::printf("read bandwidth, %d threads: %.2f GB/s (best of 5 sums over 1 GiB)\n",
              orv_thread_count(), bandwidth);
  Rng rng;
  bench_matvec(3072, 9216, bandwidth, rng);
  bench_matvec(9216, 3072, bandwidth, rng);
  bench_matvec(3072, 131072, bandwidth, rng);
  std::printf("BLAS threads: %d\n", openblas_get_num_threads());
  bench_linear(100, 1280, 5120, rng);
  bench_linear(38, 3072, 9216, rng);
  std::printf("resident memory at exit: %.0f MiB\n", orv_bench_rss_mb());
  return 0;
}
