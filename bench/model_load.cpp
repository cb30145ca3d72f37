// Load-to-ready of a model directory on the CPU as the desktop app does it: map the weights,
// prepare the 8-bit decoder weights (from int8_cache.bin once it exists), and run a second of
// silence so the start every stream shares is computed. Then the first token of speech, and
// resident memory before loading, loaded, and after freeing. One line of JSON.
//
//   model-load -d MODEL_DIR [--cold] [--no-warm]
//
// --cold evicts the model directory's files from the page cache first (posix_fadvise), so the
// load reads the disk. --no-warm skips the silence run: the first token then also pays for the
// load and the silence, as the first dictation after launch does without loading at start.
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "membw.h"
#include "orvane.h"
#include "stopwatch.h"
#include "synth_speech.h"

namespace {

using Clock = std::chrono::steady_clock;
using StreamPtr = std::unique_ptr<orv_stream_t, decltype(&orv_stream_free)>;

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

void evict(const std::string& dir) {
  std::unique_ptr<DIR, DirCloser> d(opendir(dir.c_str()));
  if (!d) return;
  while (dirent* e = readdir(d.get())) {
    const int fd = open((dir + "/" + e->d_name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
  }
}

// Milliseconds from the stream's creation until the first token comes out of SPEECH, fed in
// tenths of a second as fast as the stream takes them; -1 when none came.
double first_token_ms(orv_ctx_t* ctx, const std::vector<float>& speech) {
  const auto t0 = Clock::now();
  StreamPtr s(orv_stream_create(ctx), &orv_stream_free);
  const char* tokens[64];
  for (size_t at = 0; s && at < speech.size(); at += 1600) {
    const auto n = static_cast<int>(std::min<size_t>(1600, speech.size() - at));
    orv_stream_feed(s.get(), speech.data() + at, n);
    if (orv_stream_get(s.get(), tokens, 64) > 0) return ms_since(t0);
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  bool cold = false, warm = true;
  for (int i = 1; i < argc; i++) {
    if (!std::strcmp(argv[i], "-d") && i + 1 < argc) dir = argv[++i];
    else if (!std::strcmp(argv[i], "--cold")) cold = true;
    else if (!std::strcmp(argv[i], "--no-warm")) warm = false;
    else {
      std::fprintf(stderr, "usage: model-load -d MODEL_DIR [--cold] [--no-warm]\n");
      return 2;
    }
  }
  if (dir.empty()) return 2;
  const std::vector<float> speech = synth_speech(10.0);
  if (cold) evict(dir);
  const double rss_before = orv_bench_rss_mb();

  const auto press = Clock::now();
  auto t = Clock::now();
  orv_ctx_t* ctx = orv_load(dir.c_str());
  if (!ctx) return 1;
  const double load_ms = ms_since(t);
  t = Clock::now();
  if (orv_set_int8(ctx, 1) != 0) return 1;
  const double int8_ms = ms_since(t);
  double silence_ms = 0;
  if (warm) {
    t = Clock::now();
    StreamPtr s(orv_stream_create(ctx), &orv_stream_free);
    const std::vector<float> quiet(16000, 0.0f);
    orv_stream_feed(s.get(), quiet.data(), static_cast<int>(quiet.size()));
    silence_ms = ms_since(t);
  }
  const double ready_ms = ms_since(press);
  const double token_ms = first_token_ms(ctx, speech);
  const double press_to_token_ms = ms_since(press) - (warm ? ready_ms : 0);
  const double rss_loaded = orv_bench_rss_mb();
  orv_free(ctx);
  malloc_trim(0);
  const double rss_unloaded = orv_bench_rss_mb();
  std::printf(
      "{\"cold\":%s,\"warm_start\":%s,\"load_ms\":%.0f,\"int8_ms\":%.0f,\"silence_ms\":%.0f,"
      "\"ready_ms\":%.0f,\"first_token_ms\":%.0f,\"press_to_first_token_ms\":%.0f,"
      "\"rss_before_mb\":%.0f,\"rss_loaded_mb\":%.0f,\"rss_unloaded_mb\":%.0f}\n",
      cold ? "true" : "false", warm ? "true" : "false", load_ms, int8_ms, silence_ms, ready_ms,
      token_ms, press_to_token_ms, rss_before, rss_loaded, rss_unloaded);
  return 0;
}
