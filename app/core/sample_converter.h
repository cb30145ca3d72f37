// Turns the input device's samples (any rate, channel count and sample type) into 16 kHz mono
// float. The resampler keeps its filter state between calls, so consecutive buffers join
// without clicks; a new converter starts a new stream.
#ifndef ORVANE_APP_SAMPLE_CONVERTER_H
#define ORVANE_APP_SAMPLE_CONVERTER_H

#include <QAudioFormat>
#include <QByteArray>
#include <memory>
#include <vector>

struct soxr;

class SampleConverter {
 public:
  static constexpr int kOutputRate = 16000;

  // Throws std::runtime_error for a format it cannot read or a resampler that cannot be made.
  explicit SampleConverter(const QAudioFormat& input);
  ~SampleConverter();
  SampleConverter(const SampleConverter&) = delete;
  SampleConverter& operator=(const SampleConverter&) = delete;

  // Converts whole frames of BYTES (a trailing partial frame is ignored). The output lags the
  // input by the resampling filter's delay.
  std::vector<float> convert(const QByteArray& bytes);
  // The output still held back by the filter, at the end of the input.
  std::vector<float> finish();

 private:
  std::vector<float> resample(const float* in, size_t frames);  // IN null: end of input

  struct SoxrFree {
    void operator()(soxr* s) const;
  };

  QAudioFormat input_;
  std::unique_ptr<soxr, SoxrFree> resampler_;
  std::vector<float> mono_;  // [frames] down-mixed input, reused
};

#endif
