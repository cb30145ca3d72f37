// Log-mel frames: against a double-precision DFT and Slaney filter bank, batch against
// incremental, independence from how the audio is fed, and bounded memory with release.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>

#include "audio/mel.h"
#include "speech.h"

namespace {

constexpr int kMels = 128, kBins = 201, kWin = 400, kHop = 160;

double hz_to_mel(double f) { return f < 1000 ? f * 3 / 200 : 15 + std::log(f / 1000) * 27 / std::log(6.4); }
double mel_to_hz(double m) { return m < 15 ? m * 200 / 3 : 1000 * std::exp((m - 15) * std::log(6.4) / 27); }

// Slaney filters over 0..8000 Hz with area normalisation, in double.
std::vector<double> slaney_filters() {
  double pts[kMels + 2];
  for (int i = 0; i < kMels + 2; i++) pts[i] = mel_to_hz(i * hz_to_mel(8000) / (kMels + 1));
  std::vector<double> w(kMels * kBins);
  for (int m = 0; m < kMels; m++)
    for (int k = 0; k < kBins; k++) {
      const double rise = (40.0 * k - pts[m]) / (pts[m + 1] - pts[m]), fall = (pts[m + 2] - 40.0 * k) / (pts[m + 2] - pts[m + 1]);
      w[m * kBins + k] = std::max(0.0, std::min(rise, fall)) * 2 / (pts[m + 2] - pts[m]);
    }
  return w;
}

// Log-mel frame of the 400 samples at X: periodic Hann window, DFT and filters in double. The
// front end forms its table angles n x (k x 2pi/400) in single precision, which leaks about 1e-4
// of a frame's energy across bins and dominates quiet bins; QUANTISED uses those angles so that
// everything else can be checked tightly.
std::vector<double> reference_frame(const double* x, bool quantised) {
  static const std::vector<double> filters = slaney_filters();
  std::vector<double> power(kBins), out(kMels);
  for (int k = 0; k < kBins; k++) {
    double re = 0, im = 0;
    for (int n = 0; n < kWin; n++) {
      const double v = x[n] * (0.5 - 0.5 * std::cos(2 * M_PI * n / kWin));
      const double a = quantised ? double(float(n) * (float(k) * 0.015707964f)) : 2 * M_PI * (k * n % kWin) / kWin;
      re += v * std::cos(a);
      im += v * std::sin(a);
    }
    power[k] = re * re + im * im;
  }
  for (int m = 0; m < kMels; m++) {
    double mel = 0;
    for (int k = 0; k < kBins; k++) mel += filters[m * kBins + k] * power[k];
    out[m] = std::max(std::log10(std::max(mel, 1e-10)), -6.5) / 4 + 1;
  }
  return out;
}

std::vector<float> noise(int n, float amplitude, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-amplitude, amplitude);
  std::vector<float> x(n);
  for (float& v : x) v = u(rng);
  return x;
}

std::vector<float> batch(const std::vector<float>& s) {
  int n = 0;
  float* f = orv_mel_spectrogram(s.data(), int(s.size()), &n);
  std::vector<float> out(f, f + size_t(n) * kMels);
  std::free(f);
  return out;
}

// Largest difference between the batch frames of S and reference frames of S with 200 samples
// of reflection on each side.
double batch_error(const std::vector<float>& s, bool quantised) {
  const int n = int(s.size()), frames = n / kHop;
  const std::vector<float> got = batch(s);
  if (got.size() != size_t(frames) * kMels) return INFINITY;
  std::vector<double> padded(n + 400);
  for (int i = 0; i < n + 400; i++) {
    const int j = i < 200 ? 200 - i : i - 200 < n ? i - 200 : 2 * n - 2 - (i - 200);
    padded[i] = j >= 0 && j < n ? s[j] : 0.0;
  }
  double worst = 0;
  for (int f = 0; f < frames; f++) {
    const std::vector<double> want = reference_frame(padded.data() + f * kHop, quantised);
    for (int m = 0; m < kMels; m++) worst = std::max(worst, std::fabs(got[f * kMels + m] - want[m]));
  }
  return worst;
}

struct Stream {
  orv_mel_stream_t* m;
  explicit Stream(int prefix) : m(orv_mel_stream_new(prefix)) {}
  ~Stream() { orv_mel_stream_free(m); }
  // Every frame from FROM on (none of which may have been released).
  std::vector<float> frames(int from = 0) const {
    int n = 0, first = 0;
    const float* p = orv_mel_stream_frames(m, &n, &first);
    EXPECT_LE(first, from);
    return std::vector<float>(p + size_t(from - first) * kMels, p + size_t(n - first) * kMels);
  }
};

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

TEST(Mel, BatchFramesMatchDoublePrecisionDft) {
  // White noise puts power in every bin, so a wrong window, offset or filter shows everywhere;
  // its length makes the last frame reach 33 samples into the right reflection. Speech adds
  // silence, onsets and quiet high bins.
  const std::vector<float> white = noise(8000 + 7, 0.3f, 1);
  EXPECT_LT(batch_error(white, false), 5e-5);
  EXPECT_LT(batch_error(speech_samples("Seven silver swans."), true), 5e-5);
}

