// orvane-bench: streams N seconds of speech-like audio through a model in 0.1 s pieces, as the
// application does, twice (a context's first stream, then a steady one), and reports where the
// time goes, how close the decoder step comes to the memory-bandwidth floor of reading its
// weights once (on the GPU: its INT8 weights at the device's copy bandwidth, with the dispatches
// one step records), and how long a stream waits for its first token (a context's first stream
// also computes the silence every stream starts with).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gpu/gpu.h"
#include "kernels/kernels.h"
#include "membw.h"
#include "network/context.h"
#include "network/decoder.h"
#include "orvane.h"
#include "stopwatch.h"
#include "stream/stream.h"
#include "synth_speech.h"

namespace {

const char kUsage[] =
    "Usage: orvane-bench -d MODEL_DIR [--cpu] [--int8] [--threads N] [--seconds N] [--json]\n"
    "                    [--streams N]   also: throughput of 1, 2, 4 .. N streams at once\n";

using Clock = std::chrono::steady_clock;

// Bytes of weights one decoder step reads: every layer's matrices (BF16, or INT8 with a half
// scale per 128 weights), its two norms and its row of conditioning scales (F32), the final norm
// and the whole token embedding, which also gives the output scores.
double step_weight_bytes(const orv_shape_t& shape, bool int8) {
  const orv_block_shape_t& d = shape.decoder;
  const double dim = d.dim, q = double(d.heads) * d.head_dim, kv = double(d.kv_heads) * d.head_dim;
  const double matrices = dim * q * 2 + dim * kv * 2 + dim * d.hidden * 3;
  const double per_weight = int8 ? 1.0 + 2.0 / double(ORV_INT8_GROUP) : 2.0;
  return d.layers * (per_weight * matrices + 4 * 3 * dim) + 4 * dim +
         per_weight * double(d.vocab) * dim;
}

// Milliseconds per decoder step with KEYS rows already in STATE's cache (rows of zeros: the time
// does not depend on their values), the best of 10 steps from that length after an untimed one
// that brings the device copy level. Grows the cache; -1 when a step fails.
double step_ms_at(const orv_ctx_t* ctx, DecoderState* state, int keys) {
  if (!state->cache.reserve(keys + 1, keys + 1)) return -1;
  const std::vector<float> embed(size_t(ctx->shape.decoder.dim), 0.01f);
  double best = 1e30;
  for (int i = 0; i < 11; i++) {
    state->cache.len = keys;
    const auto t0 = Clock::now();
    if (orv_decoder_step(ctx, state, embed.data(), nullptr) < 0) return -1;
    if (i > 0) best = std::min(best, ms_since(t0));
  }
  return best;
}

constexpr int kStepKeys[3] = {256, 2048, 8192};

using StreamPtr = std::unique_ptr<orv_stream_t, decltype(&orv_stream_free)>;
constexpr size_t kPiece = ORV_SAMPLE_RATE / 10;  // what the application feeds at a time

// One stream over AUDIO, fed in 0.1 s pieces as fast as the stream takes them, then finished;
// with UNTIL_FIRST_TOKEN it stops feeding once the first token is out.
struct StreamRun {
  double wall_ms = 0, first_token_ms = -1;  // from the stream's creation; -1: no token came
  double prefill_ms = 0;                    // the decoder start: prefill and first step
  double enc_ms = 0, encoded_s = 0;         // audio really encoded (not the copied silence)
  double step_ms = 0;                       // per decoder step after the start
  int n_steps = 0, n_text_tokens = 0;
  double stream_mb = 0;  // what the stream held at its end beyond the context
};

StreamRun run_stream(orv_ctx_t* ctx, const std::vector<float>& audio, bool until_first_token) {
  StreamRun r;
  const auto created = Clock::now();
  StreamPtr s(orv_stream_create(ctx), &orv_stream_free);
  if (!s) return r;
  s->on_token = [&](int) {
    if (r.first_token_ms < 0) r.first_token_ms = ms_since(created);
  };
  const char* tokens[64];
  for (size_t at = 0; at < audio.size() && !(until_first_token && r.first_token_ms >= 0);
       at += kPiece) {
    orv_stream_feed(s.get(), audio.data() + at, static_cast<int>(std::min(kPiece, audio.size() - at)));
    while (orv_stream_get(s.get(), tokens, 64) > 0) {
    }
  }
  if (!until_first_token || r.first_token_ms < 0) orv_stream_finish(s.get());
  while (orv_stream_get(s.get(), tokens, 64) > 0) {
  }
  r.wall_ms = ms_since(created);
  r.prefill_ms = s->prefill_ms;
  r.enc_ms = s->enc_ms;
  r.encoded_s = (s->mel_consumed - s->mel_restored) / 100.0;  // one mel frame per 10 ms
  r.step_ms = s->n_steps >= 2 ? (s->dec_ms - s->prefill_ms) / (s->n_steps - 1) : 0;
  r.n_steps = s->n_steps;
  r.n_text_tokens = s->n_text_tokens;
  r.stream_mb = double(orv_stream_memory_bytes(s.get())) / 1048576.0;
  return r;
}

// Seconds of audio transcribed per second of wall time by N streams of CTX at once, each on its
// own thread with its own copy of AUDIO.
double concurrent_throughput(orv_ctx_t* ctx, const std::vector<float>& audio, int n) {
  const auto t0 = Clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < n; i++) threads.emplace_back([&] { run_stream(ctx, audio, false); });
  for (std::thread& t : threads) t.join();
  return n * (double(audio.size()) / double(ORV_SAMPLE_RATE)) / (ms_since(t0) / 1000.0);
}

