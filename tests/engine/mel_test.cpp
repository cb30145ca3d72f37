// Log-mel frames: against a double-precision DFT and Slaney filter bank, batch against
// incremental, independence from how the audio is fed, and bounded memory with release.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "mel.h"
#include "speech.h"

namespace {

constexpr int kMels = 128, kBins = 201, kWin = 400, kHop = 160;

using Frames = std::unique_ptr<float, decltype(&std::free)>;

// ---- Independent reference, all in double precision ---------------------------------------

double hz_to_mel(double f) { return f < 1000 ? f * 3.0 / 200.0 : 15.0 + std::log(f / 1000.0) * 27.0 / std::log(6.4); }
double mel_to_hz(double m) { return m < 15 ? m * 200.0 / 3.0 : 1000.0 * std::exp((m - 15.0) * std::log(6.4) / 27.0); }

// Slaney filters over 0..8000 Hz with area normalisation.
std::vector<double> slaney_filters() {
  double pts[kMels + 2];
  for (int i = 0; i < kMels + 2; i++) pts[i] = mel_to_hz(i * hz_to_mel(8000.0) / (kMels + 1));
  std::vector<double> w(kMels * kBins);
  for (int m = 0; m < kMels; m++)
    for (int k = 0; k < kBins; k++) {
      const double f = 40.0 * k;
      const double rise = (f - pts[m]) / (pts[m + 1] - pts[m]);
      const double fall = (pts[m + 2] - f) / (pts[m + 2] - pts[m + 1]);
      w[m * kBins + k] = std::max(0.0, std::min(rise, fall)) * 2.0 / (pts[m + 2] - pts[m]);
    }
  return w;
}

// Log-mel frame of the 400 samples at X with a periodic Hann window and a DFT in double. The
// front end's tables form their angles n x (k x 2pi/400) in single precision, which leaks about
// 1e-4 of a frame's energy across bins; QUANTISED uses those angles, to check everything else
// tightly.
std::vector<double> reference_frame(const double* x, bool quantised) {
  static const std::vector<double> filters = slaney_filters();
  std::vector<double> power(kBins);
  for (int k = 0; k < kBins; k++) {
    double re = 0, im = 0;
    for (int n = 0; n < kWin; n++) {
      const double v = x[n] * (0.5 - 0.5 * std::cos(2 * M_PI * n / kWin));
      const double angle = quantised ? double{static_cast<float>(n) * (static_cast<float>(k) * 0.015707964f)}
                                     : 2 * M_PI * ((k * n) % kWin) / kWin;
      re += v * std::cos(angle);
      im -= v * std::sin(angle);
    }
    power[k] = re * re + im * im;
  }
  std::vector<double> out(kMels);
  for (int m = 0; m < kMels; m++) {
    double mel = 0;
    for (int k = 0; k < kBins; k++) mel += filters[m * kBins + k] * power[k];
    out[m] = std::max(std::log10(std::max(mel, 1e-10)), -6.5) / 4.0 + 1.0;
  }
  return out;
}

// The signal with 200 samples of reflection on each side (numpy's "reflect" padding).
std::vector<double> reflect_pad(const std::vector<float>& s) {
  const int n = static_cast<int>(s.size());
  std::vector<double> p(n + 400);
  for (int i = 0; i < n + 400; i++) {
    int j = i - 200;
    if (j < 0) j = -j;
    if (j >= n) j = 2 * n - 2 - j;
    p[i] = j >= 0 && j < n ? s[j] : 0.0;
  }
  return p;
}

// ---- Helpers ------------------------------------------------------------------------------

std::vector<float> noise(int n, float amplitude, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-amplitude, amplitude);
  std::vector<float> x(n);
  for (float& v : x) v = u(rng);
  return x;
}

std::vector<float> batch(const std::vector<float>& s) {
  int n = -1;
  Frames f(orv_mel_spectrogram(s.data(), static_cast<int>(s.size()), &n), &std::free);
  if (!f) return {};
  return std::vector<float>(f.get(), f.get() + size_t(n) * kMels);
}

