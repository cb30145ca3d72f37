// Log-mel frames: a direct DFT of each Hann-windowed 400-sample window against precomputed
// tables, the Slaney mel filter bank, and a clamped log. The batch function and the incremental
// state share one frame kernel, so a frame's bits depend only on its 400 samples, never on how
// the audio was cut into feeds or how many frames were computed together.
#include "audio/mel.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "base/c_edge.h"
#include "base/free_deleter.h"
#include "formats/shape.h"

namespace {

constexpr int kWin = ORV_MEL_WINDOW;
constexpr int kBins = ORV_MEL_FFT_BINS;
constexpr int kMels = ORV_MEL_BINS;
constexpr int kHop = ORV_HOP;
constexpr int kMargin = ORV_MEL_MARGIN;
constexpr float kAngleStep = 0.015707964f;  // 2 pi / 400 in single precision
constexpr int kBlock = 4;                   // frames per kernel pass; the tables are read once per block
constexpr int kFirstSampleRoom = 16200;     // room after the prefix at creation
constexpr int kFirstFrameRoom = 1024;

using Floats = std::unique_ptr<float[], FreeDeleter>;

Floats aligned_floats(size_t n) {
  const size_t bytes = (n * sizeof(float) + 63) / 64 * 64;
  return Floats(static_cast<float*>(std::aligned_alloc(64, bytes)));
}

// Everything a frame needs besides its samples; built once per state or batch call.
struct MelTables {
  Floats dft;                   // [201][2][400]: the cosine row, then the sine row, of each bin
  float window[kWin];           // periodic Hann
  float filters[kMels][kBins];  // Slaney mel bank, area-normalised
  int lo[kMels], hi[kMels];     // each filter's non-zero bins are [lo, hi)