// Multiply-adds of the encoder's matrices per encoder position, doubled: the stem's second
// convolution, two frames of the first, and every layer's projections and feed-forward block.
// Attention over the cached keys is left out, so the rate it gives is a slight underestimate.
double encoder_flops_per_position(const orv_shape_t& shape) {
  const orv_block_shape_t& e = shape.encoder;
  const double dim = e.dim, q = double(e.heads) * e.head_dim, kv = double(e.kv_heads) * e.head_dim;
  const double layer = dim * (q + 2 * kv) + q * dim + 3 * dim * e.hidden;
  return 2 * (e.layers * layer + 3 * dim * dim + 2 * 3 * dim * double(ORV_MEL_BINS));
}

// Best of five rates of CALL, which multiplies M 100 rows (a 2 s chunk) by the encoder's
// feed-forward shape, split across the engine's threads.
template <typename Call>
double ffn_gflops(const orv_shape_t& shape, Call&& call) {
  const int m = 100, k = shape.encoder.dim, n = shape.encoder.hidden;
  double best = 0;
  for (int rep = 0; rep < 5; rep++) {
    const auto t0 = Clock::now();
    call(m, k, n);
    best = std::max(best, 2.0 * m * k * n / (ms_since(t0) * 1e6));
  }
  return best;
}

// The machine's two GEMMs on that shape: the BLAS sgemm on float weights, and the engine's own
// tiled product on BF16 weights (what the encoder runs where the CPU has it).
struct GemmRates {
  double blas, tiled;
};

GemmRates gemm_gflops(const orv_shape_t& shape) {
  const size_t m = 100, k = size_t(shape.encoder.dim), n = size_t(shape.encoder.hidden);
  std::vector<float> a(m * k, 0.5f), b(n * k, 0.25f), c(m * n);
  std::vector<uint16_t> w(n * k, 0x3e80);  // 0.25 in BF16
  GemmRates r;
  r.blas = ffn_gflops(shape, [&](int mm, int kk, int nn) {
    orv_matmul_t(c.data(), a.data(), b.data(), mm, kk, nn);
  });
  r.tiled = ffn_gflops(shape, [&](int mm, int kk, int nn) {
    orv_linear_nobias_bf16(c.data(), a.data(), w.data(), mm, kk, nn);
  });
  return r;
}

struct Options {
  std::string model_dir;
  bool cpu = false, json = false, int8 = false;
  int threads = 0;  // every core
  double seconds = 10;
  int streams = 0;  // most concurrent streams timed; 0: none
};

