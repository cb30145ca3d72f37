// The views of a context's weights and of a stream's caches that the GPU backend takes.
#ifndef ORVANE_GPU_WEIGHTS_H
#define ORVANE_GPU_WEIGHTS_H

#include "gpu/views.h"
#include "network/kv_cache.h"
#include "orvane.h"

GpuEncoderWeights gpu_encoder_weights(const orv_ctx_t& ctx);
GpuDecoderWeights gpu_decoder_weights(const orv_ctx_t& ctx);
GpuModelWeights gpu_model_weights(const orv_ctx_t& ctx);
GpuKvView gpu_kv_view(KvCache& cache);

#endif