  bool init() {
    dft = aligned_floats(size_t{kBins} * 2 * kWin);
    if (!dft) return false;
    for (int n = 0; n < kWin; n++)
      window[n] = 0.5f - 0.5f * static_cast<float>(std::cos(static_cast<double>(static_cast<float>(n) * kAngleStep)));
    for (int k = 0; k < kBins; k++) {
      const float step = static_cast<float>(k) * kAngleStep;
      float* row = dft.get() + size_t{2} * kWin * k;
      for (int n = 0; n < kWin; n++) {
        const double angle = static_cast<double>(static_cast<float>(n) * step);
        row[n] = static_cast<float>(std::cos(angle));
        row[kWin + n] = static_cast<float>(std::sin(angle));
      }
    }
    orv_mel_filters(&filters[0][0]);
    // Skipping zero weights leaves every sum bit-identical: the powers are never negative, so the
    // skipped terms are all +0.
    for (int m = 0; m < kMels; m++) {
      int a = 0, b = kBins;
      while (a < kBins && filters[m][a] == 0.0f) a++;
      while (b > a && filters[m][b - 1] == 0.0f) b--;
      lo[m] = a;
      hi[m] = b;
    }
    return true;
  }
};

typedef float v8 __attribute__((vector_size(32)));

float hsum(const float* a) {
  return ((a[0] + a[4]) + (a[2] + a[6])) + ((a[1] + a[5]) + (a[3] + a[7]));
}

// The hot loop: power spectra [kBlock][201] of windowed frames X [kBlock][400]. Each
// (bin, frame) product runs in one 8-lane accumulator over the 400 samples in order, so a frame
// gets the same bits in whichever slot of the block it sits. The AVX2 clone does the same
// operations in the same order as the baseline one (AVX2 alone brings no fused multiply-add),
// so with the baseline flags every x86-64 machine computes the same frames.
#if defined(__x86_64__)
__attribute__((target_clones("avx2", "default")))
#endif
void dft_power(const float* dft, const float* x, float* power) {
  for (int k = 0; k < kBins; k++) {
    const float* c = dft + size_t{2} * kWin * k;
    const float* s = c + kWin;
    v8 re[kBlock] = {}, im[kBlock] = {};
    for (int n = 0; n < kWin; n += 8) {
      const v8 tc = *reinterpret_cast<const v8*>(c + n);
      const v8 ts = *reinterpret_cast<const v8*>(s + n);
#pragma GCC unroll 4
      for (int f = 0; f < kBlock; f++) {
        const v8 xv = *reinterpret_cast<const v8*>(x + f * kWin + n);
        re[f] += tc * xv;
        im[f] += ts * xv;
      }
    }
    for (int f = 0; f < kBlock; f++) {
      float lanes_re[8], lanes_im[8];
      std::memcpy(lanes_re, &re[f], sizeof lanes_re);
      std::memcpy(lanes_im, &im[f], sizeof lanes_im);
      const float r = hsum(lanes_re), i = hsum(lanes_im);
      power[f * kBins + k] = r * r + i * i;
    }
  }
}

// Frames OUT [n][128] of the windows WIN[0..n-1] (1 <= n <= kBlock, 400 samples each).
void mel_block(const MelTables& t, const float* const* win, int n, float* out) {
  alignas(32) float x[kBlock * kWin];
  float power[kBlock * kBins];
  for (int f = 0; f < kBlock; f++) {
    const float* w = win[std::min(f, n - 1)];  // spare slots repeat the last frame
    for (int i = 0; i < kWin; i++) x[f * kWin + i] = w[i] * t.window[i];
  }
  dft_power(t.dft.get(), x, power);
  for (int f = 0; f < n; f++) {
    const float* p = power + f * kBins;
    for (int m = 0; m < kMels; m++) {
      float mel = 0.0f;
      for (int k = t.lo[m]; k < t.hi[m]; k++) mel += t.filters[m][k] * p[k];
      const float lg = std::max(std::log10(std::max(mel, 1e-10f)), -6.5f);
      out[f * kMels + m] = lg * 0.25f + 1.0f;
    }
  }
}

// Float storage addressed by absolute element index (an element is WIDTH floats) whose oldest
// elements can be dropped. Dropped space is reclaimed when the buffer next needs room, so a stream
// that keeps dropping what it has used holds memory proportional to what it keeps.
class SlidingBuffer {
 public:
  explicit SlidingBuffer(int width) : width_(width) {}
  ~SlidingBuffer() { std::free(data_); }
  SlidingBuffer(const SlidingBuffer&) = delete;
  SlidingBuffer& operator=(const SlidingBuffer&) = delete;

  // COUNT zero elements held, room for CAPACITY.
  bool init(int64_t count, int64_t capacity) {
    data_ = static_cast<float*>(std::calloc(floats(capacity), sizeof(float)));
    if (!data_) return false;
    cap_ = capacity;
    held_ = count;
    return true;
  }
  int64_t first() const { return first_; }  // oldest element held
  int64_t end() const { return first_ + held_; }
  float* at(int64_t index) const { return data_ + (start_ + index - first_) * width_; }
  size_t bytes() const { return floats(cap_) * sizeof(float); }

  // Room for N more elements after end(); false when the buffer cannot grow.
  bool reserve(int64_t n) {
    if (start_ + held_ + n <= cap_) return true;
    if (start_ >= held_ && held_ + n <= cap_) {  // mostly dropped space: moving is cheap
      std::memmove(data_, at(first_), floats(held_) * sizeof(float));
      start_ = 0;
      return true;
    }
    int64_t cap = cap_;
    do cap *= 2;
    while (cap < held_ + n);
    float* grown = static_cast<float*>(std::malloc(floats(cap) * sizeof(float)));
    if (!grown) return false;
    std::memcpy(grown, at(first_), floats(held_) * sizeof(float));
    std::free(data_);
    data_ = grown;
    cap_ = cap;
    start_ = 0;
    return true;
  }
  // Takes N elements past end() (reserved first) into the held range; returns the first of them.
  float* extend(int64_t n) {
    float* p = at(end());
    held_ += n;
    return p;
  }
  void drop_before(int64_t index) {
    const int64_t n = std::clamp(index, first_, end()) - first_;
    start_ += n;
    first_ += n;
    held_ -= n;
  }
  void drop_last() {
    if (held_ > 0) held_--;
  }