Options parse_args(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    if (a == "-d" && i + 1 < argc) {
      o.model_dir = argv[++i];
    } else if (a == "--threads" && i + 1 < argc) {
      o.threads = std::atoi(argv[++i]);
    } else if (a == "--seconds" && i + 1 < argc) {
      o.seconds = std::atof(argv[++i]);
    } else if (a == "--streams" && i + 1 < argc) {
      o.streams = std::atoi(argv[++i]);
    } else if (a == "--cpu") {
      o.cpu = true;
    } else if (a == "--int8") {
      o.int8 = true;
    } else if (a == "--json") {
      o.json = true;
    } else {
      std::fputs(kUsage, a == "-h" || a == "--help" ? stdout : stderr);
      std::exit(a == "-h" || a == "--help" ? 0 : 2);
    }
  }
  if (o.model_dir.empty() || !(o.seconds > 0)) {
    std::fputs(kUsage, stderr);
    std::exit(2);
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse_args(argc, argv);
  orv_set_threads(o.threads);
  const double bandwidth_1t = orv_bench_read_bandwidth_gbs();
  const double bandwidth = orv_bench_read_bandwidth_all_gbs();

  const int gpu = o.cpu ? 0 : orv_gpu_init();
  auto t0 = Clock::now();
  std::unique_ptr<orv_ctx_t, decltype(&orv_free)> ctx(orv_load(o.model_dir.c_str()), &orv_free);
  const double load_ms = ms_since(t0);
  if (!ctx) {
    std::fprintf(stderr, "orvane-bench: cannot load the model in %s\n", o.model_dir.c_str());
    return 1;
  }
  // Quantising, or reading int8_cache.bin when it is there and current.
  t0 = Clock::now();
  if (o.int8 && orv_set_int8(ctx.get(), 1) != 0) return 1;
  const double int8_ms = o.int8 ? ms_since(t0) : 0;

  const std::vector<float> audio = synth_speech(o.seconds);
  // The context's first stream also computes the silence every stream starts with (and touches
  // its working memory for the first time); the second copies that state, as every later
  // dictation does, and gives the steady figures. A third one times the first token again.
  const StreamRun cold = run_stream(ctx.get(), audio, false);
  const StreamRun warm = run_stream(ctx.get(), audio, false);
  const double first_token_ms = run_stream(ctx.get(), audio, true).first_token_ms;

  const double seconds_ms = o.seconds * 1000.0;
  const double rtf = warm.wall_ms / seconds_ms, rtf_first = cold.wall_ms / seconds_ms;
  const double enc_ms_per_s = warm.encoded_s > 0 ? warm.enc_ms / warm.encoded_s : 0;
  // The GPU decoder always reads INT8 weights, at the device's bandwidth.
  const bool int8_weights = o.int8 || gpu;
  const double gpu_copy_gbs = gpu ? orv_gpu_copy_bandwidth_gbs() : 0;
  const double floor_gbs = gpu ? gpu_copy_gbs : bandwidth;
  const double weight_bytes = step_weight_bytes(ctx->shape, int8_weights);
  const double floor_ms = floor_gbs > 0 ? weight_bytes / (floor_gbs * 1e9) * 1e3 : 0;
  const GemmRates gemm = gpu ? GemmRates{} : gemm_gflops(ctx->shape);
  const double enc_gflops = warm.enc_ms > 0 ? encoder_flops_per_position(ctx->shape) *
                                                  (warm.encoded_s * 50) / (warm.enc_ms * 1e6)
                                            : 0;
  const double rss = orv_bench_rss_mb();
  const double rss_anon = orv_bench_rss_anon_mb();
  // What the backend's tables account for, against what it has allocated: they differ only when
  // something holds device memory that no table knows of.
  const double gpu_mb = double(orv_gpu_memory_bytes()) / 1048576.0;
  const double gpu_allocated_mb = double(orv_gpu_allocated_bytes()) / 1048576.0;
  const double step_ms = warm.step_ms, prefill_ms = cold.prefill_ms;
  double step_ms_keys[3] = {0, 0, 0};  // on the GPU, at kStepKeys cached keys (measured last)
  double gpu_mb_long = 0;               // device memory with the longest of those caches
  if (gpu) {
    DecoderState state(ctx->shape.decoder, orv_gpu_cache_memory());  // one stream's decoder, alive for the measurement
    for (int i = 0; i < 3; i++) step_ms_keys[i] = step_ms_at(ctx.get(), &state, kStepKeys[i]);
    gpu_mb_long = double(orv_gpu_memory_bytes()) / 1048576.0;
  }
  // The work of the last of those steps, one that replays its stream's recording.
  const int dispatches = orv_gpu_step_dispatches();
  const orv_gpu_step_work_t work = orv_gpu_step_work();
  const double first_stream_token_ms = cold.first_token_ms;
  // Throughput of 1, 2, 4 .. streams at once, as "n: seconds of audio per second".
  std::string throughput;
  for (int n = 1; n <= o.streams; n *= 2) {
    char item[64];
    std::snprintf(item, sizeof item, "%s\"%d\": %.3f", throughput.empty() ? "" : ", ", n,
                  concurrent_throughput(ctx.get(), audio, n));
    throughput += item;
  }

  if (o.json) {
    std::printf(
        "{\"threads\": %d, \"load_ms\": %.1f, \"int8_ms\": %.1f, \"encoder_ms_per_audio_s\": %.2f, "
        "\"encoder_gflops\": %.1f, \"sgemm_gflops\": %.1f, \"gemm_gflops\": %.1f, "
        "\"decoder_ms_per_step\": %.3f, "
        "\"prefill_ms\": %.1f, \"rtf\": %.4f, \"rtf_first_stream\": %.4f, \"rss_mb\": %.1f, "
        "\"rss_anon_mb\": %.1f, "
        "\"gpu_memory_mb\": %.1f, \"gpu_allocated_mb\": %.1f, \"mem_bw_gbs\": %.2f, \"mem_bw_1t_gbs\": %.2f, "
        "\"step_floor_ms\": %.3f, \"first_token_ms\": %.1f, \"first_stream_token_ms\": %.1f, "
        "\"gpu_copy_gbs\": %.1f, \"step_dispatches\": %d, \"step_barriers\": %d, \"step_copies\": %d, "
        "\"step_descriptor_writes\": %d, \"step_ms_256_keys\": %.3f, \"step_ms_2048_keys\": %.3f, "
        "\"step_ms_8192_keys\": %.3f, \"gpu_memory_mb_8192_keys\": %.1f, \"stream_mb\": %.1f, "
        "\"streams_audio_s_per_s\": {%s}}\n",
        orv_get_threads(), load_ms, int8_ms, enc_ms_per_s, enc_gflops, gemm.blas, gemm.tiled,
        step_ms, prefill_ms, rtf, rtf_first, rss, rss_anon, gpu_mb, gpu_allocated_mb, bandwidth, bandwidth_1t,
        floor_ms, first_token_ms,
        first_stream_token_ms, gpu_copy_gbs, dispatches, work.barriers, work.copies, work.descriptor_writes,
        step_ms_keys[0], step_ms_keys[1], step_ms_keys[2], gpu_mb_long, warm.stream_mb, throughput.c_str());
    return 0;
  }
  std::printf("model          %s (%s, %s weights)\n", o.model_dir.c_str(), gpu ? "GPU" : "CPU",
              int8_weights ? "INT8" : "BF16");
  std::printf("audio          %.1f s fed in 0.1 s pieces, %d decoder steps, %d text tokens\n",
              o.seconds, warm.n_steps, warm.n_text_tokens);
  std::printf("load           %.1f ms\n", load_ms);
  if (o.int8) std::printf("int8 weights   %.1f ms (quantised, or read from int8_cache.bin)\n", int8_ms);
  std::printf("encoder        %.2f ms per second of audio, %.1f ms per 2 s chunk (%.1f s encoded)\n",
              enc_ms_per_s, 2 * enc_ms_per_s, warm.encoded_s);
  std::printf("encoder rate   %.1f GFLOP/s; on its feed-forward shape (M 100) the BLAS sgemm gives "
              "%.1f, the tiled BF16 product %.1f\n",
              enc_gflops, gemm.blas, gemm.tiled);
  std::printf("decoder        %.3f ms per step (start %.1f ms on the first stream: prefill of "
              "%d rows and a step)\n",
              step_ms, prefill_ms, ctx->delay_tokens + ORV_STREAM_PROMPT_EXTRA - 1);
  std::printf("first token    %.1f ms after a stream's creation (%.1f ms on the first stream)\n",
              first_token_ms, first_stream_token_ms);
  std::printf("real time      %.4f x (%.0f ms for %.1f s; %.4f x on the first stream)\n", rtf,
              warm.wall_ms, o.seconds, rtf_first);
  std::printf("resident       %.1f MB (%.1f MB beyond the mapped weights)\n", rss, rss_anon);
  std::printf("GPU memory     %.1f MB (%.1f MB allocated)\n", gpu_mb, gpu_allocated_mb);
  std::printf("per stream     %.1f MB (caches, work rows and adapter rows of one more stream)\n",
              warm.stream_mb);
  if (!throughput.empty())
    std::printf("streams        %s (streams at once: seconds of audio per second)\n",
                throughput.c_str());
  std::printf("memory read    %.2f GB/s (%d threads), %.2f GB/s (one thread)\n", bandwidth,
              orv_get_threads(), bandwidth_1t);
  if (gpu) {
    std::printf("GPU copy       %.1f GB/s (read plus write)\n", gpu_copy_gbs);
    std::printf("step work      %d dispatches, %d barriers, %d copies, %d descriptor writes (one "
                "submission, replayed)\n", dispatches, work.barriers, work.copies, work.descriptor_writes);
    for (int i = 0; i < 3; i++)
      std::printf("step, %4d keys %.3f ms (floor %.3f ms)\n", kStepKeys[i], step_ms_keys[i], floor_ms);
    std::printf("GPU memory     %.1f MB with the %d-key cache\n", gpu_mb_long, kStepKeys[2]);
  }
  std::printf("step floor     %.3f ms (%.1f MB of weights per step)\n", floor_ms, weight_bytes / 1e6);
  return 0;
}
