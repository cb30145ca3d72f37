// WAV images and raw 16-bit PCM to 16 kHz mono floats: chunk scan, mix-down, linear resampling,
// and the file and standard-input readers.
#include "audio/wav.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/c_edge.h"
#include "base/free_deleter.h"

namespace {

constexpr float kS16Scale = 3.0517578e-5f;  // 1 / 32768, exact in single precision
constexpr uint32_t kMinRate = 1000;         // below this the 16 kHz output balloons for nothing

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

float* alloc_floats(int64_t n) {
  // malloc(0) may return NULL, which would read as failure for a valid empty result.
  return static_cast<float*>(std::malloc(static_cast<size_t>(n > 0 ? n : 1) * sizeof(float)));
}

}  // namespace

extern "C" {

void orv_s16le_to_float(const uint8_t* bytes, int n_samples, float* out) {
  for (int i = 0; i < n_samples; i++)
    out[i] = static_cast<float>(static_cast<int16_t>(le16(bytes + 2 * static_cast<size_t>(i)))) *
             kS16Scale;
}

void orv_s16le_mix(const uint8_t* bytes, int frames, int channels, float* out) {
  if (channels == 1) {
    orv_s16le_to_float(bytes, frames, out);
    return;
  }
  const float inv_channels = 1.0f / static_cast<float>(channels);
  const uint8_t* p = bytes;
  for (int f = 0; f < frames; f++) {
    float sum = 0.0f;
    for (int c = 0; c < channels; c++, p += 2) sum += static_cast<float>(static_cast<int16_t>(le16(p)));
    out[f] = sum * inv_channels * kS16Scale;
  }
}

int orv_wav_size_unknown(uint32_t size) {
  return size == 0 || size == 0x80000000u || size == 0xFFFFFFFFu;
}

void orv_wav_take_fmt(const uint8_t* body, size_t size, orv_wav_info_t* info) {
  if (size < 16) return;
  info->format = le16(body);
  info->channels = le16(body + 2);
  info->sample_rate = le32(body + 4);
  info->bits = le16(body + 14);
  // The extensible form names its real format by a GUID whose first two bytes are the usual code
  // and whose other fourteen are fixed; the container width above is what the samples occupy.
  static const uint8_t kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                        0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  if (info->format == ORV_WAV_EXTENSIBLE && size >= 40 && le16(body + 16) >= 22 &&
      std::memcmp(body + 26, kGuidTail, sizeof kGuidTail) == 0)
    info->format = le16(body + 24);
}

int orv_wav_scan(const uint8_t* bytes, size_t len, orv_wav_info_t* info) {
  *info = orv_wav_info_t{};
  // Offsets are size_t and every comparison is made against what is left of the image, so chunk
  // sizes near 2^32 cannot wrap around.
  size_t off = 12;
  while (len >= off && len - off >= 8) {
    const uint8_t* id = bytes + off;
    const uint32_t size = le32(id + 4);
    const size_t body = off + 8, left = len - body;
    if (std::memcmp(id, "data", 4) == 0) {
      info->data = bytes + body;
      // Recorders writing to a pipe cannot know the length and leave a placeholder; a file cut
      // short keeps what it holds. Either way the samples run to the end.
      if (orv_wav_size_unknown(size) || size > left) {
        info->data_bytes = left;
        break;
      }
      info->data_bytes = size;
    } else if (size > left) {
      break;  // any other chunk running past the image ends the scan
    } else if (std::memcmp(id, "fmt ", 4) == 0) {
      orv_wav_take_fmt(bytes + body, size, info);
    }
    off = body + size + (size & 1);  // a missing pad byte at the very end just ends the scan
  }
  return orv_wav_refusal(info, 1, nullptr, 0) == 0 ? 0 : -1;
}

int orv_wav_refusal(const orv_wav_info_t* info, int need_data, char* out, size_t cap) {
  char scratch[1];
  if (!out || cap == 0) {
    out = scratch;
    cap = sizeof scratch;
  }
  const char* const only = "only 16-bit PCM WAV is read directly";
  if (info->format == 0 && info->bits == 0)
    std::snprintf(out, cap, "no \"fmt \" chunk");
  else if (info->format == ORV_WAV_PCM && info->bits != 16)
    std::snprintf(out, cap, "%d-bit samples: %s", info->bits, only);
  else if (info->format == ORV_WAV_FLOAT)
    std::snprintf(out, cap, "%d-bit floating-point samples: %s", info->bits, only);
  else if (info->format == ORV_WAV_ALAW || info->format == ORV_WAV_MULAW)
    std::snprintf(out, cap, "%s samples: %s", info->format == ORV_WAV_ALAW ? "A-law" : "mu-law", only);
  else if (info->format == ORV_WAV_EXTENSIBLE)
    std::snprintf(out, cap, "extensible format with an unknown sub-format: %s", only);
  else if (info->format != ORV_WAV_PCM)
    std::snprintf(out, cap, "compressed audio (format 0x%04x): %s", static_cast<unsigned>(info->format), only);
  else if (info->channels < 1)
    std::snprintf(out, cap, "no channels");
  else if (info->sample_rate < kMinRate)
    std::snprintf(out, cap, "unsupported sample rate %u Hz", info->sample_rate);
  else if (need_data && !info->data)
    std::snprintf(out, cap, "no \"data\" chunk");
  else
    return 0;
  return -1;
}

float* orv_resample_16k(const float* x, int n, uint32_t rate, int* n_out) {
  *n_out = 0;
  const int64_t count = rate == 0 ? 0 : static_cast<int64_t>(n) * 16000 / rate;
  if (count > INT_MAX) return nullptr;
  try {
    std::vector<float> out;
    out.reserve(static_cast<size_t>(count));
    Resampler16k resampler(rate);
    resampler.push(x, static_cast<size_t>(n > 0 ? n : 0), out);
    resampler.finish(out);
    float* copy = alloc_floats(count);
    if (!copy) return nullptr;
    std::copy(out.begin(), out.end(), copy);
    *n_out = static_cast<int>(out.size());
    return copy;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

float* orv_wav_to_mono16k(const orv_wav_info_t* info, int* n_out) {
  *n_out = 0;
  const int channels = info->channels;
  const size_t frames_sz = info->data_bytes / (2 * static_cast<size_t>(channels));
  if (frames_sz > static_cast<size_t>(INT_MAX)) return nullptr;
  const int frames = static_cast<int>(frames_sz);
  std::unique_ptr<float, FreeDeleter> mono(alloc_floats(frames));
  if (!mono) return nullptr;
  orv_s16le_mix(info->data, frames, channels, mono.get());
  if (info->sample_rate == 16000) {
    *n_out = frames;
    return mono.release();
  }
  int n = 0;
  float* out = orv_resample_16k(mono.get(), frames, info->sample_rate, &n);
  if (!out) return nullptr;
  if (orv_audio_verbose)
    std::fprintf(stderr, "  Resampled %u -> %d Hz (%d samples)\n", info->sample_rate, 16000, n);
  *n_out = n;
  return out;
}

float* parse_wav_buffer(const uint8_t* bytes, size_t len, int* n_out) {
  int dummy = 0;
  if (!n_out) n_out = &dummy;
  *n_out = 0;
  if (!bytes || len < 44 || std::memcmp(bytes, "RIFF", 4) != 0 ||
      std::memcmp(bytes + 8, "WAVE", 4) != 0) {
    std::fprintf(stderr, "parse_wav_buffer: not a valid WAV file\n");
    return nullptr;
  }
  orv_wav_info_t info;
  if (orv_wav_scan(bytes, len, &info) != 0) {
    char why[128];
    orv_wav_refusal(&info, 1, why, sizeof why);
    std::fprintf(stderr, "parse_wav_buffer: %s\n", why);
    return nullptr;
  }
  // An image read to its end may hold more frames than an int counts, and upsampling may push
  // the output past one.
  const size_t frames = info.data_bytes / (2 * static_cast<size_t>(info.channels));
  const int64_t count = static_cast<int64_t>(frames) * 16000 / info.sample_rate;
  if (frames > static_cast<size_t>(INT_MAX) || count > INT_MAX) {
    std::fprintf(stderr, "parse_wav_buffer: audio too long (%lld samples at 16 kHz)\n",
                 static_cast<long long>(count));
    return nullptr;
  }
  return orv_wav_to_mono16k(&info, n_out);
}

float* orv_load_wav(const char* path, int* n_out) {
  return c_edge("orv_load_wav", static_cast<float*>(nullptr), [&]() -> float* {
    int dummy = 0;
    if (!n_out) n_out = &dummy;
    *n_out = 0;
    FILE* f = path ? std::fopen(path, "rb") : nullptr;
    if (!f) {
      std::fprintf(stderr, "orv_load_wav: cannot open %s\n", path ? path : "(null)");
      return nullptr;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> file(f, std::fclose);
    // A directory opens fine and then "seeks" to an absurd size; a pipe cannot seek at all.
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
      std::fprintf(stderr, "orv_load_wav: %s is not a regular file\n", path);
      return nullptr;
    }
    if (std::fseek(f, 0, SEEK_END) != 0) return nullptr;
    const long size = std::ftell(f);
    if (size < 1 || std::fseek(f, 0, SEEK_SET) != 0) {
      if (size == 0) std::fprintf(stderr, "orv_load_wav: %s is empty\n", path);
      return nullptr;
    }
    std::unique_ptr<uint8_t, FreeDeleter> bytes(static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size))));
    if (!bytes || std::fread(bytes.get(), 1, static_cast<size_t>(size), f) != static_cast<size_t>(size))
      return nullptr;
    return parse_wav_buffer(bytes.get(), static_cast<size_t>(size), n_out);
  });
}

