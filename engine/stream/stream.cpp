// Streaming transcription: audio fed in pieces of any size comes out as queued token strings.
// The pumps that do the work are in stream_pump.cpp.
#include "stream/stream.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "base/c_edge.h"
#include "gpu/gpu.h"
#include "network/context.h"

namespace {

int cache_rows(int window, int headroom) {
  return static_cast<int>(std::min<int64_t>(int64_t{window} + headroom, INT_MAX));
}

// Silence after the real audio that carries it through the decoder's delay: up to the next
// decoder position, then the delay, then a fixed tail.
int64_t finish_padding(const orv_stream_t* s) {
  const int64_t rest =
      (ORV_SAMPLES_PER_TOKEN - s->n_samples % ORV_SAMPLES_PER_TOKEN) % ORV_SAMPLES_PER_TOKEN;
  return rest + int64_t{ORV_SAMPLES_PER_TOKEN} * s->ctx->delay_tokens + ORV_STREAM_FINISH_TAIL;
}

// Feeds the finish padding and runs the pumps with no waiting threshold.
void pad_and_pump(orv_stream_t* s) {
  static const float zeros[ORV_STREAM_PAD_BLOCK] = {};
  for (int64_t left = finish_padding(s); left > 0; left -= ORV_STREAM_PAD_BLOCK)
    orv_mel_stream_feed(s->mel.get(), zeros,
                        static_cast<int>(std::min<int64_t>(left, ORV_STREAM_PAD_BLOCK)));
  const int interval = s->interval_frames;
  s->interval_frames = 1;
  orv_stream_pump(s);
  s->interval_frames = interval;
}

// Gives S the context's spare caches and work rows when they live where S's must (GPU-shared or
// not). They are emptied; their device copies reload before a GPU pass uses them.
void take_spare_memory(orv_stream_t* s, bool gpu_shared) {
  SpareStreamMemory& spare = s->ctx->spare;
  const std::lock_guard hold(spare.lock);
  if (!spare.enc || spare.enc->cache.memory().gpu_shared != gpu_shared) return;
  s->enc = std::move(*spare.enc);
  s->dec = std::move(*spare.dec);
  spare.enc.reset();
  spare.dec.reset();
  for (KvCache* cache : {&s->enc.cache, &s->dec.cache}) {
    cache->clear();
    cache->device_stale = true;
  }
}

// Hands S's caches and work rows to its context for the next stream, unless it keeps some
// already (those of S are then freed with it).
void keep_spare_memory(orv_stream_t* s) {
  SpareStreamMemory& spare = s->ctx->spare;
  const std::lock_guard hold(spare.lock);
  if (spare.enc) return;
  spare.enc.emplace(std::move(s->enc));
  spare.dec.emplace(std::move(s->dec));
}

}  // namespace

