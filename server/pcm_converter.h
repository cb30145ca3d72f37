// Interleaved integer PCM of any rate, sample width and channel count, as 16 kHz mono floats:
// channels averaged, then resampled with libsoxr, its filter state kept from one block to the next.
#ifndef ORVANE_SERVER_PCM_CONVERTER_H
#define ORVANE_SERVER_PCM_CONVERTER_H

#include <soxr.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct PcmFormat {
  int rate = 16000;
  int width = 2;     // bytes per sample, 1 to 4, signed little-endian
  int channels = 1;
  bool operator==(const PcmFormat&) const = default;
};

// Empty when FORMAT can be converted, otherwise what is wrong with it.
std::string pcm_format_problem(const PcmFormat& format);

class PcmConverter {
 public:
  explicit PcmConverter(const PcmFormat& format);  // the format must have no problem
  const PcmFormat& format() const { return format_; }
  // Converts BYTES (a frame may be split across calls) and appends the samples to OUT.
  bool convert(std::string_view bytes, std::vector<float>& out);
  // Ends the input: the resampler's tail goes to OUT.
  bool finish(std::vector<float>& out);

 private:
  bool resample(const float* in, size_t n, std::vector<float>& out);

  struct SoxrDeleter {
    void operator()(soxr_t s) const { soxr_delete(s); }
  };
  PcmFormat format_;
  std::string partial_;  // the start of a frame cut by the end of a block
  std::unique_ptr<soxr, SoxrDeleter> resampler_;
};

#endif