float* orv_read_pcm_stdin(int* n_out) {
  return c_edge("orv_read_pcm_stdin", static_cast<float*>(nullptr), [&]() -> float* {
    int dummy = 0;
    if (!n_out) n_out = &dummy;
    *n_out = 0;
    size_t cap = size_t{1} << 20, len = 0;
    std::unique_ptr<uint8_t, FreeDeleter> buf(static_cast<uint8_t*>(std::malloc(cap)));
    if (!buf) return nullptr;
    for (;;) {
      if (len == cap) {
        void* grown = std::realloc(buf.get(), cap * 2);
        if (!grown) return nullptr;
        (void)buf.release();
        buf.reset(static_cast<uint8_t*>(grown));
        cap *= 2;
      }
      const ssize_t got = read(0, buf.get() + len, cap - len);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        // Transcribing whatever arrived before the error would pass off a cut recording as whole.
        std::fprintf(stderr, "orv_read_pcm_stdin: read error: %s\n", std::strerror(errno));
        return nullptr;
      }
      if (got == 0) break;
      len += static_cast<size_t>(got);
    }
    if (len <= 3) {
      std::fprintf(stderr, "orv_read_pcm_stdin: no data on stdin\n");
      return nullptr;
    }
    std::fprintf(stderr, "Read %zu bytes from stdin\n", len);
    if (std::memcmp(buf.get(), "RIFF", 4) == 0) {
      std::fprintf(stderr, "Detected WAV format on stdin\n");
      return parse_wav_buffer(buf.get(), len, n_out);
    }
    std::fprintf(stderr, "Treating stdin as raw s16le 16kHz mono\n");
    if (len / 2 > static_cast<size_t>(INT_MAX)) {
      std::fprintf(stderr, "orv_read_pcm_stdin: input too long (%zu bytes)\n", len);
      return nullptr;
    }
    const int n = static_cast<int>(len / 2);
    float* out = alloc_floats(n);
    if (!out) return nullptr;
    orv_s16le_to_float(buf.get(), n, out);
    *n_out = n;
    return out;
  });
}

}  // extern "C"

