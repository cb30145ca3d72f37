#include "stream_runs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <latch>
#include <memory>
#include <thread>

#include "speech.h"

std::string stream_text(orv_ctx_t* ctx, const std::vector<float>& audio, int piece) {
  std::unique_ptr<orv_stream_t, decltype(&orv_stream_free)> s(orv_stream_create(ctx),
                                                              &orv_stream_free);
  if (!s) return "(no stream)";
  std::string text;
  const char* batch[16];
  auto drain = [&] {
    for (int n; (n = orv_stream_get(s.get(), batch, 16)) > 0;)
      for (int i = 0; i < n; i++) text += batch[i];
  };
  for (size_t at = 0; at < audio.size(); at += size_t(piece)) {
    const int n = int(std::min(audio.size() - at, size_t(piece)));
    EXPECT_EQ(orv_stream_feed(s.get(), audio.data() + at, n), 0);
    drain();
  }
  EXPECT_EQ(orv_stream_finish(s.get()), 0);
  drain();
  return text;
}

std::vector<std::string> stream_texts_concurrently(orv_ctx_t* ctx,
                                                   const std::vector<std::vector<float>>& audio) {
  std::vector<std::string> texts(audio.size());
  std::latch start(std::ptrdiff_t(audio.size()));
  std::vector<std::thread> threads;
  for (size_t i = 0; i < audio.size(); i++)
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      texts[i] = stream_text(ctx, audio[i]);
    });
  for (std::thread& t : threads) t.join();
  return texts;
}

const std::vector<std::vector<float>>& four_recordings() {
  static const std::vector<std::vector<float>> audio = {
      speech_samples("One model serves every stream."),
      speech_samples("Each thread feeds its own recording, at its own pace."),
      speech_samples("Numbers like forty two and seven hundred."),
      speech_samples("The last one is the shortest."),
  };
  return audio;
}
