#include "synth_speech.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

constexpr double kRate = 16000.0;

// Two-pole resonator at a centre frequency and bandwidth (a formant).
struct Resonator {
  double a1 = 0, a2 = 0, gain = 0, y1 = 0, y2 = 0;
  void tune(double freq, double bandwidth) {
    const double r = std::exp(-std::numbers::pi * bandwidth / kRate);
    a1 = 2 * r * std::cos(2 * std::numbers::pi * freq / kRate);
    a2 = -r * r;
    gain = 1 - r;
  }
  double step(double x) {
    const double y = gain * x + a1 * y1 + a2 * y2;
    y2 = y1;
    y1 = y;
    return y;
  }
};

struct Vowel {
  double f1, f2, f3;
};
constexpr Vowel kVowels[] = {
    {730, 1090, 2440}, {270, 2290, 3010}, {300, 870, 2240}, {530, 1840, 2480}, {570, 840, 2410}};

}  // namespace

std::vector<float> synth_speech(double seconds, uint32_t seed) {
  const size_t n = static_cast<size_t>(std::max(0.0, seconds) * kRate);
  std::vector<float> out(n);
  uint32_t rng = seed ? seed : 1;
  auto uniform = [&rng] {  // xorshift32 in [0, 1)
    rng ^= rng << 13;
    rng ^= rng >> 17;
    rng ^= rng << 5;
    return rng / 4294967296.0;
  };

  Resonator formants[3];
  double phase = 0, syllable_end = 0, syllable_len = 1, peak = 1e-9;
  bool voiced = true;
  std::vector<double> y(n);
  for (size_t i = 0; i < n; i++) {
    const double t = static_cast<double>(i) / kRate;
    if (t >= syllable_end) {  // next syllable: a vowel, or now and then a pause
      voiced = uniform() > 0.12;
      syllable_len = voiced ? 0.15 + 0.2 * uniform() : 0.25 + 0.3 * uniform();
      syllable_end = t + syllable_len;
      const Vowel& v = kVowels[static_cast<size_t>(uniform() * 5) % 5];
      formants[0].tune(v.f1, 80);
      formants[1].tune(v.f2, 100);
      formants[2].tune(v.f3, 150);
    }
    // Pitch wanders around 120 Hz; the source is a band-limited sawtooth (harmonics 1/k).
    const double f0 = 120 + 25 * std::sin(2 * std::numbers::pi * 0.35 * t) + 4 * uniform();
    phase += 2 * std::numbers::pi * f0 / kRate;
    double source = 0;
    for (int k = 1; k * f0 < 3800; k++) source += std::sin(k * phase) / k;
    const double into = 1 - (syllable_end - t) / syllable_len;  // 0..1 through the syllable
    const double envelope = voiced ? std::sin(std::numbers::pi * into) : 0.0;
    const double noise = (uniform() - 0.5) * (into < 0.15 ? 0.6 : 0.02);  // onset consonant
    double s = envelope * source + noise * (voiced ? 1.0 : 0.05);
    for (Resonator& f : formants) s = f.step(s) * 4;
    y[i] = s;
    peak = std::max(peak, std::fabs(s));
  }
  for (size_t i = 0; i < n; i++) out[i] = static_cast<float>(0.3 * y[i] / peak);
  return out;
}