Resampler16k::Resampler16k(uint32_t rate)
    : rate_(rate), step_(static_cast<double>(static_cast<float>(rate) * 6.25e-5f)) {}

void Resampler16k::push(const float* x, size_t n, std::vector<float>& out) {
  held_.insert(held_.end(), x, x + n);
  received_ += static_cast<int64_t>(n);
  emit(false, out);
}

void Resampler16k::finish(std::vector<float>& out) { emit(true, out); }

void Resampler16k::emit(bool at_end, std::vector<float>& out) {
  if (rate_ == 0) return;
  // The step is formed in single precision; the position is step x i in double, because a
  // single-precision product loses the interpolation fraction once positions pass 2^23 (a few
  // minutes of 48 kHz audio) and then skips or repeats source samples. The output never runs
  // ahead of the count the audio received so far makes, so pieces add up to the whole.
  const int64_t limit = received_ * 16000 / rate_;
  auto x = [this](int64_t k) { return held_[static_cast<size_t>(k - base_)]; };  // input sample k
  for (; next_ < limit; next_++) {
    const double p = step_ * static_cast<double>(next_);
    const int64_t k = static_cast<int64_t>(p);
    if (k + 1 < received_)
      out.push_back(std::fma(static_cast<float>(p - static_cast<double>(k)), x(k + 1) - x(k), x(k)));
    else if (at_end)
      out.push_back(k < received_ ? x(k) : 0.0f);
    else
      break;  // needs a sample that has not arrived
  }
  // Input before the next output's left neighbour is never needed again.
  const int64_t keep = std::min(static_cast<int64_t>(step_ * static_cast<double>(next_)), received_);
  if (keep > base_) {
    held_.erase(held_.begin(), held_.begin() + (keep - base_));
    base_ = keep;
  }
}
