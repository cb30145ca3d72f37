// orvane: transcribes a recording or standard input with a model directory and prints the text,
// plain or with times. Uses the public C API of liborvane only.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "audio_source.h"
#include "command_line.h"
#include "stream_text.h"
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
    "  --threads N CPU threads for the computation (default: every core)\n"
    "  -v, -vv     progress (-v) or detailed (-vv) diagnostics on standard error\n"
    "  -h, --help  show this help\n";

struct Options {
  std::string model_dir;
  std::string input = "-";
  std::string format = "txt";
  bool stream = false;
  bool cpu = false;
  bool int8 = false;
  int delay_ms = -1;  // the engine's default when negative
  int threads = 0;    // every core
  int verbose = 0;
};

Options parse_args(int argc, char** argv) {
  Options o;
  bool have_input = false;
  CommandLine args(argc, argv, "orvane", kUsage);
  while (args.next()) {
    const std::string& a = args.arg();
    if (a == "-d") {
      o.model_dir = args.value();
    } else if (a == "--format") {
      o.format = args.value();
      if (o.format != "txt" && o.format != "json" && o.format != "srt" && o.format != "vtt")
        args.error("unknown format '" + o.format + "' (txt, json, srt or vtt)");
    } else if (a == "--stream") {
      o.stream = true;
    } else if (a == "--delay") {
      o.delay_ms = args.int_value(0, 1000000);
    } else if (a == "--cpu") {
      o.cpu = true;
    } else if (a == "--int8") {
      o.int8 = true;
    } else if (a == "--threads") {
      o.threads = args.int_value(1, 1000000);
    } else if (args.verbosity(&o.verbose)) {
    } else if (a.size() > 1 && a[0] == '-') {
      args.error("unknown option '" + a + "'");
    } else if (have_input) {
      args.error("more than one input file");
    } else {
      o.input = a;
      have_input = true;
    }
  }
  if (o.model_dir.empty()) args.error("a model directory is required (-d MODEL_DIR)");
  if (o.stream && o.format != "txt") args.error("--stream prints plain text only");
  return o;
}

struct StreamCloser {
  void operator()(orv_stream_t* s) const noexcept { orv_stream_free(s); }
};
using StreamPtr = std::unique_ptr<orv_stream_t, StreamCloser>;

// Runs the recording through one stream, block by block as it is read, and prints the result.
int transcribe(orv_ctx_t* ctx, const Options& o) {
  std::unique_ptr<AudioSource> in = open_audio(o.input);
  if (!in) return 1;
  StreamPtr s(orv_stream_create(ctx));
  if (!s) {
    std::fprintf(stderr, "orvane: cannot start a stream on %s\n", o.model_dir.c_str());
    return 1;
  }
  StreamText text(s.get());
  auto show = [&](const std::string& live) {
    if (!o.stream) return;
    std::fputs(live.c_str(), stdout);
    std::fflush(stdout);
  };
  const float* x = nullptr;
  int n = 0;
  while ((n = in->read(&x)) > 0) show(text.feed({x, static_cast<size_t>(n)}));
  if (n < 0) return 1;
  show(text.finish());
  const Transcript& t = text.transcript();
  if (o.format == "json")
    std::fputs(format_json(t, text.duration_ms()).c_str(), stdout);
  else if (o.format == "srt" || o.format == "vtt")
    std::fputs(format_cues(t, text.duration_ms(), o.format == "vtt").c_str(), stdout);
  else
    std::printf("%s\n", o.stream ? "" : t.text().c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse_args(argc, argv);
  orv_verbose = o.verbose;
  orv_set_threads(o.threads);
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