extern "C" {

orv_stream_t* orv_stream_create(orv_ctx_t* ctx) {
  return c_edge("orv_stream_create", static_cast<orv_stream_t*>(nullptr), [&]() -> orv_stream_t* {
    if (!ctx) return nullptr;
    // The caches go where the GPU passes can use them while the backend runs.
    const bool gpu = orv_gpu_available() && ctx->gpu_caches;
    auto s = std::make_unique<orv_stream_t>(ctx, gpu ? orv_gpu_cache_memory() : kHeapMemory);
    s->tokenizer.reset(orv_tokenizer_load((ctx->model_dir + "/tekken.json").c_str()));
    if (!s->tokenizer) return nullptr;
    s->mel.reset(orv_mel_stream_new(ORV_STREAM_SILENCE_PREFIX));
    if (!s->mel) return nullptr;
    if (!s->queue.init(256)) return nullptr;
    s->logits.assign(static_cast<size_t>(ctx->shape.decoder.vocab), 0.f);
    s->dec_in.assign(static_cast<size_t>(ctx->shape.decoder.dim), 0.f);
    take_spare_memory(s.get(), gpu);
    // The GPU passes work on caches of their full capacity; allocate them now rather than in
    // the middle of the recording.
    if (gpu &&
        (!s->dec.cache.init(cache_rows(ctx->shape.decoder.window, ORV_DECODER_HEADROOM)) ||
         !s->enc.cache.init(cache_rows(ctx->shape.encoder.window, ORV_ENCODER_HEADROOM)))) {
      std::fprintf(stderr, "orv_stream_create: cannot allocate the key/value caches\n");
      return nullptr;
    }
    return s.release();
  });
}

int orv_stream_feed(orv_stream_t* s, const float* samples, int n) {
  return c_edge("orv_stream_feed", -1, [&]() -> int {
    if (!s || !samples || n < 1 || s->finished) return -1;
    orv_mel_stream_feed(s->mel.get(), samples, n);
    s->n_samples += n;
    orv_stream_pump(s);
    return 0;
  });
}

int orv_stream_flush(orv_stream_t* s) {
  return c_edge("orv_stream_flush", -1, [&]() -> int {
    if (!s || s->finished) return -1;
    int64_t at = s->n_samples;
    for (const auto& gap : s->flush_gaps) at += gap.second;
    try {
      s->flush_gaps.emplace_back(at, finish_padding(s));
    } catch (const std::bad_alloc&) {
      return -1;
    }
    pad_and_pump(s);
    return 0;
  });
}

int orv_stream_finish(orv_stream_t* s) {
  return c_edge("orv_stream_finish", -1, [&]() -> int {
    if (!s || s->finished) return -1;
    pad_and_pump(s);
    s->finished = true;
    orv_mel_stream_finish(s->mel.get(), 0);
    if (orv_verbose >= 2)
      std::fprintf(stderr, "Stream finished: %lld real samples (%.1f sec)\n",
                   static_cast<long long>(s->n_samples),
                   static_cast<double>(s->n_samples) / static_cast<double>(ORV_SAMPLE_RATE));
    orv_stream_pump(s);
    return 0;
  });
}

int orv_stream_get(orv_stream_t* s, const char** out, int cap) {
  return c_edge("orv_stream_get", 0, [&]() -> int {
    return orv_stream_get_timed(s, out, nullptr, cap);
  });
}

int orv_stream_get_timed(orv_stream_t* s, const char** out, int32_t* ms, int cap) {
  return c_edge("orv_stream_get_timed", 0, [&]() -> int {
    if (!s || !out || cap < 1) return 0;
    int n = 0;
    TokenEntry e;
    for (; n < cap && s->queue.pop(e); n++) {
      out[n] = e.str[0];
      if (ms) ms[n] = e.ms;
    }
    return n;
  });
}

int32_t orv_stream_row_ms(const orv_stream_t* s, int row) {
  // Row r holds the audio 80 ms after row r - 1; the first decoded row is where the real audio
  // begins, the delay and the silence prefix before it.
  int64_t at = int64_t{row - s->first_row} * ORV_SAMPLES_PER_TOKEN, gaps = 0;
  for (const auto& [start, length] : s->flush_gaps) {
    if (at < start) break;
    gaps += std::min(length, at - start);  // inside a flush's silence: its start
  }
  at = std::clamp<int64_t>(at - gaps, 0, s->n_samples);
  return static_cast<int32_t>(std::min<int64_t>(at * 1000 / ORV_SAMPLE_RATE, INT32_MAX));
}

int orv_stream_get_alt(orv_stream_t* s, const char** out, int cap, int k) {
  return c_edge("orv_stream_get_alt", 0, [&]() -> int {
    if (!s || !out || cap < 1 || k < 1) return 0;
    // K pointers per entry, as the caller laid out its array; slots past the fourth stay null.
    const int kept = std::min(k, static_cast<int>(ORV_TOKEN_ALTS));
    int n = 0;
    TokenEntry e;
    while (n < cap && s->queue.pop(e)) {
      const char** slot = out + static_cast<size_t>(n) * k;
      for (int i = 0; i < k; i++) slot[i] = i < kept ? e.str[i] : nullptr;
      n++;
    }
    return n;
  });
}

orv_stream_t* orv_stream_set_alt(orv_stream_t* s, int n, float tolerance) {
  return c_edge("orv_stream_set_alt", static_cast<orv_stream_t*>(nullptr), [&]() -> orv_stream_t* {
    if (!s) return nullptr;
    s->n_alt = std::clamp(n, 1, static_cast<int>(ORV_TOKEN_ALTS));
    s->alt_tolerance = std::isnan(tolerance) ? 0.f : std::clamp(tolerance, 0.f, 1.f);
    return s;
  });
}

orv_stream_t* orv_stream_set_interval(orv_stream_t* s, float seconds) {
  return c_edge("orv_stream_set_interval", static_cast<orv_stream_t*>(nullptr), [&]() -> orv_stream_t* {
    if (!s) return nullptr;
    const double frames = seconds > 0 ? static_cast<double>(seconds) * 100.0 : 0.0;  // NaN: 0
    s->interval_frames = frames >= INT_MAX ? INT_MAX : std::max(1, static_cast<int>(frames));
    return s;
  });
}

void orv_stream_free(orv_stream_t* s) {
  c_edge("orv_stream_free", [&] {
    if (!s) return;
    std::unique_ptr<orv_stream_t> owned(s);
    if (orv_verbose >= 1) {
      std::fprintf(stderr, "Encoder: %d mel -> %d tokens (%.0f ms)\n", s->mel_consumed, s->n_adapter,
                   s->enc_ms);
      if (s->n_text_tokens >= 1)
        std::fprintf(stderr,
                     "Decoder: %d text tokens (%d steps) in %.0f ms (prefill %.0f ms + %.1f "
                     "ms/step)\n",
                     s->n_text_tokens, s->n_steps, s->dec_ms, s->prefill_ms,
                     s->n_steps >= 2 ? (s->dec_ms - s->prefill_ms) / (s->n_steps - 1) : 0.0);
    }
    keep_spare_memory(s);
  });
}

}  // extern "C"

size_t orv_stream_memory_bytes(const orv_stream_t* s) {
  if (!s) return 0;
  size_t floats = 0;
  for (const std::vector<float>* v : {&s->adapter_rows, &s->logits, &s->dec_in, &s->enc.rope,
                                      &s->dec.x, &s->dec.rope, &s->dec.logits, &s->conv0_hist,
                                      &s->conv1_hist, &s->conv_carry, &s->enc_residual})
    floats += v->capacity();
  return floats * sizeof(float) + s->enc.cache.bytes() + s->dec.cache.bytes() +
         s->enc.work.bytes() + s->dec.work.bytes();
}
