// orvane: transcribes a WAV file or standard input with a model directory and prints the text.
// Uses the public C API of liborvane only.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "orvane.h"

namespace {

const char kUsage[] =
    "Usage: orvane -d MODEL_DIR [options] [FILE.wav|-]\n"
    "Transcribes FILE.wav, or standard input when FILE is '-' or missing (a WAV image, or raw\n"
    "signed 16-bit little-endian 16 kHz mono, transcribed as it arrives), and prints the text.\n"
    "\n"
    "Options:\n"
    "  -d DIR      model directory (consolidated.safetensors, tekken.json)\n"
    "  --stream    print each token as soon as it is decoded\n"
    "  --delay MS  transcription delay in milliseconds, 80 to 2400 (default 480)\n"
    "  --cpu       do not use the GPU\n"
    "  -v, -vv     progress (-v) or detailed (-vv) diagnostics on standard error\n"
    "  -h, --help  show this help\n";

enum { kBlockSamples = 4096, kReadBatch = 64 };

struct Options {
  std::string model_dir;
  std::string input = "-";
  bool stream = false;
  bool cpu = false;
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
    } else if (a == "--stream") {
      o.stream = true;
    } else if (a == "--delay") {
      o.delay_ms = parse_int(value(), "--delay");
    } else if (a == "--cpu") {
      o.cpu = true;
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
  return o;
}

// Prints token strings as they come, so that the whole output is the trimmed transcript:
// leading white space is skipped and trailing white space is held back until more text follows.
class TokenPrinter {
 public:
  void drain(orv_stream_t* s) {
    const char* tokens[kReadBatch];
    for (int n; (n = orv_stream_get(s, tokens, kReadBatch)) > 0;)
      for (int i = 0; i < n; i++) put(tokens[i]);
    std::fflush(stdout);
  }

 private:
  void put(const char* token) {
    for (const char* c = token; *c; c++) {
      if (std::strchr(" \t\n\v\f\r", *c)) {
        if (started_) pending_ += *c;
        continue;
      }
      std::fputs(pending_.c_str(), stdout);
      pending_.clear();
      std::fputc(*c, stdout);
      started_ = true;
    }
  }
  bool started_ = false;
  std::string pending_;
};

struct StreamCloser {
  void operator()(orv_stream_t* s) const noexcept { orv_stream_free(s); }
};
using StreamPtr = std::unique_ptr<orv_stream_t, StreamCloser>;

struct Samples {
  std::unique_ptr<float, decltype(&std::free)> data{nullptr, &std::free};
  int n = 0;
};

bool feed_and_print(orv_stream_t* s, TokenPrinter& printer, const float* x, int n) {
  if (n > 0 && orv_stream_feed(s, x, n) != 0) return false;
  printer.drain(s);
  return true;
}

// --stream: runs the stream here, printing tokens after every block fed.
int run_stream(orv_ctx_t* ctx, const Options& o) {
  StreamPtr s(orv_stream_create(ctx));
  if (!s) {
    std::fprintf(stderr, "orvane: cannot start a stream on %s\n", o.model_dir.c_str());
    return 1;
  }
  TokenPrinter printer;
  if (o.input == "-") {
    // Standard input is transcribed block by block as it arrives.
    std::unique_ptr<orv_audio_reader_t, decltype(&orv_audio_reader_free)> in(orv_audio_reader_open(0),
                                                                              &orv_audio_reader_free);
    if (!in) return 1;
    const float* x = nullptr;
    int n = 0;
    while ((n = orv_audio_reader_read(in.get(), &x)) > 0) feed_and_print(s.get(), printer, x, n);
    if (n < 0) return 1;
  } else {
    Samples wav;
    wav.data.reset(orv_load_wav(o.input.c_str(), &wav.n));
    if (!wav.data) {
      std::fprintf(stderr, "orvane: cannot read %s\n", o.input.c_str());
      return 1;
    }
    for (int at = 0; at < wav.n; at += kBlockSamples)
      feed_and_print(s.get(), printer, wav.data.get() + at, std::min<int>(kBlockSamples, wav.n - at));
  }
  orv_stream_finish(s.get());
  printer.drain(s.get());
  std::fputc('\n', stdout);
  return 0;
}

int run_whole(orv_ctx_t* ctx, const Options& o) {
  std::unique_ptr<char, decltype(&std::free)> text(
      o.input == "-" ? orv_transcribe_stdin(ctx) : orv_transcribe(ctx, o.input.c_str()),
      &std::free);
  if (!text) {
    std::fprintf(stderr, "orvane: transcription failed\n");
    return 1;
  }
  std::printf("%s\n", text.get());
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
  if (o.delay_ms >= 0) orv_set_delay(ctx, o.delay_ms);
  const int status = o.stream ? run_stream(ctx, o) : run_whole(ctx, o);
  orv_free(ctx);
  return status;
}
