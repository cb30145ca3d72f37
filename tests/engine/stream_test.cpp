// Streaming transcription on the tiny model: how audio is cut never changes the tokens, the
// encoder runs at the frame counts the time scale gives, and the queue, alternatives, finish,
// flush and end-of-stream rules hold.
#include "stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "audio_driven_model.h"
#include "context.h"
#include "speech.h"

namespace {

orv_ctx_t* tiny_ctx() {
  static std::unique_ptr<orv_ctx_t, decltype(&orv_free)> ctx(
      orv_load(audio_driven_model_dir().c_str()), &orv_free);
  return ctx.get();
}

struct StreamCloser {
  void operator()(orv_stream_t* s) const { orv_stream_free(s); }
};
using StreamPtr = std::unique_ptr<orv_stream_t, StreamCloser>;

StreamPtr new_stream() {
  StreamPtr s(orv_stream_create(tiny_ctx()));
  EXPECT_NE(s, nullptr);
  return s;
}

const std::vector<float>& speech() {
  static const std::vector<float> x =
      speech_samples("Streaming speech goes in, and a few words come out again.");
  return x;
}

std::vector<std::string> drain(orv_stream_t* s) {
  std::vector<std::string> out;
  const char* batch[7];
  for (int n; (n = orv_stream_get(s, batch, 7)) > 0;) out.insert(out.end(), batch, batch + n);
  return out;
}

struct Transcript {
  std::vector<int> ids;           // every id the decoder produced
  std::vector<std::string> text;  // the strings read from the queue
};

// Streams AUDIO fed in pieces of NEXT_SIZE() samples, reading as it goes, then finishes.
Transcript run_stream(const std::vector<float>& audio, const std::function<int()>& next_size,
                      float interval_s = 2.0f) {
  StreamPtr s = new_stream();
  orv_stream_set_interval(s.get(), interval_s);
  Transcript r;
  s->on_token = [&r](int id) { r.ids.push_back(id); };
  for (size_t at = 0; at < audio.size();) {
    const int n = static_cast<int>(std::min<size_t>(next_size(), audio.size() - at));
    EXPECT_EQ(orv_stream_feed(s.get(), audio.data() + at, n), 0);
    at += static_cast<size_t>(n);
    for (std::string& t : drain(s.get())) r.text.push_back(std::move(t));
  }
  EXPECT_EQ(orv_stream_finish(s.get()), 0);
  for (std::string& t : drain(s.get())) r.text.push_back(std::move(t));
  return r;
}

TEST(Stream, output_independent_of_chunking) {
  const Transcript whole = run_stream(speech(), [] { return INT_MAX; });
  // Every real and padded decoder position after the start produced an id.
  const size_t rows = (ORV_STREAM_SILENCE_PREFIX + speech().size()) / ORV_SAMPLES_PER_TOKEN;
  const auto eos = std::find(whole.ids.begin(), whole.ids.end(), ORV_TOKEN_EOS);
  ASSERT_TRUE(eos == whole.ids.end() || eos + 1 == whole.ids.end()) << "ids after end of stream";
  if (eos == whole.ids.end()) {
    EXPECT_GE(whole.ids.size(), rows - 38);
  }

  std::set<int> text_ids(whole.ids.begin(), whole.ids.end());
  text_ids.erase(text_ids.begin(), text_ids.lower_bound(ORV_FIRST_TEXT_TOKEN));
  EXPECT_GE(text_ids.size(), 2u) << "the tokens follow the speech";

  StreamPtr names = new_stream();
  std::vector<std::string> expected;
  for (int id : whole.ids)
    if (id >= ORV_FIRST_TEXT_TOKEN)
      expected.push_back(orv_tokenizer_token(names->tokenizer.get(), id));
  EXPECT_EQ(whole.text, expected);

  std::mt19937 rng(11);
  std::uniform_int_distribution<int> size(1, 5000);
  EXPECT_EQ(run_stream(speech(), [] { return 1600; }).ids, whole.ids) << "0.1 s pieces";
  EXPECT_EQ(run_stream(speech(), [&] { return size(rng); }).ids, whole.ids) << "random pieces";
  // An interval of one frame runs the encoder on single frames: every run holds a column back
  // or spends the held one, and positions wait three runs for their group of four.
  EXPECT_EQ(run_stream(
                speech(), [] { return 160; }, 0.f)
                .ids,
            whole.ids)
      << "single frames";
}

TEST(Stream, long_recording_in_one_call_fits_a_fixed_encoder_cache) {
  // A GPU-shared encoder cache cannot grow past window + 256 rows. A recording fed in one call
  // still goes through it in runs of at most 256 positions, and nothing is lost.
  std::vector<float> audio = speech();
  audio.insert(audio.end(), speech().begin(), speech().end());
  std::unique_ptr<orv_ctx_t, decltype(&orv_free)> ctx(orv_load(audio_driven_model_dir().c_str()),
                                                      &orv_free);
  const orv_block_shape_t& enc = ctx->shape.encoder;
  const int rows = enc.window + ORV_ENCODER_HEADROOM;
  const size_t count = size_t(enc.layers) * rows * enc.kv_heads * enc.head_dim;
  ctx->enc_kv_cache_k = FloatBlock::gpu_shared(count);
  ctx->enc_kv_cache_v = FloatBlock::gpu_shared(count);
  ctx->enc_kv_cache_max = rows;
  ASSERT_GT((ORV_STREAM_SILENCE_PREFIX + audio.size()) / 320, size_t(rows)) << "positions";

  std::vector<int> fixed, grown;
  testing::internal::CaptureStderr();
  StreamPtr s(orv_stream_create(ctx.get()));
  s->on_token = [&](int id) { fixed.push_back(id); };
  ASSERT_EQ(orv_stream_feed(s.get(), audio.data(), static_cast<int>(audio.size())), 0);
  ASSERT_EQ(orv_stream_finish(s.get()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(ctx->enc_kv_cache_max, rows);
  EXPECT_EQ(run_stream(audio, [] { return 1600; }).ids, fixed);
}

TEST(Stream, encoder_runs_follow_the_frame_thresholds) {
  ASSERT_GE(speech().size(), 48000u);
  // The silence prefix makes 255 frames; 8999 samples more make 311, one short of the first run.
  StreamPtr a = new_stream();
  ASSERT_EQ(orv_stream_feed(a.get(), speech().data(), 8999), 0);
  EXPECT_EQ(a->mel_consumed, 0);
  EXPECT_EQ(a->n_adapter, 0);
  ASSERT_EQ(orv_stream_feed(a.get(), speech().data() + 8999, 1), 0);
  // 312 frames: 156 positions, 39 rows, exactly the decoder's start with a delay of 6.
  EXPECT_EQ(a->mel_consumed, 312);
  EXPECT_EQ(a->n_adapter, 39);
  EXPECT_EQ(a->dec_pos, 39);
  EXPECT_EQ(a->n_steps, 1);

  // One second at a time: 355 frames, one column held, 177 positions, 44 rows and one held.
  StreamPtr b = new_stream();
  ASSERT_EQ(orv_stream_feed(b.get(), speech().data(), 16000), 0);
  EXPECT_EQ(b->mel_consumed, 355);
  EXPECT_TRUE(b->has_carry);
  EXPECT_EQ(b->n_adapter, 44);
  EXPECT_EQ(b->n_residual, 1);
  EXPECT_EQ(b->dec_pos, 44);
  ASSERT_EQ(orv_stream_feed(b.get(), speech().data() + 16000, 16000), 0);
  EXPECT_EQ(b->mel_consumed, 355) << "100 new frames are below the interval";
  ASSERT_EQ(orv_stream_feed(b.get(), speech().data() + 32000, 16000), 0);
  // 200 frames and the held column: 100 positions, with the held one 25 rows and one held.
  EXPECT_EQ(b->mel_consumed, 555);
  EXPECT_EQ(b->n_adapter, 69);
  EXPECT_EQ(b->n_residual, 1);
  if (!b->eos) {
    EXPECT_EQ(b->dec_pos, 69);
  }
  EXPECT_EQ(b->n_adapter - b->adapter_base, b->eos ? 0 : b->n_adapter - b->dec_pos);
}

TEST(Stream, interval_sets_the_encoder_cadence) {
  StreamPtr s = new_stream();
  const std::pair<float, int> cases[] = {{0.009f, 1}, {1.0f, 100}, {0.25f, 25},     {2.0f, 200},
                                         {-3.f, 1},   {NAN, 1},    {1e30f, INT_MAX}};
  for (auto [seconds, frames] : cases)
    EXPECT_EQ(orv_stream_set_interval(s.get(), seconds)->interval_frames, frames) << seconds;
  EXPECT_EQ(orv_stream_set_interval(nullptr, 1.f), nullptr);

  orv_stream_set_interval(s.get(), 0.5f);
  ASSERT_EQ(orv_stream_feed(s.get(), speech().data(), 9000), 0);  // the first run: 312 frames
  ASSERT_EQ(orv_stream_feed(s.get(), speech().data() + 9000, 49 * 160), 0);
  EXPECT_EQ(s->mel_consumed, 312);
  ASSERT_EQ(orv_stream_feed(s.get(), speech().data() + 9000 + 49 * 160, 160), 0);
  EXPECT_EQ(s->mel_consumed, 362);
}

TEST(Stream, finish_without_audio_then_refuses_more) {
  StreamPtr s = new_stream();
  ASSERT_EQ(orv_stream_finish(s.get()), 0);
  // Prefix 40960 + padding 7680 + 14080 samples: 392 frames, 196 positions, 49 rows.
  EXPECT_EQ(s->mel_consumed, 392);
  EXPECT_EQ(s->n_adapter, 49);
  EXPECT_EQ(s->n_residual, 0);
  EXPECT_FALSE(s->has_carry);
  EXPECT_TRUE(s->eos || s->dec_pos == 49);

  const float x[4] = {};
  const int steps = s->n_steps;
  EXPECT_EQ(orv_stream_finish(s.get()), -1);
  EXPECT_EQ(orv_stream_feed(s.get(), x, 4), -1);
  EXPECT_EQ(orv_stream_flush(s.get()), -1);
  EXPECT_EQ(s->n_steps, steps);
  drain(s.get());
  const char* out[1];
  EXPECT_EQ(orv_stream_get(s.get(), out, 1), 0);

  StreamPtr open = new_stream();
  EXPECT_EQ(orv_stream_feed(open.get(), x, 0), -1);
  EXPECT_EQ(orv_stream_feed(open.get(), nullptr, 4), -1);
  EXPECT_EQ(orv_stream_feed(nullptr, x, 4), -1);
  EXPECT_EQ(orv_stream_finish(nullptr), -1);
  EXPECT_EQ(orv_stream_flush(nullptr), -1);
  EXPECT_EQ(open->n_samples, 0);
}

TEST(Stream, flush_equals_feeding_the_padding_silence) {
  const size_t half = 40000;
  const std::vector<float> first(speech().begin(), speech().begin() + half);
  const std::vector<float> rest(speech().begin() + half, speech().end());

  StreamPtr s = new_stream();
  std::vector<int> flushed;
  s->on_token = [&](int id) { flushed.push_back(id); };
  ASSERT_EQ(orv_stream_feed(s.get(), first.data(), half), 0);
  ASSERT_EQ(orv_stream_flush(s.get()), 0);
  // The words so far went through the delay: every row of them has been decoded.
  const int delay = tiny_ctx()->delay_tokens;
  EXPECT_GE(s->n_adapter, (ORV_STREAM_SILENCE_PREFIX + half) / 1280 + delay);
  if (!s->eos) {
    EXPECT_EQ(s->dec_pos, s->n_adapter);
  }
  EXPECT_EQ(s->n_samples, static_cast<int64_t>(half));
  ASSERT_EQ(orv_stream_feed(s.get(), rest.data(), static_cast<int>(rest.size())), 0);
  ASSERT_EQ(orv_stream_finish(s.get()), 0);

  // The same samples fed as plain audio give the same ids. Only the finish padding may differ
  // by a row: it is aligned on the real samples, which now include no flush silence.
  std::vector<float> padded = first;
  padded.resize(half + (1280 - half % 1280) % 1280 + 1280 * delay + 14080, 0.f);
  padded.insert(padded.end(), rest.begin(), rest.end());
  std::vector<int> plain = run_stream(padded, [] { return 1600; }).ids;
  const size_t common = std::min(plain.size(), flushed.size());
  EXPECT_LE(std::max(plain.size(), flushed.size()) - common, 1u);
  EXPECT_GT(common, 60u);
  plain.resize(common);
  flushed.resize(common);
  EXPECT_EQ(plain, flushed);
}

TEST(Stream, nothing_decoded_after_end_of_stream) {
  StreamPtr s = new_stream();
  ASSERT_EQ(orv_stream_feed(s.get(), speech().data(), 16000), 0);
  ASSERT_TRUE(s->dec_started);
  drain(s.get());
  s->eos = true;  // what id 2 leaves behind
  const int steps = s->n_steps, rows = s->n_adapter;
  for (int i = 0; i < 50; i++) ASSERT_EQ(orv_stream_feed(s.get(), speech().data(), 1600), 0);
  ASSERT_EQ(orv_stream_finish(s.get()), 0);
  EXPECT_EQ(s->n_steps, steps);
  EXPECT_TRUE(drain(s.get()).empty());
  EXPECT_EQ(s->n_adapter, rows) << "encoder output accumulates for nobody";
  EXPECT_EQ(s->adapter_base, s->n_adapter);
  int n_frames = 0, first = 0;
  orv_mel_stream_frames(s->mel.get(), &n_frames, &first);
  EXPECT_EQ(s->mel_consumed, n_frames) << "the audio is still taken in";
}

TEST(Stream, queue_grows_past_255_unread_entries_in_order) {
  StreamPtr s = new_stream();
  const orv_tokenizer_t* tok = s->tokenizer.get();
  std::vector<std::string> expected;
  auto emit = [&](int count) {
    for (int i = 0; i < count; i++) {
      const int id = ORV_FIRST_TEXT_TOKEN + (static_cast<int>(expected.size()) * 7) % 1000;
      orv_stream_emit(s.get(), id);
      expected.push_back(orv_tokenizer_token(tok, id));
    }
  };
  const char* out[600];
  EXPECT_EQ(orv_stream_get(s.get(), out, 0), 0);
  emit(200);
  ASSERT_EQ(orv_stream_get(s.get(), out, 100), 100);  // the ring now wraps when it fills
  emit(155);
  EXPECT_EQ(s->queue.capacity(), 256u) << "255 unread entries fit";
  emit(145);
  EXPECT_EQ(s->queue.capacity(), 512u);
  std::vector<std::string> got(out, out + 100);
  const int n = orv_stream_get(s.get(), out, 600);
  EXPECT_EQ(n, 400) << "only the ready entries";
  got.insert(got.end(), out, out + n);
  EXPECT_EQ(got, expected);
  EXPECT_EQ(s->n_text_tokens, 500);
}

TEST(Stream, alternatives_within_tolerance_by_probability) {
  StreamPtr s = new_stream();
  EXPECT_EQ(orv_stream_set_alt(s.get(), 0, -1.f)->n_alt, 1);
  EXPECT_EQ(s->alt_tolerance, 0.f);
  EXPECT_EQ(orv_stream_set_alt(s.get(), 9, 2.f)->n_alt, 4);
  EXPECT_EQ(s->alt_tolerance, 1.f);
  EXPECT_EQ(orv_stream_set_alt(s.get(), 2, NAN)->alt_tolerance, 0.f);
  EXPECT_EQ(orv_stream_set_alt(nullptr, 2, 0.5f), nullptr);

  // Scores: the chosen id 1500, a text token at half its probability, two tied ones at e^-1
  // of it, and a control token above them all, which is never an alternative.
  const std::vector<std::pair<int, double>> scores = {
      {1500, 3.0}, {1700, 3.0 - std::log(2.0)}, {1200, 2.0}, {1100, 2.0}, {500, 5.0}};
  // Expected picks from a double-precision softmax: text tokens by falling probability, lower id
  // first on ties, while 1 - p / p_chosen stays within the tolerance.
  auto expected = [&](int n_alt, double tolerance) {
    std::vector<double> p(s->logits.size());
    for (auto [id, score] : scores) p[id] = score;
    const double max = *std::max_element(p.begin(), p.end());
    double sum = 0;
    for (double& v : p) sum += (v = std::exp(v - max));
    std::vector<int> order;
    for (int id = ORV_FIRST_TEXT_TOKEN; id < static_cast<int>(p.size()); id++)
      if (id != 1500) order.push_back(id);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return p[a] > p[b]; });
    std::vector<const char*> slots(6, nullptr);
    slots[0] = orv_tokenizer_token(s->tokenizer.get(), 1500);
    for (int k = 1; k < n_alt && 1 - p[order[k - 1]] / p[1500] <= tolerance; k++)
      slots[k] = orv_tokenizer_token(s->tokenizer.get(), order[k - 1]);
    return slots;
  };
  const std::pair<int, float> settings[] = {{4, 1.f}, {4, 0.6f}, {4, 0.f}, {2, 1.f}, {1, 1.f}};
  for (auto [n_alt, tolerance] : settings) {
    orv_stream_set_alt(s.get(), n_alt, tolerance);
    std::fill(s->logits.begin(), s->logits.end(), 0.f);
    for (auto [id, score] : scores) s->logits[id] = static_cast<float>(score);
    orv_stream_emit(s.get(), 1500);
    std::vector<const char*> got(6, nullptr);
    ASSERT_EQ(orv_stream_get_alt(s.get(), got.data(), 1, 6), 1);
    EXPECT_EQ(got, expected(n_alt, tolerance)) << n_alt << " within " << tolerance;
  }

  // Several entries with K pointers each; K below the entry's width cuts it.
  orv_stream_set_alt(s.get(), 4, 1.f);
  for (int i = 0; i < 2; i++) {
    for (auto [id, score] : scores) s->logits[id] = static_cast<float>(score);
    orv_stream_emit(s.get(), 1500);
  }
  const char* two[4] = {};
  ASSERT_EQ(orv_stream_get_alt(s.get(), two, 2, 2), 2);
  EXPECT_STREQ(two[2], two[0]);
  EXPECT_STREQ(two[3], orv_tokenizer_token(s->tokenizer.get(), 1700));
}

}  // namespace