struct Stream {
  orv_mel_stream_t* m;
  explicit Stream(int prefix) : m(orv_mel_stream_new(prefix)) {}
  ~Stream() { orv_mel_stream_free(m); }
  // Every frame from FROM on, as long as none below FROM was released.
  std::vector<float> frames(int from = 0) const {
    int n = 0, first = 0;
    const float* p = orv_mel_stream_frames(m, &n, &first);
    if (first > from) return {};
    return std::vector<float>(p + size_t(from - first) * kMels, p + size_t(n - first) * kMels);
  }
};

// Feeds X in pieces whose sizes come from NEXT, then finishes; returns every frame.
template <typename Next>
std::vector<float> stream_frames(const std::vector<float>& x, int prefix, Next next) {
  Stream s(prefix);
  size_t off = 0;
  while (off < x.size()) {
    const size_t len = std::min(x.size() - off, static_cast<size_t>(next()));
    orv_mel_stream_feed(s.m, x.data() + off, static_cast<int>(len));
    off += len;
  }
  orv_mel_stream_finish(s.m, 0);
  return s.frames();
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// ---- Tests --------------------------------------------------------------------------------

TEST(Mel, FilterBankIsSlaneyWithAreaNormalisation) {
  std::vector<float> got(kMels * kBins);
  orv_mel_filters(got.data());
  const std::vector<double> want = slaney_filters();
  for (int m = 0; m < kMels; m++) {
    double peak = 0;
    for (int k = 0; k < kBins; k++) peak = std::max(peak, want[m * kBins + k]);
    ASSERT_GT(peak, 0) << "filter " << m << " is empty";
    for (int k = 0; k < kBins; k++)
      ASSERT_NEAR(got[m * kBins + k], want[m * kBins + k], 1e-4 * peak) << "filter " << m << " bin " << k;
  }
}

// Largest difference between the batch frames of S and the reference frames of its reflected
// padding.
double batch_error(const std::vector<float>& s, bool quantised) {
  const std::vector<float> got = batch(s);
  const int frames = static_cast<int>(s.size()) / kHop;
  if (got.size() != size_t(frames) * kMels) return INFINITY;
  const std::vector<double> padded = reflect_pad(s);
  double worst = 0;
  for (int f = 0; f < frames; f++) {
    const std::vector<double> want = reference_frame(padded.data() + f * kHop, quantised);
    for (int m = 0; m < kMels; m++) worst = std::max(worst, std::fabs(got[f * kMels + m] - want[m]));
  }
  return worst;
}

TEST(Mel, BatchFramesMatchDoublePrecisionDft) {
  // White noise puts power in every bin, so a wrong window, offset or filter shows everywhere;
  // speech adds silence, onsets, quiet high bins and the reflections at both ends.
  const std::vector<float> white = noise(8000 + 7, 0.3f, 1);  // the last frame reaches 33 samples into the right margin
  EXPECT_LT(batch_error(white, false), 5e-5);
  EXPECT_LT(batch_error(speech_samples("Seven silver swans."), true), 5e-5);
}

TEST(Mel, SilenceSitsOnTheLogFloor) {
  const std::vector<float> zeros(16000, 0.0f);
  const std::vector<float> b = batch(zeros);
  ASSERT_EQ(b.size(), 100u * kMels);
  for (float v : b) ASSERT_EQ(v, -0.625f);

  // A state that never received a sample still finishes: it mirrors zeros and drops the frame
  // that reaches past the end, leaving one frame per 160 prefix samples.
  Stream s(40960);
  EXPECT_EQ(orv_mel_stream_finish(s.m, 0), 256);
  const std::vector<float> f = s.frames();
  ASSERT_EQ(f.size(), 256u * kMels);
  for (float v : f) ASSERT_EQ(v, -0.625f);
}

TEST(Mel, FullScaleSineLightsTheFiltersAroundItsFrequency) {
  std::vector<float> s(16000);
  for (int i = 0; i < 16000; i++) s[i] = static_cast<float>(std::sin(2 * M_PI * 1000.0 * i / 16000));
  const std::vector<float> got = batch(s);
  ASSERT_EQ(got.size(), 100u * kMels);
  // 1000 Hz is spectrum bin 25; only the filters with weight there may carry the peak.
  const std::vector<double> filters = slaney_filters();
  std::vector<int> covering;
  for (int m = 0; m < kMels; m++)
    if (filters[m * kBins + 25] > 0) covering.push_back(m);
  ASSERT_EQ(covering.size(), 2u);
  const float* frame = got.data() + 50 * kMels;
  const int top = static_cast<int>(std::max_element(frame, frame + kMels) - frame);
  EXPECT_TRUE(top == covering[0] || top == covering[1]) << top;
  for (int m : covering) EXPECT_GT(frame[m], 1.5f);
  EXPECT_LT(frame[0], frame[covering[0]] - 1.0f);
  EXPECT_LT(frame[kMels - 1], frame[covering[0]] - 1.0f);
}

TEST(Mel, FrameCounts) {
  int n = -1;
  std::vector<float> s(16000, 0.1f);
  testing::internal::CaptureStderr();
  EXPECT_EQ(orv_mel_spectrogram(s.data(), 159, &n), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "orv_mel_spectrogram: audio too short (159 samples)\n");
  EXPECT_EQ(n, 0);
  for (const int count : {160, 319, 320, 16000}) {
    Frames f(orv_mel_spectrogram(s.data(), count, &n), &std::free);
    ASSERT_TRUE(f);
    EXPECT_EQ(n, count / 160);
  }

  // The silence prefix (40960 + 200 samples) holds 255 complete frames, computed at the first feed.
  Stream st(40960);
  EXPECT_EQ(orv_mel_stream_feed(st.m, s.data(), 1), 255);
  // Frame 255 needs 41200 samples, and each later frame 160 more.
  EXPECT_EQ(orv_mel_stream_feed(st.m, s.data(), 38), 0);
  EXPECT_EQ(orv_mel_stream_feed(st.m, s.data(), 1), 1);
  EXPECT_EQ(orv_mel_stream_feed(st.m, s.data(), 159), 0);
  EXPECT_EQ(orv_mel_stream_feed(st.m, s.data(), 1), 1);
  EXPECT_EQ(orv_mel_stream_feed(st.m, s.data(), 1600), 10);
  EXPECT_EQ(orv_mel_stream_feed(st.m, s.data(), 0), 0);
  EXPECT_EQ(orv_mel_stream_feed(st.m, nullptr, 10), 0);
  // 1800 samples fed: 11 frames after the prefix's 256, the last partial one dropped.
  EXPECT_EQ(orv_mel_stream_finish(st.m, 0), 256 + 1800 / 160);
  EXPECT_EQ(orv_mel_stream_finish(st.m, 0), 267);
  int first = -1;
  orv_mel_stream_frames(st.m, &n, &first);
  EXPECT_EQ(n, 267);
  EXPECT_EQ(first, 0);
}

TEST(Mel, NullAndInvalidArgumentsAreHarmless) {
  int n = -1, first = -1;
  EXPECT_EQ(orv_mel_stream_frames(nullptr, &n, &first), nullptr);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(orv_mel_stream_feed(nullptr, nullptr, 10), 0);
  orv_mel_stream_release(nullptr, 5);
  orv_mel_stream_free(nullptr);
  EXPECT_EQ(orv_mel_stream_new(-1), nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(orv_mel_spectrogram(nullptr, 0, &n), nullptr);
  EXPECT_NE(testing::internal::GetCapturedStderr(), "");
}

// The incremental form starts with zeros where the batch form mirrors, and is otherwise the same
// computation: frames over the same 400 samples must carry the same bits, right end included.
TEST(Mel, IncrementalMatchesBatchBitForBit) {
  std::vector<float> s = speech_samples("Batch and stream agree.");
  // Speech trails off into silence; a noisy ending makes the mirrored right margin count.
  const std::vector<float> tail = noise(1013, 0.2f, 2);
  s.insert(s.end(), tail.begin(), tail.end());
  s.resize(s.size() / kHop * kHop + 13);  // the last frame reaches into the right margin
  std::fill(s.begin(), s.begin() + 201, 0.0f);  // so the left reflection is zeros too
  const std::vector<float> b = batch(s);
  for (const int prefix : {0, 40960}) {
    Stream st(prefix);
    orv_mel_stream_feed(st.m, s.data(), static_cast<int>(s.size()));
    EXPECT_EQ(orv_mel_stream_finish(st.m, 0), prefix / kHop + static_cast<int>(s.size()) / kHop);
    EXPECT_TRUE(same_bits(st.frames(prefix / kHop), b)) << "prefix " << prefix;
  }
}

TEST(Mel, FramesDoNotDependOnHowAudioIsFed) {
  const std::vector<float> x = noise(2 * 16000 + 123, 0.5f, 9);
  const std::vector<float> whole = stream_frames(x, 40960, [] { return 1 << 30; });
  ASSERT_EQ(whole.size(), size_t(256 + x.size() / kHop) * kMels);
  EXPECT_TRUE(same_bits(stream_frames(x, 40960, [] { return 1; }), whole)) << "one sample at a time";
  std::mt19937 rng(4);
  std::uniform_int_distribution<int> size(1, 2000);
  EXPECT_TRUE(same_bits(stream_frames(x, 40960, [&] { return size(rng); }), whole)) << "random sizes";
  EXPECT_TRUE(same_bits(stream_frames(x, 40960, [] { return 1600; }), whole)) << "0.1 s feeds";
}

// A stream that releases what it has consumed gets the same frames as one that keeps everything,
// with its memory bounded however long it runs.
TEST(Mel, ReleaseKeepsFramesBitIdenticalAndMemoryBounded) {
  const std::vector<float> x = noise(3 * 60 * 16000 + 555, 0.2f, 5);  // three minutes
  Stream keep(40960), rel(40960);
  std::vector<float> collected;  // frames as a consumer of the releasing state sees them
  int consumed = 0;
  size_t bytes_early = 0;
  std::mt19937 rng(6);
  std::uniform_int_distribution<int> size(1, 4000);
  for (size_t off = 0, feeds = 0; off < x.size(); feeds++) {
    const int len = static_cast<int>(std::min<size_t>(x.size() - off, size(rng)));
    orv_mel_stream_feed(keep.m, x.data() + off, len);
    orv_mel_stream_feed(rel.m, x.data() + off, len);
    off += len;
    int n = 0, first = 0;
    const float* p = orv_mel_stream_frames(rel.m, &n, &first);
    ASSERT_LE(first, consumed);
    // Like an encoder that takes frames in chunks: consume everything once 200 are waiting,
    // keeping the last 3 for context.
    if (n - consumed >= 200) {
      collected.insert(collected.end(), p + size_t(consumed - first) * kMels, p + size_t(n - first) * kMels);
      consumed = n;
      orv_mel_stream_release(rel.m, n - 3);
    }
    if (feeds == 100) bytes_early = orv_mel_stream_bytes(rel.m);
  }
  const int total = orv_mel_stream_finish(rel.m, 0);
  EXPECT_EQ(total, orv_mel_stream_finish(keep.m, 0));
  const std::vector<float> tail = rel.frames(consumed);
  collected.insert(collected.end(), tail.begin(), tail.end());
  EXPECT_TRUE(same_bits(collected, keep.frames()));

  EXPECT_EQ(orv_mel_stream_bytes(rel.m), bytes_early);
  EXPECT_GT(orv_mel_stream_bytes(keep.m), 10 * bytes_early);
}

TEST(Mel, ReleaseClampsAndFrameIndicesStayAbsolute) {
  const std::vector<float> x = noise(16000, 0.2f, 8);
  Stream keep(0), rel(0);
  orv_mel_stream_feed(keep.m, x.data(), 16000);
  orv_mel_stream_feed(rel.m, x.data(), 8000);
  orv_mel_stream_release(rel.m, 1000);  // beyond the computed frames: releases only those
  int n = 0, first = 0;
  orv_mel_stream_frames(rel.m, &n, &first);
  EXPECT_EQ(first, n);
  orv_mel_stream_release(rel.m, 0);  // going back does nothing
  orv_mel_stream_frames(rel.m, &n, &first);
  EXPECT_EQ(first, n);
  const int released = first;
  orv_mel_stream_feed(rel.m, x.data() + 8000, 8000);
  EXPECT_EQ(orv_mel_stream_finish(rel.m, 0), orv_mel_stream_finish(keep.m, 0));
  const std::vector<float> all = keep.frames();
  EXPECT_TRUE(same_bits(rel.frames(released), std::vector<float>(all.begin() + size_t(released) * kMels, all.end())));
}

}  // namespace
