// WAV images and raw 16-bit PCM to 16 kHz mono floats: chunk scan, mix-down, linear resampling,
// and the file and standard-input readers.
#include "wav.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include "free_deleter.h"

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

int orv_wav_scan(const uint8_t* bytes, size_t len, orv_wav_info_t* info) {
  *info = orv_wav_info_t{};
  // Offsets are size_t and every comparison is made against what is left of the image, so chunk
  // sizes near 2^32 cannot wrap around.
  size_t off = 12;
  while (len >= off && len - off >= 8) {
    const uint8_t* id = bytes + off;
    const size_t size = le32(id + 4);
    const size_t body = off + 8;
    if (size > len - body) break;  // declared body runs past the image: stop, take nothing
    if (std::memcmp(id, "fmt ", 4) == 0 && size >= 16) {
      info->format = le16(bytes + body);
      info->channels = le16(bytes + body + 2);
      info->sample_rate = le32(bytes + body + 4);
      info->bits = le16(bytes + body + 14);
    } else if (std::memcmp(id, "data", 4) == 0) {
      info->data = bytes + body;
      info->data_bytes = size;
    }
    off = body + size + (size & 1);  // a missing pad byte at the very end just ends the scan
  }
  const bool ok = info->format == 1 && info->bits == 16 && info->data && info->channels >= 1;
  return ok ? 0 : -1;
}

float* orv_resample_16k(const float* x, int n, uint32_t rate, int* n_out) {
  *n_out = 0;
  const int64_t count = rate == 0 ? 0 : static_cast<int64_t>(n) * 16000 / rate;
  if (count > INT_MAX) return nullptr;
  float* out = alloc_floats(count);
  if (!out) return nullptr;
  // The step is formed in single precision; the position is step x i in double, because a
  // single-precision product loses the interpolation fraction once positions pass 2^23 (a few
  // minutes of 48 kHz audio) and then skips or repeats source samples.
  const double step = static_cast<double>(static_cast<float>(rate) * 6.25e-5f);
  for (int64_t i = 0; i < count; i++) {
    const double p = step * static_cast<double>(i);
    const int64_t k = static_cast<int64_t>(p);
    if (k + 1 < n)
      out[i] = std::fma(static_cast<float>(p - static_cast<double>(k)), x[k + 1] - x[k], x[k]);
    else
      out[i] = k < n ? x[k] : 0.0f;
  }
  *n_out = static_cast<int>(count);
  return out;
}

float* orv_wav_to_mono16k(const orv_wav_info_t* info, int* n_out) {
  *n_out = 0;
  const int channels = info->channels;
  // At most (2^32 - 1) / 2 frames, since the data size is a 32-bit field: always fits an int.
  const size_t frames_sz = info->data_bytes / (2 * static_cast<size_t>(channels));
  if (frames_sz > static_cast<size_t>(INT_MAX)) return nullptr;
  const int frames = static_cast<int>(frames_sz);
  std::unique_ptr<float, FreeDeleter> mono(alloc_floats(frames));
  if (!mono) return nullptr;
  if (channels == 1) {
    orv_s16le_to_float(info->data, frames, mono.get());
  } else {
    const float inv_channels = 1.0f / static_cast<float>(channels);
    const uint8_t* p = info->data;
    for (int f = 0; f < frames; f++) {
      float sum = 0.0f;
      for (int c = 0; c < channels; c++, p += 2) sum += static_cast<float>(static_cast<int16_t>(le16(p)));
      mono.get()[f] = sum * inv_channels * kS16Scale;
    }
  }
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
    std::fprintf(stderr, "parse_wav_buffer: unsupported format (need 16-bit PCM, got fmt=%d bits=%d)\n",
                 info.format, info.bits);
    return nullptr;
  }
  if (info.sample_rate < kMinRate) {
    std::fprintf(stderr, "parse_wav_buffer: unsupported sample rate %u Hz\n", info.sample_rate);
    return nullptr;
  }
  // The data size is a 32-bit field, so frames fit an int; upsampling may still push the
  // output past one.
  const int64_t frames = static_cast<int64_t>(info.data_bytes / (2 * static_cast<size_t>(info.channels)));
  const int64_t count = frames * 16000 / info.sample_rate;
  if (count > INT_MAX) {
    std::fprintf(stderr, "parse_wav_buffer: audio too long (%lld samples at 16 kHz)\n",
                 static_cast<long long>(count));
    return nullptr;
  }
  return orv_wav_to_mono16k(&info, n_out);
}

float* orv_load_wav(const char* path, int* n_out) {
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
  if (size < 1 || std::fseek(f, 0, SEEK_SET) != 0) return nullptr;
  std::unique_ptr<uint8_t, FreeDeleter> bytes(static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size))));
  if (!bytes || std::fread(bytes.get(), 1, static_cast<size_t>(size), f) != static_cast<size_t>(size))
    return nullptr;
  return parse_wav_buffer(bytes.get(), static_cast<size_t>(size), n_out);
}

float* orv_read_pcm_stdin(int* n_out) {
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
}

}  // extern "C"
