/*
 * orvane.h: on-device streaming speech-to-text.
 *
 * Typical use:
 *
 *     orv_ctx_t *ctx = orv_load("/path/to/model");        // NULL on failure
 *     orv_stream_t *s = orv_stream_create(ctx);
 *     while (have_audio)                                    // 16 kHz mono floats
 *         orv_stream_feed(s, samples, n);
 *     const char *tok[64];
 *     int got = orv_stream_get(s, tok, 64);                 // strings owned by s
 *     orv_stream_finish(s);                                 // flushes the delayed tail
 *     while ((got = orv_stream_get(s, tok, 64)) > 0) { ... }
 *     orv_stream_free(s);
 *     orv_free(ctx);
 *
 * Or in one call: char *text = orv_transcribe(ctx, "speech.wav"); ... free(text);
 *
 * Conventions: constructors return NULL on failure, operations return 0 on success and -1 on
 * failure, every free function accepts NULL. Text and arrays returned to the caller are
 * allocated with malloc and released with free(). Errors are reported as one line on standard
 * error; the library never aborts.
 *
 * Threads: a context holds the loaded model, read-only while streams run, and serves any number
 * of streams. Streams of one context may be fed from different threads at the same time (each
 * stream has its own caches; GPU work of several streams is serialised); the calls on one
 * stream must come from one thread at a time. orv_set_delay, orv_set_int8 and orv_free change
 * the context: call them while none of its streams is inside a call. orv_set_threads is
 * process-wide, to be called between engine calls.
 */
#ifndef ORVANE_H
#define ORVANE_H

#include <stddef.h>
#include <stdint.h>

#if defined(ORV_BUILDING_LIBRARY)
#define ORV_API __attribute__((visibility("default")))
#else
#define ORV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct orv_ctx_t orv_ctx_t;       /* a loaded model */
typedef struct orv_stream_t orv_stream_t; /* one running transcription */

/* Diagnostic level on standard error: 0 errors only, 1 summaries, 2 details. */
ORV_API extern int orv_verbose;
/* Non-zero: the WAV reader reports when it resamples. */
ORV_API extern int orv_audio_verbose;

/* ---- Model ---------------------------------------------------------------------------- */

/* Loads consolidated.safetensors and the shape of MODEL_DIR. NULL (after a message) on failure. */
ORV_API orv_ctx_t *orv_load(const char *model_dir);
/* Releases the context and everything it owns. */
ORV_API void orv_free(orv_ctx_t *ctx);
/* Sets the transcription delay (clamped to 80..2400 ms, in 80 ms steps); takes effect at once. */
ORV_API void orv_set_delay(orv_ctx_t *ctx, int delay_ms);

/* Decodes with 8-bit weights when ON is non-zero: half the memory read per token, at a small
 * cost in accuracy. The first call quantises the decoder (seconds on a full model) and keeps the
 * result in MODEL_DIR/int8_cache.bin, which later calls read instead while the weight file is
 * unchanged. 0, or -1 after a message when the weights could not be prepared (the decoder then
 * stays as it was). It takes effect at the next decoder step; the quantised weights stay in
 * memory until orv_free. */
ORV_API int orv_set_int8(orv_ctx_t *ctx, int on);

/* Threads the CPU kernels use, process-wide, the calling thread included; N < 1 means every
 * available core (the default). Call it between engine calls, not during one. */
ORV_API void orv_set_threads(int n);
/* The number of threads the CPU kernels use. */
ORV_API int orv_get_threads(void);

/* ---- Streaming ------------------------------------------------------------------------ */

/* Starts a stream on CTX (loads the model's tekken.json); a context may have many. NULL on
 * failure. */
ORV_API orv_stream_t *orv_stream_create(orv_ctx_t *ctx);
/* Feeds N >= 1 samples (16 kHz mono, copied). 0, or -1 for a NULL/finished stream or N < 1. */
ORV_API int orv_stream_feed(orv_stream_t *s, const float *samples, int n);
/* Copies up to CAP ready token strings into OUT; returns how many. Strings live until free. */
ORV_API int orv_stream_get(orv_stream_t *s, const char **out, int cap);
/* Like orv_stream_get, and MS[i] (MS may be NULL) gets the time of the audio token i was decoded
 * from, in milliseconds from the start of the audio fed: the decoder position it came out of,
 * less the silence before the audio, the delay and any silence orv_stream_flush inserted, in
 * 80 ms steps. Never decreasing, never past the end of the audio fed. A token string may end in
 * the middle of a UTF-8 character that the next token completes. */
