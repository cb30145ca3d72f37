// An hour of live audio through one stream on the tiny model: resident memory stays flat. The
// sanitizers keep freed memory in quarantine, so the check only runs in plain builds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "context_ptr.h"
#include "network/context.h"
#include "speech.h"
#include "stream/stream.h"
#include "tiny_model.h"

namespace {

double rss_mb() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return 0;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(f);
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

TEST(StreamMemory, hour_of_audio_keeps_memory_flat) {
#ifdef ORVANE_SANITIZED
  GTEST_SKIP() << "resident memory is not meaningful under the sanitizers";
#endif
  CtxPtr ctx = load_context();
  // A sentence and a second of silence, over and over, fed in 0.1 s pieces and read as it goes.
  std::vector<float> loop = speech_samples("Dictation all day long, one sentence after another.");
  loop.resize(loop.size() + 16000, 0.f);
  std::unique_ptr<orv_stream_t, decltype(&orv_stream_free)> s(orv_stream_create(ctx.get()),
                                                              &orv_stream_free);
  ASSERT_NE(s, nullptr);

  const int64_t hour = 3600LL * 16000, piece = 1600;
  std::vector<float> buf(piece);
  const char* tokens[64];
  double settled = 0, peak = 0;
  for (int64_t fed = 0; fed < hour; fed += piece) {
    for (int64_t i = 0; i < piece; i++) buf[i] = loop[(fed + i) % loop.size()];
    ASSERT_EQ(orv_stream_feed(s.get(), buf.data(), piece), 0);
    while (orv_stream_get(s.get(), tokens, 64) > 0) {
    }
    if ((fed + piece) % (300 * 16000) == 0) {  // every five minutes
      const double now = rss_mb();
      if (settled == 0) settled = now;
      peak = std::max(peak, now);
    }
  }
  EXPECT_EQ(s->n_samples, hour);
  // Without releasing consumed audio the mel state alone would grow by over 200 MB.
  EXPECT_LT(peak - settled, 8.0) << "settled at " << settled << " MB, peak " << peak << " MB";
  if (!s->eos) {
    EXPECT_EQ(s->dec_pos, s->n_adapter) << "the decoder kept up";
    EXPECT_LE(s->n_adapter - s->adapter_base, 0);
    EXPECT_GT(s->n_steps, 44000) << "one step per 80 ms";
  }
}

}  // namespace
