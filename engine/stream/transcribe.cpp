// Whole-recording transcription: a WAV file, standard input (a WAV stream or raw s16le 16 kHz
// mono, transcribed while it arrives) or a sample array, run through one stream.
#include "stream/transcribe.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "audio/audio_reader.h"
#include "audio/wav.h"
#include "base/c_edge.h"
#include "base/free_deleter.h"
#include "formats/shape.h"
#include "stream/stream.h"

namespace {

struct StreamCloser {
  void operator()(orv_stream_t* s) const noexcept { orv_stream_free(s); }
};
using StreamPtr = std::unique_ptr<orv_stream_t, StreamCloser>;

enum { kDrainBatch = 64 };

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

void report_audio(int64_t n) {
  if (orv_verbose >= 1)
    std::fprintf(stderr, "Audio: %lld samples (%.1f seconds)\n", static_cast<long long>(n),
                 static_cast<double>(n) / static_cast<double>(ORV_SAMPLE_RATE));
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
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
  return c_edge("orv_transcribe_samples", static_cast<char*>(nullptr), [&]() -> char* {
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
  });
}

char* orv_transcribe(orv_ctx_t* ctx, const char* wav_path) {
  return c_edge("orv_transcribe", static_cast<char*>(nullptr), [&]() -> char* {
    if (!ctx || !wav_path) return nullptr;
    int n = 0;
    std::unique_ptr<float, FreeDeleter> samples(orv_load_wav(wav_path, &n));
    if (!samples) {
      std::fprintf(stderr, "orv_transcribe: cannot load %s\n", wav_path);
      return nullptr;
    }
    report_audio(n);
    return orv_transcribe_samples(ctx, samples.get(), n);
  });
}

char* orv_transcribe_stdin(orv_ctx_t* ctx) {
  return c_edge("orv_transcribe_stdin", static_cast<char*>(nullptr), [&]() -> char* {
    if (!ctx) return nullptr;
    try {
      ReadRefusal refusal;
      std::string why;
      std::unique_ptr<orv_audio_reader_t> in = orv_audio_reader_t::open(0, &refusal, &why);
      switch (refusal) {
        case ReadRefusal::none:
          break;
        case ReadRefusal::short_input:
          std::fprintf(stderr, "orv_transcribe_stdin: not enough data on stdin\n");
          return nullptr;
        case ReadRefusal::not_wav:
          std::fprintf(stderr, "Invalid WAV data on stdin\n");
          return nullptr;
        case ReadRefusal::unsupported:
          std::fprintf(stderr, "Unsupported WAV format on stdin: %s\n", why.c_str());
          return nullptr;
        case ReadRefusal::read_error:
          std::fprintf(stderr, "orv_transcribe_stdin: %s\n", why.c_str());
          return nullptr;
      }
      if (orv_verbose >= 2)
        std::fprintf(stderr, in->is_wav() ? "Detected WAV format on stdin\n"
                                          : "Streaming raw s16le 16kHz mono from stdin\n");
      // Transcribed block by block while it arrives, WAV or raw alike.
      StreamPtr s(orv_stream_create(ctx));
      if (!s) return nullptr;
      std::string text;
      text.reserve(1024);
      int64_t total = 0;
      for (std::vector<float>* block = nullptr;;) {
        if (!in->read(&block, &why)) {
          std::fprintf(stderr, "orv_transcribe_stdin: %s\n", why.c_str());
          return nullptr;
        }
        if (block->empty()) break;
        orv_stream_feed(s.get(), block->data(), static_cast<int>(block->size()));
        total += static_cast<int64_t>(block->size());
        drain(s.get(), text);
      }
      if (in->is_wav()) report_audio(total);
      orv_stream_finish(s.get());
      drain(s.get(), text);
      s.reset();
      return release_text(text);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  });
}

}  // extern "C"