 private:
  size_t floats(int64_t elements) const { return static_cast<size_t>(elements) * static_cast<size_t>(width_); }

  float* data_ = nullptr;
  int64_t cap_ = 0;    // elements
  int64_t start_ = 0;  // position of first() in data_, in elements
  int64_t held_ = 0;
  int64_t first_ = 0;
  int width_;
};

}  // namespace

struct orv_mel_stream_t {
  MelTables tables;
  SlidingBuffer samples{1};     // absolute index 0 is the first sample of the silence prefix
  SlidingBuffer frames{kMels};  // [frame][128]
  bool finished = false;
};

namespace {

// Computes every frame the held samples allow (frame f needs samples [160 f, 160 f + 400)).
// Returns how many were added; stops early when the frame buffer cannot grow.
int compute_frames(orv_mel_stream_t* m) {
  const int64_t n = m->samples.end();
  const int64_t ready = n >= kWin ? std::min<int64_t>((n - kWin) / kHop + 1, INT_MAX) : 0;
  const int64_t start = m->frames.end();
  // Released samples are never needed again unless a caller keeps feeding after finish dropped
  // a frame whose samples it had already released; such a frame cannot be rebuilt.
  if (start * kHop < m->samples.first()) return 0;
  int64_t f = start;
  while (f < ready) {
    const int n_block = static_cast<int>(std::min<int64_t>(kBlock, ready - f));
    if (!m->frames.reserve(n_block)) break;
    const float* win[kBlock];
    for (int i = 0; i < n_block; i++) win[i] = m->samples.at((f + i) * kHop);
    mel_block(m->tables, win, n_block, m->frames.extend(n_block));
    f += n_block;
  }
  return static_cast<int>(f - start);
}

}  // namespace

