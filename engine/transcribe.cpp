// Whole-recording transcription: a WAV file, standard input (a WAV image read whole, or raw
// s16le 16 kHz mono transcribed while it arrives) or a sample array, run through one stream.
#include "transcribe.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "free_deleter.h"
#include "shape.h"
#include "stream.h"
#include "wav.h"

namespace {

struct StreamCloser {
  void operator()(orv_stream_t* s) const noexcept { orv_stream_free(s); }
};
using StreamPtr = std::unique_ptr<orv_stream_t, StreamCloser>;

enum { kRawBlockSamples = 4096, kDrainBatch = 64 };

// Reads from file descriptor FD until WANT bytes arrived or the input ended (waiting on a
// non-blocking descriptor); returns the count. A read error returns -1 after a message: a cut
// recording must not be transcribed as if it were complete.
ssize_t read_full(int fd, void* buf, size_t want) {
  size_t got = 0;
  while (got < want) {
    const ssize_t r = read(fd, static_cast<char*>(buf) + got, want - got);
    if (r > 0) {
      got += static_cast<size_t>(r);
    } else if (r == 0) {
      break;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd ready = {fd, POLLIN, 0};
      poll(&ready, 1, -1);
    } else if (errno != EINTR) {
      std::fprintf(stderr, "orv_transcribe_stdin: read error: %s\n", std::strerror(errno));
      return -1;
    }
  }
  return static_cast<ssize_t>(got);
}

// Appends the chosen string of every ready entry to TEXT.
void drain(orv_stream_t* s, std::string& text) {
  const char* batch[kDrainBatch];
  for (int n; (n = orv_stream_get(s, batch, kDrainBatch)) > 0;)
    for (int i = 0; i < n; i++) text += batch[i];
}

// TEXT trimmed, as new text for the caller to free(); NULL when out of memory.
char* release_text(const std::string& text) {
  char* out = static_cast<char*>(std::malloc(text.size() + 1));
  if (!out) return nullptr;
  std::memcpy(out, text.c_str(), text.size() + 1);
  orv_trim(out);
  return out;
}

void report_audio(int n) {
  if (orv_verbose >= 1)
    std::fprintf(stderr, "Audio: %d samples (%.1f seconds)\n", n,
                 n / static_cast<double>(ORV_SAMPLE_RATE));
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char* transcribe_raw_stdin(orv_ctx_t* ctx, const uint8_t head[4]) {
  if (orv_verbose >= 2) std::fprintf(stderr, "Streaming raw s16le 16kHz mono from stdin\n");
  StreamPtr s(orv_stream_create(ctx));
  if (!s) return nullptr;
  float samples[kRawBlockSamples];
  orv_s16le_to_float(head, 2, samples);
  orv_stream_feed(s.get(), samples, 2);
  std::string text;
  text.reserve(1024);
  uint8_t bytes[2 * kRawBlockSamples];
  for (bool ended = false; !ended;) {
    const ssize_t got = read_full(0, bytes, sizeof bytes);
    if (got < 0) return nullptr;
    const int n = static_cast<int>(got / 2);  // odd last byte dropped
    if (n == 0) {
      orv_stream_finish(s.get());
      ended = true;
    } else {
      orv_s16le_to_float(bytes, n, samples);
      orv_stream_feed(s.get(), samples, n);
    }
    drain(s.get(), text);
  }
  s.reset();
  return release_text(text);
}

char* transcribe_wav_stdin(orv_ctx_t* ctx, const uint8_t head[4]) {
  if (orv_verbose >= 2) std::fprintf(stderr, "Detected WAV format on stdin\n");
  std::vector<uint8_t> image(head, head + 4);
  image.resize(size_t{1} << 20);
  size_t total = 4;
  for (;;) {
    if (total == image.size()) image.resize(2 * image.size());
    const ssize_t got = read_full(0, image.data() + total, image.size() - total);
    if (got < 0) return nullptr;
    total += static_cast<size_t>(got);
    if (total < image.size()) break;
  }
  if (orv_verbose >= 2) std::fprintf(stderr, "Read %zu bytes from stdin\n", total);
  if (total < 44 || std::memcmp(image.data() + 8, "WAVE", 4) != 0) {
    std::fprintf(stderr, "Invalid WAV data on stdin\n");
    return nullptr;
  }
  orv_wav_info_t info;
  if (orv_wav_scan(image.data(), total, &info) != 0) {
    std::fprintf(stderr, "Unsupported WAV format on stdin\n");
    return nullptr;
  }
  int n = 0;
  std::unique_ptr<float, FreeDeleter> samples(orv_wav_to_mono16k(&info, &n));
  if (!samples) return nullptr;
  std::vector<uint8_t>().swap(image);
  report_audio(n);
  return orv_transcribe_samples(ctx, samples.get(), n);
}

}  // namespace

extern "C" {

void orv_trim(char* text) {
  if (!text) return;
  size_t start = 0, end = std::strlen(text);
  while (start < end && is_space(text[start])) start++;
  while (end > start && is_space(text[end - 1])) end--;
  std::memmove(text, text + start, end - start);
  text[end - start] = '\0';
}

char* orv_transcribe_samples(orv_ctx_t* ctx, const float* samples, int n) {
  try {
    StreamPtr s(orv_stream_create(ctx));
    if (!s) return nullptr;
    if (n >= 1) orv_stream_feed(s.get(), samples, n);
    orv_stream_finish(s.get());
    std::string text;
    text.reserve(1024);
    drain(s.get(), text);
    s.reset();
    return release_text(text);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

char* orv_transcribe(orv_ctx_t* ctx, const char* wav_path) {
  if (!ctx || !wav_path) return nullptr;
  int n = 0;
  std::unique_ptr<float, FreeDeleter> samples(orv_load_wav(wav_path, &n));
  if (!samples) {
    std::fprintf(stderr, "orv_transcribe: cannot load %s\n", wav_path);
    return nullptr;
  }
  report_audio(n);
  return orv_transcribe_samples(ctx, samples.get(), n);
}

char* orv_transcribe_stdin(orv_ctx_t* ctx) {
  if (!ctx) return nullptr;
  uint8_t head[4];
  const ssize_t got = read_full(0, head, sizeof head);
  if (got < 0) return nullptr;
  if (got < static_cast<ssize_t>(sizeof head)) {
    std::fprintf(stderr, "orv_transcribe_stdin: not enough data on stdin\n");
    return nullptr;
  }
  try {
    if (std::memcmp(head, "RIFF", 4) != 0) return transcribe_raw_stdin(ctx, head);
    return transcribe_wav_stdin(ctx, head);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // extern "C"
