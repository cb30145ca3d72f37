// Streaming transcription on a tiny model: how audio is cut never changes the tokens, the encoder
// runs at the frame counts the time scale gives, and the queue, alternatives, finish, flush and
// end-of-stream rules hold.
#include "stream/stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <functional>
#include <memory>
#include <new>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "context_ptr.h"
#include "network/context.h"
#include "speech.h"
#include "tiny_model.h"

namespace {

using StreamPtr = std::unique_ptr<orv_stream_t, decltype(&orv_stream_free)>;

orv_ctx_t* model() {
  static CtxPtr ctx = load_context(tiny_model_dir());
  return ctx.get();
}

StreamPtr new_stream(orv_ctx_t* ctx = model()) {
  return StreamPtr(orv_stream_create(ctx), &orv_stream_free);
}

const std::vector<float>& speech() {  // about 3.4 s
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

// Streams AUDIO in pieces of NEXT_SIZE() samples, reading as it goes, then finishes.
Transcript run_stream(const std::vector<float>& audio, const std::function<int()>& next_size,
                      float interval_s = 2.0f, orv_ctx_t* ctx = model()) {
  StreamPtr s = new_stream(ctx);
  orv_stream_set_interval(s.get(), interval_s);
  Transcript r;
  s->on_token = [&r](int id) { r.ids.push_back(id); };
  for (size_t at = 0; at < audio.size();) {
    const int n = static_cast<int>(std::min<size_t>(next_size(), audio.size() - at));
    EXPECT_EQ(orv_stream_feed(s.get(), audio.data() + at, n), 0);
    at += static_cast<size_t>(n);
    for (std::string& t : drain(s.get())) r.text.push_back(t);
  }
  EXPECT_EQ(orv_stream_finish(s.get()), 0);
  for (std::string& t : drain(s.get())) r.text.push_back(t);
  return r;
}

const auto kWhole = [] { return INT_MAX; };

TEST(Stream, output_independent_of_chunking) {
  const Transcript whole = run_stream(speech(), kWhole);
  const auto eos = std::find(whole.ids.begin(), whole.ids.end(), ORV_TOKEN_EOS);
  ASSERT_TRUE(eos == whole.ids.end() || eos + 1 == whole.ids.end()) << "ids after end of stream";
  if (eos == whole.ids.end()) {  // one id per decoder position from the start's last one on
    EXPECT_GE(whole.ids.size(), (40960 + speech().size()) / 1280 - 38);
  }
  std::vector<std::string> expected;
  StreamPtr names = new_stream();
  for (int id : whole.ids)
    if (id >= ORV_FIRST_TEXT_TOKEN)
      expected.push_back(orv_tokenizer_token(names->tokenizer.get(), id));
  EXPECT_EQ(whole.text, expected);
  EXPECT_GE(std::set<std::string>(expected.begin(), expected.end()).size(), 2u)
      << "the tokens follow the speech";

  std::mt19937 rng(11);
  std::uniform_int_distribution<int> size(1, 5000);
  EXPECT_EQ(run_stream(speech(), [] { return 1600; }).ids, whole.ids) << "0.1 s pieces";
  EXPECT_EQ(run_stream(speech(), [&] { return size(rng); }).ids, whole.ids) << "random pieces";
  // With an interval of one frame every encoder run takes one frame: it holds a column back or
  // spends the held one, and positions wait several runs for their group of four.
  EXPECT_EQ(run_stream(
                speech(), [] { return 160; }, 0.f)
                .ids,
            whole.ids)
      << "single frames";
}

// Streams after the first start from a copy of the silence state; their ids must be exactly
// those of a context that computes it every time, for each delay (also one changed after the
// stream began) and with BF16 or INT8 decoder weights.
TEST(Stream, reused_silence_start_gives_the_ids_of_computing_it) {
  CtxPtr reuse = load_context(tiny_model_dir()), fresh = load_context(tiny_model_dir());
  fresh->reuse_silence = false;
  const auto pieces = [] { return 1600; };
  // Each weight form: a copy made, a copy used, a copy refused for another delay; the INT8 pass
  // first meets the BF16 copy of its delay.
  const std::pair<int, std::vector<int>> runs[] = {{0, {480, 480, 160}}, {1, {160, 160, 480}}};
  for (const auto& [int8, delays] : runs) {
    ASSERT_EQ(orv_set_int8(reuse.get(), int8), 0);
    ASSERT_EQ(orv_set_int8(fresh.get(), int8), 0);
    for (int delay : delays) {
      SCOPED_TRACE("int8 " + std::to_string(int8) + ", delay " + std::to_string(delay));
      orv_set_delay(reuse.get(), delay);
      orv_set_delay(fresh.get(), delay);
      EXPECT_EQ(run_stream(speech(), pieces, 2.f, reuse.get()).ids,
                run_stream(speech(), pieces, 2.f, fresh.get()).ids);
      EXPECT_TRUE(reuse->silence.enc.valid && reuse->silence.dec.valid);
      EXPECT_EQ(reuse->silence.dec.delay_tokens, delay / 80);
    }
  }
  // The delay changes between the stream's start and its decoder's: the copy made for the old
  // delay must not be used.
  std::vector<int> ids[2];
  for (orv_ctx_t* ctx : {reuse.get(), fresh.get()}) {
    orv_set_delay(ctx, 480);
    StreamPtr s = new_stream(ctx);
    s->on_token = [&ids, ctx, &fresh](int id) { ids[ctx == fresh.get()].push_back(id); };
    ASSERT_EQ(orv_stream_feed(s.get(), speech().data(), 8000), 0);
    orv_set_delay(ctx, 800);
    ASSERT_EQ(orv_stream_feed(s.get(), speech().data() + 8000, int(speech().size()) - 8000), 0);
    ASSERT_EQ(orv_stream_finish(s.get()), 0);
  }
  EXPECT_EQ(ids[0], ids[1]);
  EXPECT_FALSE(ids[0].empty());
}

TEST(Stream, long_recording_in_one_call_fits_a_fixed_encoder_cache) {
  // The GPU passes get encoder caches of window + 256 rows; a recording fed in one call still
  // goes through one, in runs of at most 256 positions, without growing it and losing nothing.
  std::vector<float> audio = speech();
  audio.insert(audio.end(), speech().begin(), speech().end());
  const orv_block_shape_t& enc = model()->shape.encoder;
  const int rows = enc.window + ORV_ENCODER_HEADROOM;
  ASSERT_GT((40960 + audio.size()) / 320, size_t(rows)) << "more positions than rows";
  StreamPtr s = new_stream();
  ASSERT_TRUE(s->enc.cache.init(rows));
  std::vector<int> ids;
  s->on_token = [&ids](int id) { ids.push_back(id); };
  testing::internal::CaptureStderr();
  ASSERT_EQ(orv_stream_feed(s.get(), audio.data(), int(audio.size())), 0);
  ASSERT_EQ(orv_stream_finish(s.get()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(s->enc.cache.capacity(), rows);
  EXPECT_EQ(run_stream(audio, [] { return 1600; }).ids, ids);
}

TEST(Stream, encoder_runs_follow_the_frame_thresholds) {
  const float* x = speech().data();
  // The silence prefix makes 255 frames; 8999 samples more make 311, one short of the first run.
  StreamPtr a = new_stream();
  ASSERT_EQ(orv_stream_feed(a.get(), x, 8999), 0);
  EXPECT_EQ(a->mel_consumed, 0);
  ASSERT_EQ(orv_stream_feed(a.get(), x + 8999, 1), 0);
  // 312 frames: 156 positions, 39 rows, exactly the decoder's start with a delay of 6.
  EXPECT_EQ(a->mel_consumed, 312);
  EXPECT_EQ(a->n_adapter, 39);
  EXPECT_EQ(a->n_steps, 1);
  // Then every half second: 49 frames wait, the 50th runs.
  EXPECT_EQ(orv_stream_set_interval(a.get(), 0.5f)->interval_frames, 50);
  ASSERT_EQ(orv_stream_feed(a.get(), x + 9000, 49 * 160), 0);
  EXPECT_EQ(a->mel_consumed, 312);
  ASSERT_EQ(orv_stream_feed(a.get(), x + 9000 + 49 * 160, 160), 0);
  EXPECT_EQ(a->mel_consumed, 362);

  // One second at a time: 355 frames, one column held, 177 positions, 44 rows and one held.
  StreamPtr b = new_stream();
  ASSERT_EQ(orv_stream_feed(b.get(), x, 16000), 0);
  EXPECT_EQ(b->mel_consumed, 355);
  EXPECT_TRUE(b->has_carry);
  EXPECT_EQ(b->n_adapter, 44);
  EXPECT_EQ(b->n_residual, 1);
  EXPECT_TRUE(b->eos || b->dec_pos == 44);
  ASSERT_EQ(orv_stream_feed(b.get(), x + 16000, 16000), 0);
  EXPECT_EQ(b->mel_consumed, 355) << "100 new frames are below the interval";
  ASSERT_EQ(orv_stream_feed(b.get(), x + 32000, 16000), 0);
  // 200 frames and the held column: 100 positions, with the held one 25 rows and one held.
  EXPECT_EQ(b->mel_consumed, 555);
  EXPECT_EQ(b->n_adapter, 69);
  EXPECT_EQ(b->n_residual, 1);
  EXPECT_TRUE(b->eos || (b->dec_pos == 69 && b->adapter_base == 69));

  const std::pair<float, int> intervals[] = {
      {0.009f, 1}, {0.f, 1}, {-3.f, 1}, {NAN, 1}, {1e30f, INT_MAX}};
  for (auto [seconds, frames] : intervals)
    EXPECT_EQ(orv_stream_set_interval(b.get(), seconds)->interval_frames, frames) << seconds;
}

TEST(Stream, finish_without_audio_then_refuses_more) {
  StreamPtr s = new_stream();
  ASSERT_EQ(orv_stream_finish(s.get()), 0);
  // Prefix 40960 + padding 7680 + 14080 samples: 392 frames, 196 positions, 49 rows.
  EXPECT_EQ(s->mel_consumed, 392);
  EXPECT_EQ(s->n_adapter, 49);
  EXPECT_TRUE(s->eos || s->dec_pos == 49);
  const float x[4] = {};
  const int steps = s->n_steps;
  EXPECT_EQ(orv_stream_finish(s.get()), -1);
  EXPECT_EQ(orv_stream_feed(s.get(), x, 4), -1);
  EXPECT_EQ(orv_stream_flush(s.get()), -1);
  EXPECT_EQ(s->n_steps, steps);

  StreamPtr open = new_stream();
  EXPECT_EQ(orv_stream_feed(open.get(), x, 0), -1);
  EXPECT_EQ(orv_stream_feed(open.get(), nullptr, 4), -1);
  EXPECT_EQ(orv_stream_feed(nullptr, x, 4), -1);
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
  const int delay = model()->delay_tokens;
  EXPECT_GE(s->n_adapter, (40960 + half) / 1280 + delay);
  EXPECT_TRUE(s->eos || s->dec_pos == s->n_adapter);
  ASSERT_EQ(orv_stream_feed(s.get(), rest.data(), static_cast<int>(rest.size())), 0);
  ASSERT_EQ(orv_stream_finish(s.get()), 0);
  // Token times leave the flush's silence (22720 samples from 2.5 s on) out of the audio's clock;
  // a row inside it is timed at its start; nothing is timed past the real audio.
  const int r0 = s->first_row;
  EXPECT_EQ(r0, 32 + delay);
  const int32_t end_ms = static_cast<int32_t>((half + rest.size()) / 16);
  for (const auto& [row, ms] : std::vector<std::pair<int, int32_t>>{
           {r0, 0}, {r0 + 10, 800}, {r0 + 40, 2500}, {r0 + 49, 2500}, {r0 + 50, 2580}, {r0 + 1000, end_ms}})
    EXPECT_EQ(orv_stream_row_ms(s.get(), row), ms) << row;

  // The same samples fed as plain audio give the same ids. Only the finish padding may differ
  // by a row: it is aligned on the real samples, which do not count the flush's silence.
  std::vector<float> padded = first;
  padded.resize(half + (1280 - half % 1280) % 1280 + 1280 * delay + 14080, 0.f);
  padded.insert(padded.end(), rest.begin(), rest.end());
  std::vector<int> plain = run_stream(padded, [] { return 1600; }).ids;
  const size_t common = std::min(plain.size(), flushed.size());
  EXPECT_LE(std::max(plain.size(), flushed.size()) - common, 1u);
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
  std::vector<std::string> expected;
  auto emit = [&](int count) {
    for (int i = 0; i < count; i++) {
      const int id = ORV_FIRST_TEXT_TOKEN + static_cast<int>(expected.size() * 7 % 1000);
      orv_emit_token(s.get(), id);
      expected.push_back(orv_tokenizer_token(s->tokenizer.get(), id));
    }
  };
  const char* out[600];
  EXPECT_EQ(orv_stream_get(s.get(), out, 0), 0);
  emit(200);
  ASSERT_EQ(orv_stream_get(s.get(), out, 100), 100);  // from here the ring wraps as it fills
  std::vector<std::string> got(out, out + 100);
  emit(155);
  EXPECT_EQ(s->queue.capacity(), 256u) << "255 unread entries fit";
  emit(145);
  EXPECT_EQ(s->queue.capacity(), 512u);
  const int n = orv_stream_get(s.get(), out, 600);
  EXPECT_EQ(n, 400) << "only the ready entries";
  got.insert(got.end(), out, out + n);
  EXPECT_EQ(got, expected);
  EXPECT_EQ(s->n_text_tokens, 500);
}

TEST(Stream, alternatives_within_tolerance_by_probability) {
  StreamPtr s = new_stream();
  EXPECT_EQ(orv_stream_set_alt(s.get(), 9, 2.f)->n_alt, 4);
  EXPECT_EQ(s->alt_tolerance, 1.f);
  EXPECT_EQ(orv_stream_set_alt(s.get(), 0, NAN)->n_alt, 1);
  EXPECT_EQ(s->alt_tolerance, 0.f);

  // The chosen id 1500, a text token at half its probability, two tied ones at e^-1 of it, and a
  // control token above them all, which is never an alternative. Expected picks from a
  // double-precision softmax: text tokens by falling probability, lower id first on ties, while
  // 1 - p / p_chosen stays within the tolerance.
  const std::vector<std::pair<int, double>> scores = {
      {1500, 3.0}, {1700, 3.0 - std::log(2.0)}, {1200, 2.0}, {1100, 2.0}, {500, 5.0}};
  std::vector<double> p(s->logits.size(), 1.0);
  for (auto [id, score] : scores) p[id] = std::exp(score);
  std::vector<int> order;
  for (int id = ORV_FIRST_TEXT_TOKEN; id < static_cast<int>(p.size()); id++)
    if (id != 1500) order.push_back(id);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return p[a] > p[b]; });
  auto token = [&](int id) { return orv_tokenizer_token(s->tokenizer.get(), id); };

  const std::pair<int, float> settings[] = {{4, 1.f}, {4, 0.6f}, {4, 0.f}, {2, 1.f}, {1, 1.f}};
  for (auto [n_alt, tolerance] : settings) {
    orv_stream_set_alt(s.get(), n_alt, tolerance);
    std::fill(s->logits.begin(), s->logits.end(), 0.f);
    for (auto [id, score] : scores) s->logits[id] = static_cast<float>(score);
    orv_emit_token(s.get(), 1500);
    std::vector<const char*> got(6, nullptr), want(6, nullptr);
    want[0] = token(1500);
    for (int k = 1; k < n_alt && 1 - p[order[k - 1]] / p[1500] <= tolerance; k++)
      want[k] = token(order[k - 1]);
    ASSERT_EQ(orv_stream_get_alt(s.get(), got.data(), 1, 6), 1);  // six slots, two stay null
    EXPECT_EQ(got, want) << n_alt << " within " << tolerance;
  }
  orv_emit_token(s.get(), 1500);
  orv_emit_token(s.get(), 1700);
  const char* two[4] = {};
  ASSERT_EQ(orv_stream_get_alt(s.get(), two, 2, 2), 2);
  EXPECT_STREQ(two[2], token(1700));
}

}  // namespace

// An exception inside the work of a call (here thrown by the test hook, as an allocation deep in
// a GPU pass could) never crosses the C edge: the call fails with one line.
TEST(Stream, exception_inside_a_call_becomes_its_error_value) {
  StreamPtr s = new_stream();
  s->on_token = [](int) { throw std::bad_alloc(); };
  testing::internal::CaptureStderr();
  EXPECT_EQ(orv_stream_feed(s.get(), speech().data(), int(speech().size())), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "orv_stream_feed: out of memory\n");
}