extern "C" {

void orv_mel_filters(float* filters) {
  float p[kMels + 2], d[kMels + 1];
  for (int i = 0; i < kMels + 2; i++) {
    const float fi = static_cast<float>(i);
    p[i] = fi * 0.3507414f >= 15.0f ? 1000.0f * std::exp(fi * 0.024114093f - 1.0312766f) : fi * 23.382761f;
  }
  for (int i = 0; i < kMels + 1; i++) {
    d[i] = p[i + 1] - p[i];
    if (d[i] == 0.0f) d[i] = 1e-6f;
  }
  for (int m = 0; m < kMels; m++) {
    const float norm = 2.0f / (p[m + 2] - p[m]);
    for (int k = 0; k < kBins; k++) {
      const float f = 40.0f * static_cast<float>(k);
      const float w = std::min((f - p[m]) / d[m], (p[m + 2] - f) / d[m + 1]);
      filters[m * kBins + k] = std::max(0.0f, w) * norm;
    }
  }
}

orv_mel_stream_t* orv_mel_stream_new(int prefix) {
  if (prefix < 0) return nullptr;
  try {
    auto m = std::make_unique<orv_mel_stream_t>();
    const int64_t held = int64_t{prefix} + kMargin;
    if (!m->tables.init() || !m->samples.init(held, int64_t{prefix} + kFirstSampleRoom) ||
        !m->frames.init(0, kFirstFrameRoom))
      return nullptr;
    return m.release();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

int orv_mel_stream_feed(orv_mel_stream_t* m, const float* samples, int n) {
  if (!m || !samples || n < 1) return 0;
  if (!m->samples.reserve(n)) return 0;
  std::memcpy(m->samples.extend(n), samples, static_cast<size_t>(n) * sizeof(float));
  return compute_frames(m);
}

int orv_mel_stream_finish(orv_mel_stream_t* m, int extra) {
  if (!m) return 0;
  if (m->finished) return static_cast<int>(m->frames.end());
  extra = std::max(extra, 0);
  if (!m->samples.reserve(int64_t{extra} + kMargin)) return static_cast<int>(m->frames.end());
  // The right margin mirrors the signal before its end (sample n - 2 - j), skipping the extra
  // silence. Everything from n - 240 on is still held: release keeps the samples of the first
  // uncomputed frame, which starts at most 240 samples before the end.
  const int64_t n = m->samples.end();
  float* tail = m->samples.extend(int64_t{extra} + kMargin);
  std::fill(tail, tail + extra, 0.0f);
  for (int j = 0; j < kMargin; j++) {
    const int64_t src = n - 2 - j;
    tail[extra + j] = src >= m->samples.first() ? *m->samples.at(src) : 0.0f;
  }
  compute_frames(m);
  // The last frame reaches into the mirrored margin past the final hop; drop it.
  m->frames.drop_last();
  m->finished = true;
  return static_cast<int>(m->frames.end());
}

const float* orv_mel_stream_frames(const orv_mel_stream_t* m, int* n_frames, int* first) {
  if (n_frames) *n_frames = m ? static_cast<int>(m->frames.end()) : 0;
  if (first) *first = m ? static_cast<int>(m->frames.first()) : 0;
  return m ? m->frames.at(m->frames.first()) : nullptr;
}

void orv_mel_stream_release(orv_mel_stream_t* m, int frame) {
  if (!m) return;
  m->frames.drop_before(frame);
  m->samples.drop_before(m->frames.end() * kHop);
}

size_t orv_mel_stream_bytes(const orv_mel_stream_t* m) {
  return m ? m->samples.bytes() + m->frames.bytes() : 0;
}

void orv_mel_stream_free(orv_mel_stream_t* m) { std::unique_ptr<orv_mel_stream_t> owned(m); }

float* orv_mel_spectrogram(const float* samples, int n, int* n_frames) {
  return c_edge("orv_mel_spectrogram", static_cast<float*>(nullptr), [&]() -> float* {
    if (n_frames) *n_frames = 0;
    if (n < kHop) {
      std::fprintf(stderr, "orv_mel_spectrogram: audio too short (%d samples)\n", n);
      return nullptr;
    }
    if (!samples) return nullptr;
    const int frames = n / kHop;
    try {
      auto t = std::make_unique<MelTables>();
      Floats out(static_cast<float*>(std::malloc(static_cast<size_t>(frames) * kMels * sizeof(float))));
      if (!t->init() || !out) return nullptr;
      // The signal with a mirrored 200-sample margin on each side: padded[i] is sample i - 200,
      // reflected about the first and the last sample. Interior windows are read in place; only
      // windows that reach into a margin are assembled.
      auto padded = [&](int64_t i) -> float {
        int64_t j = i - kMargin;
        if (j < 0) j = -j;
        else if (j >= n) j = 2 * int64_t{n} - 2 - j;
        return j >= 0 && j < n ? samples[j] : 0.0f;
      };
      float edge[kBlock][kWin];
      for (int f = 0; f < frames; f += kBlock) {
        const int n_block = std::min(kBlock, frames - f);
        const float* win[kBlock];
        for (int i = 0; i < n_block; i++) {
          const int64_t s0 = int64_t{f + i} * kHop - kMargin;
          if (s0 >= 0 && s0 + kWin <= n) {
            win[i] = samples + s0;
          } else {
            for (int j = 0; j < kWin; j++) edge[i][j] = padded(s0 + kMargin + j);
            win[i] = edge[i];
          }
        }
        mel_block(*t, win, n_block, out.get() + static_cast<size_t>(f) * kMels);
      }
      if (n_frames) *n_frames = frames;
      return out.release();
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  });
}

}  // extern "C"