ORV_API int orv_stream_get_timed(orv_stream_t *s, const char **out, int32_t *ms, int cap);
/* Like orv_stream_get, K pointers per entry (chosen token, then alternatives or NULL). */
ORV_API int orv_stream_get_alt(orv_stream_t *s, const char **out, int cap, int k);
/* Computes up to N (1..4) strings per token, alternatives within TOLERANCE (0..1). Returns S. */
ORV_API orv_stream_t *orv_stream_set_alt(orv_stream_t *s, int n, float tolerance);
/* Runs the encoder every SECONDS of new audio (default 2.0). Returns S. */
ORV_API orv_stream_t *orv_stream_set_interval(orv_stream_t *s, float seconds);
/* Pushes silence through the delay so the words so far come out; the stream stays open. */
ORV_API int orv_stream_flush(orv_stream_t *s);
/* Ends the audio and decodes the tail. Reading still works afterwards; feeding does not. */
ORV_API int orv_stream_finish(orv_stream_t *s);
/* Releases the stream and its token strings. */
ORV_API void orv_stream_free(orv_stream_t *s);

/* ---- Whole recordings ------------------------------------------------------------------ */

/* Transcribes N samples; returns trimmed text to free(), or NULL. */
ORV_API char *orv_transcribe_samples(orv_ctx_t *ctx, const float *samples, int n);
/* Transcribes a 16-bit PCM WAV file; returns text to free(), or NULL. */
ORV_API char *orv_transcribe(orv_ctx_t *ctx, const char *wav_path);
/* Transcribes standard input (16-bit PCM WAV, or raw s16le 16 kHz mono) as it arrives. */
ORV_API char *orv_transcribe_stdin(orv_ctx_t *ctx);

/* ---- Audio input ---------------------------------------------------------------------- */

/* Reads a 16-bit PCM WAV file (format 1 or extensible PCM; a data size that is a placeholder or
 * runs past the end reads to the end) as 16 kHz mono floats (to free()); *N_OUT gets the count. */
ORV_API float *orv_load_wav(const char *path, int *n_out);
/* Reads all of standard input (WAV, or raw s16le 16 kHz mono) as 16 kHz mono floats. */
ORV_API float *orv_read_pcm_stdin(int *n_out);

/* Audio read from a file descriptor while it arrives (a pipe from a recorder, standard input). */
typedef struct orv_audio_reader_t orv_audio_reader_t;
/* Reads the start of FD: a 16-bit PCM WAV stream (any rate and channel count; a length left as
 * a placeholder by a writer that could not know it reads to the end of the input), or raw s16le
 * 16 kHz mono when it does not begin with "RIFF". NULL after a message naming the reason. */
ORV_API orv_audio_reader_t *orv_audio_reader_open(int fd);
/* Waits for the next block and points *SAMPLES at it, as 16 kHz mono floats owned by R and
 * valid until the next call. Returns the count, 0 at the end of the input, -1 after a message on
 * a read error. */
ORV_API int orv_audio_reader_read(orv_audio_reader_t *r, const float **samples);
/* Releases R; the descriptor stays open. */
ORV_API void orv_audio_reader_free(orv_audio_reader_t *r);
/* Log-mel frames [*n_frames][128] of 16 kHz samples (to free()); NULL below 160 samples. */
ORV_API float *orv_mel_spectrogram(const float *samples, int n, int *n_frames);

/* ---- GPU backend ---------------------------------------------------------------------- */

/* Starts the GPU backend; 1 when usable, 0 otherwise. Call before orv_load. */
ORV_API int orv_gpu_init(void);
/* 1 when the GPU backend is running. */
ORV_API int orv_gpu_available(void);

#ifdef __cplusplus
}
#endif

#endif /* ORVANE_H */
