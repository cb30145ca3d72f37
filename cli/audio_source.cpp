// Recordings as blocks of 16 kHz mono samples: the engine reads 16-bit PCM WAV files and standard
// input; libsndfile decodes everything else, libsoxr resamples it.
#include "audio_source.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "orvane.h"

namespace {

enum { kBlockFrames = 4096 };

// Standard input, as the engine's reader delivers it while it arrives.
class StdinSource : public AudioSource {
 public:
  explicit StdinSource(orv_audio_reader_t* in) : in_(in, &orv_audio_reader_free) {}
  int read(const float** samples) override { return orv_audio_reader_read(in_.get(), samples); }

 private:
  std::unique_ptr<orv_audio_reader_t, decltype(&orv_audio_reader_free)> in_;
};

// A 16-bit PCM WAV file, read whole by the engine and handed out in blocks.
class WavSource : public AudioSource {
 public:
  WavSource(float* samples, int n) : samples_(samples, &std::free), n_(n) {}
  int read(const float** samples) override {
    const int count = std::min<int>(kBlockFrames, n_ - at_);
    *samples = samples_.get() + at_;
    at_ += count;
    return count;
  }

 private:
  std::unique_ptr<float, decltype(&std::free)> samples_;
  int n_, at_ = 0;
};

// Any file libsndfile decodes: frames mixed to mono by averaging, then resampled to 16 kHz with
// libsoxr's high-quality filter, block by block.
class SndfileSource : public AudioSource {
 public:
  SndfileSource(SNDFILE* sf, const SF_INFO& info, std::string path)
      : sf_(sf, &sf_close), channels_(info.channels), rate_(info.samplerate), path_(std::move(path)),
        frames_(static_cast<size_t>(kBlockFrames) * static_cast<size_t>(info.channels)) {
    if (info.samplerate != 16000) {
      soxr_error_t error = nullptr;
      const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
      resampler_.reset(soxr_create(info.samplerate, 16000, 1, &error, nullptr, &quality, nullptr));
    }
  }
  bool ok() const { return channels_ >= 1 && (rate_ == 16000 || resampler_); }

  int read(const float** samples) override {
    out_.clear();
    while (out_.empty() && !ended_) {
      const sf_count_t got = sf_readf_float(sf_.get(), frames_.data(), kBlockFrames);
      if (got <= 0 && sf_error(sf_.get()) != SF_ERR_NO_ERROR) {
        std::fprintf(stderr, "orvane: cannot decode %s: %s\n", path_.c_str(), sf_strerror(sf_.get()));
        return -1;
      }
      ended_ = got <= 0;
      std::vector<float> mono(static_cast<size_t>(std::max<sf_count_t>(got, 0)));
      const float inv = 1.0f / static_cast<float>(channels_);
      for (size_t f = 0; f < mono.size(); f++) {
        float sum = 0;
        for (int c = 0; c < channels_; c++) sum += frames_[f * static_cast<size_t>(channels_) + static_cast<size_t>(c)];
        mono[f] = sum * inv;
      }
      if (!resampler_) {
        out_.swap(mono);
      } else if (!resample(mono)) {
        return -1;
      }
    }
    *samples = out_.data();
    return static_cast<int>(out_.size());
  }

 private:
  // Resamples MONO into out_; at the end, the filter's tail as well.
  bool resample(const std::vector<float>& mono) {
    size_t used = 0;
    for (size_t at = 0;;) {
      float buf[2 * kBlockFrames];
      size_t made = 0;
      const soxr_error_t error =
          soxr_process(resampler_.get(), ended_ ? nullptr : mono.data() + at, ended_ ? 0 : mono.size() - at, &used,
                       buf, sizeof buf / sizeof buf[0], &made);
      if (error) {
        std::fprintf(stderr, "orvane: cannot resample %s: %s\n", path_.c_str(), error);
        return false;
      }
      out_.insert(out_.end(), buf, buf + made);
      at += used;
      if (ended_ ? made == 0 : at >= mono.size()) return true;
    }
  }

  struct SoxrDeleter {
    void operator()(soxr_t s) const { soxr_delete(s); }
  };
  std::unique_ptr<SNDFILE, decltype(&sf_close)> sf_;
  int channels_, rate_;
  std::string path_;
  std::vector<float> frames_, out_;
  std::unique_ptr<soxr, SoxrDeleter> resampler_;
  bool ended_ = false;
};

}  // namespace

std::unique_ptr<AudioSource> open_audio(const std::string& path) {
  if (path == "-") {
    orv_audio_reader_t* in = orv_audio_reader_open(0);
    if (!in) return nullptr;
    return std::make_unique<StdinSource>(in);
  }
  SF_INFO info{};
  SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
  const int type = info.format & SF_FORMAT_TYPEMASK, subtype = info.format & SF_FORMAT_SUBMASK;
  const bool wav16 = (type == SF_FORMAT_WAV || type == SF_FORMAT_WAVEX) && subtype == SF_FORMAT_PCM_16;
  if (sf && !wav16) {
    auto source = std::make_unique<SndfileSource>(sf, info, path);
    if (source->ok()) return source;
    std::fprintf(stderr, "orvane: cannot resample %s from %d Hz\n", path.c_str(), info.samplerate);
    return nullptr;
  }
  const std::string sndfile_error = sf ? "" : sf_strerror(nullptr);
  if (sf) sf_close(sf);
  // 16-bit PCM WAV goes to the engine, which also reads the WAV files libsndfile refuses, such
  // as those whose sizes a recorder left as placeholders.
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    std::fprintf(stderr, "orvane: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
    return nullptr;
  }
  char head[4] = {};
  const bool riff = std::fread(head, 1, 4, f) == 4 && std::memcmp(head, "RIFF", 4) == 0;
  std::fclose(f);
  if (!wav16 && !riff) {
    std::fprintf(stderr, "orvane: %s: not a recording orvane can read (%s)\n", path.c_str(), sndfile_error.c_str());
    return nullptr;
  }
  int n = 0;
  float* samples = orv_load_wav(path.c_str(), &n);
  if (!samples) {
    std::fprintf(stderr, "orvane: cannot read %s\n", path.c_str());
    return nullptr;
  }
  return std::make_unique<WavSource>(samples, n);
}
