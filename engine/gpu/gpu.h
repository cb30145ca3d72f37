// The GPU backend's entry points used inside the engine. orv_gpu_init and orv_gpu_available are
// public (orvane.h). Every operation waits for the GPU before it returns.
#ifndef ORVANE_GPU_H
#define ORVANE_GPU_H

#include <stddef.h>
#include <stdint.h>

#include "orvane.h"

#ifdef __cplusplus
extern "C" {
#endif

// Releases everything the backend holds; orv_gpu_available() is 0 afterwards and orv_gpu_init
// may start it again. Pointers from orv_gpu_shared_alloc become invalid: free them first.
void orv_gpu_shutdown(void);

// Zeroed host-visible memory the GPU passes can use; NULL on failure. Falls back to plain heap
// memory while no backend runs or all shared slots are taken. Release with orv_gpu_shared_free,
// which also accepts NULL.
void *orv_gpu_shared_alloc(size_t bytes);
void orv_gpu_shared_free(void *ptr);

// GPU forms of the engine's heavy work. Each returns 0 (or a token id) when it did the work, and a
// negative value when it declined, in which case its outputs are untouched and the caller runs
// its CPU path on the same input. Weights are given by the address of their BF16 data, which is
// also the key of their device copy.

// C[M][N] = A[M][K] * W[N][K]^T with BF16 W.
int orv_gpu_sgemm_bf16(int m, int n, int k, const float *a, const uint16_t *w, float *c);
// The same with float W (copied to the device once, keyed by address and size).
int orv_gpu_sgemm_f32(int m, int n, int k, const float *a, const float *w, float *c);
// Q, K, V [M][Nq|Nk|Nv] = X[M][K] times the three BF16 weights, in one submission, no biases.
int orv_gpu_qkv(int m, int k, const float *x, const uint16_t *wq, int nq, const uint16_t *wk,
                int nk, const uint16_t *wv, int nv, float *q, float *kout, float *v);
// Y[M][dim] = (silu(X W1^T) * (X W3^T)) W2^T; W1, W3 [hidden][dim], W2 [dim][hidden].
int orv_gpu_ffn(int m, int dim, int hidden, const float *x, const uint16_t *w1,
                const uint16_t *w3, const uint16_t *w2, float *y);
// Causal sliding-window attention, the same contract as orv_attention (kernels.h) with
// head_dim <= 128: the tiled kernel, eight queries per workgroup.
int orv_gpu_encoder_attention(float *out, const float *q, const float *k, const float *v,
                              int seq_q, int seq_k, int n_heads, int n_kv_heads,
                              int head_dim, float scale, int window_size, int q_offset);
// The same through a stored score matrix: products, then a masked softmax, then products.
int orv_gpu_attention(float *out, const float *q, const float *k, const float *v,
                      int seq_q, int seq_k, int n_heads, int n_kv_heads, int head_dim,
                      float scale, int window_size, int q_offset);

// Bytes the backend's tables hold on the device: weight copies (half, merged, float, INT8), the
// scratch pool, the key/value cache copies of the passes, their recorded steps and their inputs.
uint64_t orv_gpu_memory_bytes(void);
// Bytes of device memory allocated and not yet freed, counted at each allocation: equal to
// orv_gpu_memory_bytes() while no operation runs, unless a full table left copies unrecorded.
uint64_t orv_gpu_allocated_bytes(void);
// Kernel dispatches in the last decoder step (0 before the first).
int orv_gpu_step_dispatches(void);
// The last decoder step's barriers, buffer copies and descriptor writes (each 0 before the first;
// descriptors are written only by a step that records the stream's step, the rest replay it).
typedef struct {
  int barriers, copies, descriptor_writes;
} orv_gpu_step_work_t;
orv_gpu_step_work_t orv_gpu_step_work(void);
// Device-to-device copy bandwidth in GB/s (bytes read plus written), measured now; 0 without a
// backend.
double orv_gpu_copy_bandwidth_gbs(void);

#ifdef __cplusplus
}

#include "base/block_memory.h"
#include "gpu/views.h"

// orv_gpu_shared_alloc and orv_gpu_shared_free as the memory of a cache the passes can use.
inline BlockMemory orv_gpu_cache_memory() {
  return {orv_gpu_shared_alloc, orv_gpu_shared_free, true};
}

// Load-time warm-up of a loaded model: converts the encoder and adapter weights, uploads INT8
// (the decoder's matrices and the token embedding, when the model has that form; may be null),
// uploads the small vectors and builds the products' first submissions, with its verbose lines.
void orv_gpu_prewarm(const GpuModelWeights &model, const orv_int8_table_t *int8);
// Drops the device copies of MODEL's weights. Called before the weights go: the copies are keyed
// by address, and a later model may get the same addresses for other data.
void orv_gpu_release_model(const GpuModelWeights &model);

// The fused passes: each is one submission with one wait, over a stream's key/value cache whose
// arrays came from orv_gpu_shared_alloc (a pass declines for other caches). The caller makes room
// in the cache first, and advances its length by N when a pass succeeds; a declined pass has
// written nothing the CPU path would not write again. Passes of streams on several threads run
// one at a time.
// Every encoder layer and the final norm over X [n][enc dim] in place, writing cache rows
// len .. len + n - 1. ROPE is the rotary table of the n positions.
int orv_gpu_encoder_pass(const GpuEncoderWeights &w, const GpuKvView &cache, float *x, int n,
                         const float *rope);
// Every decoder layer over X [n][dec dim] with INT8 weights, writing n cache rows.
int orv_gpu_decoder_prefill(const GpuDecoderWeights &w, const GpuKvView &cache, const float *x,
                            int n, const float *rope);
// One decoder position for input X [dec dim] with INT8 weights: writes its cache row and returns
// the greedy token id. Only the id leaves the device unless LOGITS (vocab floats) is given.
int orv_gpu_decoder_step(const GpuDecoderWeights &w, const GpuKvView &cache, const float *x,
                         const float *rope, float *logits);
#endif

#endif
