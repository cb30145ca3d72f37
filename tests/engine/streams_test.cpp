// Several streams on one context: each owns its caches and state, so neither threads nor the
// order in which streams start and end change what any of them transcribes.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <memory>
#include <thread>

#include "context_ptr.h"
#include "network/context.h"
#include "stream_runs.h"

namespace {

std::vector<std::string> one_at_a_time(const std::vector<std::vector<float>>& audio) {
  CtxPtr ctx = load_context();
  std::vector<std::string> texts;
  for (const std::vector<float>& a : audio) texts.push_back(stream_text(ctx.get(), a));
  return texts;
}

}  // namespace

// The streams also race to compute and keep the silence start that later streams copy.
TEST(Streams, four_threads_on_one_context_give_the_single_stream_transcripts) {
  const std::vector<std::string> want = one_at_a_time(four_recordings());
  for (int int8 : {0, 1}) {
    CtxPtr ctx = load_context();
    ASSERT_EQ(orv_set_int8(ctx.get(), int8), 0);
    CtxPtr solo = load_context();
    ASSERT_EQ(orv_set_int8(solo.get(), int8), 0);
    const std::vector<std::string> got = stream_texts_concurrently(ctx.get(), four_recordings());
    for (size_t i = 0; i < got.size(); i++) {
      EXPECT_EQ(got[i], stream_text(solo.get(), four_recordings()[i])) << "recording " << i;
      if (!int8) {
        EXPECT_EQ(got[i], want[i]);
      }
    }
    EXPECT_FALSE(got[0].empty());
  }
}

// While one thread is in the middle of a recording, another creates a stream and transcribes a
// second recording with it, then starts a third and frees it unfinished.
TEST(Streams, streams_started_and_freed_mid_recording_leave_the_running_one_alone) {
  const auto& audio = four_recordings();
  const std::vector<std::string> want = one_at_a_time({audio[1], audio[2]});
  CtxPtr ctx = load_context();
  std::latch halfway(1);
  std::atomic<bool> others_done{false};
  std::string running;
  std::thread t([&] {
    std::unique_ptr<orv_stream_t, decltype(&orv_stream_free)> s(orv_stream_create(ctx.get()),
                                                                &orv_stream_free);
    const std::vector<float>& a = audio[1];
    const size_t half = a.size() / 2;
    EXPECT_EQ(orv_stream_feed(s.get(), a.data(), int(half)), 0);
    halfway.count_down();
    // Small pieces, so that the other streams' work falls between them.
    for (size_t at = half; at < a.size(); at += 160)
      orv_stream_feed(s.get(), a.data() + at, int(std::min<size_t>(160, a.size() - at)));
    while (!others_done) std::this_thread::yield();
    orv_stream_finish(s.get());
    const char* tok[16];
    for (int n; (n = orv_stream_get(s.get(), tok, 16)) > 0;)
      for (int i = 0; i < n; i++) running += tok[i];
  });
  halfway.wait();
  EXPECT_EQ(stream_text(ctx.get(), audio[2]), want[1]);
  // The finished stream's caches wait in the context, and the next stream takes them.
  EXPECT_TRUE(ctx->spare.enc && ctx->spare.enc->cache);
  orv_stream_t* dropped = orv_stream_create(ctx.get());
  ASSERT_NE(dropped, nullptr);
  EXPECT_FALSE(ctx->spare.enc);
  ASSERT_EQ(orv_stream_feed(dropped, audio[3].data(), int(audio[3].size())), 0);
  orv_stream_free(dropped);
  others_done = true;
  t.join();
  EXPECT_EQ(running, want[0]);
}
