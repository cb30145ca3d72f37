// Integer PCM to 16 kHz mono floats.
#include "pcm_converter.h"

#include <cstdint>
#include <cstdio>

std::string pcm_format_problem(const PcmFormat& f) {
  if (f.rate < 1000 || f.rate > 384000) return "rate must be 1000 to 384000 Hz";
  if (f.width < 1 || f.width > 4) return "width must be 1 to 4 bytes";
  if (f.channels < 1 || f.channels > 32) return "channels must be 1 to 32";
  return {};
}

PcmConverter::PcmConverter(const PcmFormat& format) : format_(format) {
  if (format.rate == 16000) return;
  soxr_error_t error = nullptr;
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  resampler_.reset(soxr_create(format.rate, 16000, 1, &error, nullptr, &quality, nullptr));
}

bool PcmConverter::convert(std::string_view bytes, std::vector<float>& out) {
  const size_t frame = static_cast<size_t>(format_.width) * static_cast<size_t>(format_.channels);
  partial_.append(bytes);
  const size_t frames = partial_.size() / frame;
  std::vector<float> mono(frames);
  const auto* p = reinterpret_cast<const unsigned char*>(partial_.data());
  const float scale = 1.0f / (static_cast<float>(1u << (8 * format_.width - 1)) * static_cast<float>(format_.channels));
  for (size_t f = 0; f < frames; f++) {
    int64_t sum = 0;
    for (int c = 0; c < format_.channels; c++, p += format_.width) {
      uint32_t u = 0;
      for (int b = 0; b < format_.width; b++) u |= static_cast<uint32_t>(p[b]) << (8 * b);
      const int shift = 32 - 8 * format_.width;  // sign-extends from the sample's top bit
      sum += static_cast<int32_t>(u << shift) >> shift;
    }
    mono[f] = static_cast<float>(sum) * scale;
  }
  partial_.erase(0, frames * frame);
  if (!resampler_) {
    out.insert(out.end(), mono.begin(), mono.end());
    return true;
  }
  return resample(mono.data(), mono.size(), out);
}

bool PcmConverter::finish(std::vector<float>& out) {
  partial_.clear();
  return !resampler_ || resample(nullptr, 0, out);
}

bool PcmConverter::resample(const float* in, size_t n, std::vector<float>& out) {
  const bool end = in == nullptr;
  for (size_t at = 0;;) {
    float buf[4096];
    size_t used = 0, made = 0;
    const soxr_error_t error =
        soxr_process(resampler_.get(), end ? nullptr : in + at, end ? 0 : n - at, &used, buf, 4096, &made);
    if (error) {
      std::fprintf(stderr, "orvane-server: cannot resample: %s\n", error);
      return false;
    }
    out.insert(out.end(), buf, buf + made);
    at += used;
    if (end ? made == 0 : at >= n && made < 4096) return true;
  }
}