TEST(Mel, FrameCountsSilenceAndArguments) {
  // Silence sits at the floor; a state that never received a sample still finishes: it mirrors
  // zeros and drops the frame reaching past the end, leaving one frame per 160 prefix samples.
  for (float v : batch(std::vector<float>(1600, 0.0f))) ASSERT_EQ(v, -0.625f);
  Stream silent(40960);
  EXPECT_EQ(orv_mel_stream_finish(silent.m, 0), 256);
  for (float v : silent.frames()) ASSERT_EQ(v, -0.625f);

  std::vector<float> s(16000, 0.1f);
  int n = -1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(orv_mel_spectrogram(s.data(), 159, &n), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "orv_mel_spectrogram: audio too short (159 samples)\n");
  for (const int count : {160, 319, 320, 16000})
    EXPECT_EQ(batch(std::vector<float>(s.begin(), s.begin() + count)).size(), size_t(count / 160) * kMels);

  // The prefix (40960 + 200 zeros) holds 255 frames, computed at the first feed; frame 255 needs
  // 41200 samples and each later one 160 more.
  Stream st(40960);
  for (const auto& [feed, frames] : {std::pair{1, 255}, {38, 0}, {1, 1}, {159, 0}, {1, 1}, {1600, 10}, {0, 0}})
    EXPECT_EQ(orv_mel_stream_feed(st.m, s.data(), feed), frames) << feed;
  EXPECT_EQ(orv_mel_stream_feed(st.m, nullptr, 10), 0);
  EXPECT_EQ(orv_mel_stream_finish(st.m, 0), 256 + 1800 / 160);
  EXPECT_EQ(orv_mel_stream_finish(st.m, 0), 267);

  EXPECT_EQ(orv_mel_stream_frames(nullptr, &n, nullptr), nullptr);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(orv_mel_stream_feed(nullptr, s.data(), 10), 0);
  EXPECT_EQ(orv_mel_stream_new(-1), nullptr);
  orv_mel_stream_release(nullptr, 5);
  orv_mel_stream_free(nullptr);
}

// The incremental form starts with zeros where the batch form mirrors, and is otherwise the same
// computation: frames over the same 400 samples carry the same bits, right end included, whether
// the audio comes at once or one sample at a time.
TEST(Mel, IncrementalMatchesBatchBitForBit) {
  std::vector<float> s = speech_samples("Batch and stream agree.");
  const std::vector<float> tail = noise(1013, 0.2f, 2);  // speech trails off into silence
  s.insert(s.end(), tail.begin(), tail.end());
  s.resize(s.size() / kHop * kHop + 13);        // the last frame reaches into the right margin
  std::fill(s.begin(), s.begin() + 201, 0.0f);  // the left reflection is zeros too
  for (const auto& [prefix, piece] : {std::pair{0, 1}, {40960, int(s.size())}}) {
    Stream st(prefix);
    for (size_t off = 0; off < s.size(); off += size_t(piece))
      orv_mel_stream_feed(st.m, s.data() + off, int(std::min(s.size() - off, size_t(piece))));
    EXPECT_EQ(orv_mel_stream_finish(st.m, 0), prefix / kHop + int(s.size()) / kHop);
    EXPECT_TRUE(same_bits(st.frames(prefix / kHop), batch(s))) << "prefix " << prefix;
  }
}

// A consumer that releases what it has taken gets the same frames as a state that keeps
// everything, with memory bounded however long it runs.
TEST(Mel, ReleaseKeepsFramesBitIdenticalAndMemoryBounded) {
  const std::vector<float> x = noise(3 * 60 * 16000 + 555, 0.2f, 5);  // three minutes
  Stream keep(40960), rel(40960);
  std::vector<float> taken;
  int consumed = 0, n = 0, first = 0;
  size_t bytes_early = 0;
  std::mt19937 rng(6);
  for (size_t off = 0, len, feeds = 0; off < x.size(); off += len, feeds++) {
    len = std::min<size_t>(x.size() - off, 1 + rng() % 4000);
    orv_mel_stream_feed(rel.m, x.data() + off, int(len));
    const float* p = orv_mel_stream_frames(rel.m, &n, &first);
    // Like the encoder: take everything once 200 frames wait, keep the last 3 for context.
    if (n - consumed >= 200) {
      taken.insert(taken.end(), p + size_t(consumed - first) * kMels, p + size_t(n - first) * kMels);
      consumed = n;
      orv_mel_stream_release(rel.m, n - 3);
    }
    if (feeds == 100) bytes_early = orv_mel_stream_bytes(rel.m);
  }
  // The reference state takes the audio in one piece, so the pieces' sizes are checked too.
  orv_mel_stream_feed(keep.m, x.data(), int(x.size()));
  EXPECT_EQ(orv_mel_stream_finish(rel.m, 0), orv_mel_stream_finish(keep.m, 0));
  const std::vector<float> rest = rel.frames(consumed);
  taken.insert(taken.end(), rest.begin(), rest.end());
  EXPECT_TRUE(same_bits(taken, keep.frames()));
  EXPECT_EQ(orv_mel_stream_bytes(rel.m), bytes_early);
  EXPECT_GT(orv_mel_stream_bytes(keep.m), 10 * bytes_early);

  // Releasing past the computed frames releases only those; going back does nothing.
  Stream a(0), b(0);
  orv_mel_stream_feed(a.m, x.data(), 16000);
  orv_mel_stream_feed(b.m, x.data(), 8000);
  orv_mel_stream_release(b.m, 1000);
  orv_mel_stream_release(b.m, 0);
  orv_mel_stream_frames(b.m, &n, &first);
  EXPECT_EQ(first, n);
  orv_mel_stream_feed(b.m, x.data() + 8000, 8000);
  EXPECT_EQ(orv_mel_stream_finish(b.m, 0), orv_mel_stream_finish(a.m, 0));
  const std::vector<float> all = a.frames();
  EXPECT_TRUE(same_bits(b.frames(first), std::vector<float>(all.begin() + size_t(first) * kMels, all.end())));
}

}  // namespace
