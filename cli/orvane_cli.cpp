// orvane: transcribes a recording or standard input with a model directory and prints the text,
// plain or with times. Uses the public C API of liborvane only.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "audio_source.h"
#include "orvane.h"
#include "transcript.h"

namespace {

const char kUsage[] =
    "Usage: orvane -d MODEL_DIR [options] [FILE|-]\n"
    "Transcribes FILE (WAV, FLAC, Ogg Vorbis, Opus, MP3, AIFF, ...), or standard input when FILE\n"
    "is '-' or missing (a 16-bit PCM WAV stream, or raw signed 16-bit little-endian 16 kHz mono,\n"
    "transcribed as it arrives), and prints the text.\n"
    "\n"
    "Options:\n"
    "  -d DIR      model directory (consolidated.safetensors, tekken.json)\n"
    "  --format F  txt (default), json (text, segments, tokens with times), srt or vtt\n"
    "  --stream    print each token as soon as it is decoded (txt only)\n"
    "  --delay MS  transcription delay in milliseconds, 80 to 2400 (default 480)\n"
    "  --cpu       do not use the GPU\n"
    "  --int8      decode with 8-bit weights (quantised once, kept in MODEL_DIR/int8_cache.bin)\n"
    "  -v, -vv     progress (-v) or detailed (-vv) diagnostics on standard error\n"
    "  -h, --help  show this help\n";

enum { kReadBatch = 64 };

struct Options {
  std::string model_dir;
  std::string input = "-";
  std::string format = "txt";
  bool stream = false;
  bool cpu = false;
  bool int8 = false;
  int delay_ms = -1;  // the engine's default when negative
  int verbose = 0;
};

[[noreturn]] void usage_error(const std::string& message) {
  std::fprintf(stderr, "orvane: %s\nTry 'orvane --help'.\n", message.c_str());
  std::exit(2);
}

int parse_int(const char* text, const char* option) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno || end == text || *end || v < 0 || v > 1000000)
    usage_error(std::string("invalid value for ") + option + ": '" + text + "'");
  return static_cast<int>(v);
}

Options parse_args(int argc, char** argv) {
  Options o;
  bool have_input = false;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) usage_error("option " + a + " needs a value");
      return argv[++i];
    };
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (a == "-d") {
      o.model_dir = value();
    } else if (a == "--format") {
      o.format = value();
      if (o.format != "txt" && o.format != "json" && o.format != "srt" && o.format != "vtt")
        usage_error("unknown format '" + o.format + "' (txt, json, srt or vtt)");
    } else if (a == "--stream") {
      o.stream = true;
    } else if (a == "--delay") {
      o.delay_ms = parse_int(value(), "--delay");
    } else if (a == "--cpu") {
      o.cpu = true;
    } else if (a == "--int8") {
      o.int8 = true;
    } else if (a == "-v" || a == "-vv") {
      o.verbose += static_cast<int>(a.size()) - 1;
    } else if (a.size() > 1 && a[0] == '-') {
      usage_error("unknown option '" + a + "'");
    } else if (have_input) {
      usage_error("more than one input file");
    } else {
      o.input = a;
      have_input = true;
    }
  }
  if (o.model_dir.empty()) usage_error("a model directory is required (-d MODEL_DIR)");
  if (o.stream && o.format != "txt") usage_error("--stream prints plain text only");
  return o;
}

// Prints text as it comes, so that the whole output is the trimmed transcript: leading white
// space is skipped and trailing white space is held back until more text follows.
class TextPrinter {
 public:
  void put(const std::string& text) {
    for (const char c : text) {
      if (std::strchr(" \t\n\v\f\r", c)) {
        if (started_) pending_ += c;
        continue;
      }
      std::fputs(pending_.c_str(), stdout);
      pending_.clear();
      std::fputc(c, stdout);
      started_ = true;
    }
    std::fflush(stdout);
  }

 private:
  bool started_ = false;
  std::string pending_;
};

struct StreamCloser {
  void operator()(orv_stream_t* s) const noexcept { orv_stream_free(s); }
};
using StreamPtr = std::unique_ptr<orv_stream_t, StreamCloser>;

// Takes every ready token into T, printing the text it completes when PRINTER is set.
void collect(orv_stream_t* s, Transcript& t, TextPrinter* printer) {
  const char* tokens[kReadBatch];
  int32_t ms[kReadBatch];
  for (int n; (n = orv_stream_get_timed(s, tokens, ms, kReadBatch)) > 0;)
    for (int i = 0; i < n; i++) {
      const std::string text = t.add(tokens[i], ms[i]);
      if (printer) printer->put(text);
    }
}

// Runs the recording through one stream, block by block as it is read, and prints the result.
int transcribe(orv_ctx_t* ctx, const Options& o) {
  std::unique_ptr<AudioSource> in = open_audio(o.input);
  if (!in) return 1;
  StreamPtr s(orv_stream_create(ctx));
  if (!s) {
    std::fprintf(stderr, "orvane: cannot start a stream on %s\n", o.model_dir.c_str());
    return 1;
  }
  Transcript t;
  TextPrinter printer;
  TextPrinter* live = o.stream ? &printer : nullptr;
  int64_t samples = 0;
  const float* x = nullptr;
  int n = 0;
  while ((n = in->read(&x)) > 0) {
    orv_stream_feed(s.get(), x, n);
    samples += n;
    collect(s.get(), t, live);
  }
  if (n < 0) return 1;
  orv_stream_finish(s.get());
  collect(s.get(), t, live);
  const std::string tail = t.finish();
  if (live) live->put(tail);
  const auto duration_ms = static_cast<int32_t>(std::min<int64_t>(samples * 1000 / 16000, INT32_MAX));
  if (o.format == "json")
    std::fputs(format_json(t, duration_ms).c_str(), stdout);
  else if (o.format == "srt" || o.format == "vtt")
    std::fputs(format_cues(t, duration_ms, o.format == "vtt").c_str(), stdout);
  else
    std::printf("%s\n", o.stream ? "" : t.text().c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse_args(argc, argv);
  orv_verbose = o.verbose;
  if (!o.cpu) orv_gpu_init();  // says at -v why it runs on the CPU when it does
  orv_ctx_t* ctx = orv_load(o.model_dir.c_str());
  if (!ctx) {
    std::fprintf(stderr, "orvane: cannot load the model in %s\n", o.model_dir.c_str());
    return 1;
  }
  if (o.int8 && orv_set_int8(ctx, 1) != 0) {
    std::fprintf(stderr, "orvane: cannot prepare the 8-bit weights of %s\n", o.model_dir.c_str());
    orv_free(ctx);
    return 1;
  }
  if (o.delay_ms >= 0) orv_set_delay(ctx, o.delay_ms);
  const int status = transcribe(ctx, o);
  orv_free(ctx);
  return status;
}
