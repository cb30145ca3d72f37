#include "sample_converter.h"

#include <soxr.h>

#include <cmath>
#include <cstring>
#include <stdexcept>

void SampleConverter::SoxrFree::operator()(soxr* s) const { soxr_delete(s); }

SampleConverter::SampleConverter(const QAudioFormat& input) : input_(input) {
  if (!input.isValid() || input.channelCount() < 1 || input.sampleRate() < 1)
    throw std::runtime_error("The microphone offers no usable audio format");
  soxr_error_t error = nullptr;
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  resampler_.reset(soxr_create(input.sampleRate(), kOutputRate, 1, &error, &io, &quality, nullptr));
  if (!resampler_ || error) throw std::runtime_error(std::string("Cannot convert microphone audio: ") + (error ? error : "?"));
}

SampleConverter::~SampleConverter() = default;

std::vector<float> SampleConverter::convert(const QByteArray& bytes) {
  const int channels = input_.channelCount();
  const int frame_bytes = input_.bytesPerFrame();
  const size_t frames = static_cast<size_t>(bytes.size() / frame_bytes);
  if (frames == 0) return {};  // no input at all would tell the resampler the input has ended
  mono_.resize(frames);
  const char* p = bytes.constData();
  for (size_t f = 0; f < frames; f++) {
    float sum = 0;
    for (int c = 0; c < channels; c++, p += input_.bytesPerSample()) sum += input_.normalizedSampleValue(p);
    mono_[f] = sum / static_cast<float>(channels);
  }
  return resample(mono_.data(), frames);
}

std::vector<float> SampleConverter::finish() {
  std::vector<float> out;
  for (std::vector<float> more; !(more = resample(nullptr, 0)).empty();) out.insert(out.end(), more.begin(), more.end());
  return out;
}

std::vector<float> SampleConverter::resample(const float* in, size_t frames) {
  // Room for the input's share plus whatever the filter still holds.
  std::vector<float> out(static_cast<size_t>(std::ceil(double(frames) * kOutputRate / input_.sampleRate())) + 1024);
  size_t used = 0, made = 0;
  if (soxr_process(resampler_.get(), in, frames, &used, out.data(), out.size(), &made)) made = 0;
  out.resize(made);
  return out;
}
