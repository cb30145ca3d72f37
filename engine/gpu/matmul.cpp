// Matrix products: the tiled gemm kernels for half (and float) weights, the INT8 matrix-vector
// kernel, and the synchronous operations built from them.
#include "gpu/matmul.h"

#include <algorithm>

#include "formats/shape.h"
#include "gpu/backend.h"
#include "gpu/gpu.h"

namespace gpu {

namespace {

constexpr uint64_t kF32 = sizeof(float);
constexpr uint64_t kInt8RowsPerGroup = 8;  // rows of W per workgroup of the INT8 kernel

// Rows of a [rows][k] matrix of ELEM-byte values per binding: as many as fit, in multiples of
// 256 rows so every slice starts on an aligned offset.
uint64_t rows_per_binding(const Device& d, uint64_t k, uint64_t elem) {
  const uint64_t rows = d.max_binding() / (k * elem);
  return rows >= 256 ? rows / 256 * 256 : rows;
}

}  // namespace

void record_linear(Recorder& rec, const Buffer& x, const Buffer& w, bool w_f32, const Buffer& y,
                   int m, int n, int k, int lda) {
  if (lda == 0) lda = k;
  Kernel kernel = w_f32 ? Kernel::gemm_f32 : Kernel::gemm_f16;
  if (!w_f32 && m <= 16 && rec.pipeline(Kernel::gemm_f16_rows)) kernel = Kernel::gemm_f16_rows;
  const Pipeline* p = rec.pipeline(kernel);
  const uint64_t elem = w_f32 ? 4 : 2;
  const uint64_t slice = rows_per_binding(rec.device(), uint64_t(k), elem);
  if (!p || slice == 0) {
    rec.fail();
    return;
  }
  const uint64_t tiles_m = (uint64_t(m) + p->tile_m - 1) / p->tile_m;
  for (uint64_t n0 = 0; n0 < uint64_t(n); n0 += slice) {
    const uint64_t nc = std::min<uint64_t>(slice, uint64_t(n) - n0);
    const GemmArgs args{m, int32_t(nc), k, lda, k, n, 0, 0, int32_t(n0), 1, 1.0f};
    rec.dispatch(kernel,
                 {{&x, 0, (uint64_t(m - 1) * lda + k) * kF32},
                  {&w, n0 * k * elem, nc * k * elem},
                  {&y, 0, uint64_t(m) * n * kF32}},
                 args, tiles_m * ((nc + p->tile_n - 1) / p->tile_n));
  }
}

void record_int8_matmul(Recorder& rec, const Int8Matrix& w, const Int8Input& x, const Buffer& y,
                        uint64_t y_offset, int m, int n, int k, Int8Output out) {
  struct Args {
    int32_t k, n_param, group_size, n_base, n_chunk, rows, accumulate;
    float eps;
  };
  const uint64_t slice = rows_per_binding(rec.device(), uint64_t(k), 1);
  const uint64_t groups = uint64_t(k) / kInt8Group;
  if (slice == 0) {
    rec.fail();
    return;
  }
  const bool pairs = out == Int8Output::silu_pairs;
  Kernel kernel = Kernel::int8_matmul;
  if (pairs) kernel = x.ada.buffer ? Kernel::int8_matmul_norm_ada_silu : Kernel::int8_matmul_norm_silu;
  else if (x.norm) kernel = Kernel::int8_matmul_norm;
  if ((pairs && (!x.norm || n % 8 != 0)) || (x.ada.buffer && !pairs)) {  // variants there are no kernels for
    rec.fail();
    return;
  }
  const int width = pairs ? n / 2 : n;  // of Y
  for (uint64_t n0 = 0; n0 < uint64_t(n); n0 += slice) {
    const uint64_t nc = std::min<uint64_t>(slice, uint64_t(n) - n0);
    const Args args{k, width, int32_t(kInt8Group), int32_t(n0), int32_t(nc), m, out == Int8Output::add ? 1 : 0,
                    ORV_NORM_EPS};
    const Binding bindings[6] = {{w.weights.get(), n0 * k, nc * k},
                                 {w.scales.get(), n0 * groups * 2, nc * groups * 2},
                                 {x.x, 0, uint64_t(m) * k * kF32},
                                 {&y, y_offset, uint64_t(m) * width * kF32},
                                 {x.norm, 0, uint64_t(k) * kF32},
                                 x.ada};
    const size_t used = x.norm ? (x.ada.buffer ? 6 : 5) : 4;
    rec.dispatch(kernel, std::span(bindings, used), &args, sizeof args,
                 uint64_t(m) * ((nc + kInt8RowsPerGroup - 1) / kInt8RowsPerGroup));
  }
}

}  // namespace gpu

using gpu::Backend;
using gpu::BufferRef;
using gpu::ScratchLease;

namespace {

// Y = X * W^T with W already on the device.
int linear_op(Backend* b, int m, int n, int k, const float* x, const BufferRef& w, bool w_f32,
              float* y) {
  if (!w) return -1;
  gpu::Caches& c = *b->caches;
  ScratchLease xs(c, uint64_t(m) * k * sizeof(float)), ys(c, uint64_t(m) * n * sizeof(float));
  if (!xs || !ys) return -1;
  gpu::Recorder rec(*b->device, *b->pipelines);
  rec.upload(*xs.get(), 0, x, uint64_t(m) * k * sizeof(float));
  gpu::record_linear(rec, *xs.get(), *w, w_f32, *ys.get(), m, n, k);
  rec.download(*ys.get(), 0, y, uint64_t(m) * n * sizeof(float));
  return rec.run() ? 0 : -1;
}

bool valid_sizes(std::initializer_list<int> sizes) {
  return std::all_of(sizes.begin(), sizes.end(), [](int s) { return s > 0; });
}

}  // namespace

extern "C" {

int orv_gpu_sgemm_bf16(int m, int n, int k, const float* a, const uint16_t* w, float* c) {
  Backend* b = gpu::backend();
  if (!b || !valid_sizes({m, n, k}) || !a || !w || !c) return -1;
  return linear_op(b, m, n, k, a, b->caches->get_f16(w, uint64_t(n) * k), false, c);
}

int orv_gpu_sgemm_f32(int m, int n, int k, const float* a, const float* w, float* c) {
  Backend* b = gpu::backend();
  if (!b || !valid_sizes({m, n, k}) || !a || !w || !c) return -1;
  return linear_op(b, m, n, k, a, b->caches->get_f32(w, uint64_t(n) * k * sizeof(float)), true, c);
}

int orv_gpu_qkv(int m, int k, const float* x, const uint16_t* wq, int nq, const uint16_t* wk,
                int nk, const uint16_t* wv, int nv, float* q, float* kout, float* v) {
  Backend* b = gpu::backend();
  if (!b || !valid_sizes({m, k, nq, nk, nv}) || !x || !wq || !wk || !wv || !q || !kout || !v)
    return -1;
  // The merged [wq | wk | wv] copy the encoder pass uses: one product, then each part's columns.
  gpu::Caches& c = *b->caches;
  const BufferRef w = c.get_merged({{wq, uint64_t(nq) * k}, {wk, uint64_t(nk) * k}, {wv, uint64_t(nv) * k}});
  const int width = nq + nk + nv, n[3] = {nq, nk, nv}, offsets[3] = {0, nq, nq + nk};
  float* out[3] = {q, kout, v};
  ScratchLease xs(c, uint64_t(m) * k * sizeof(float)), all(c, uint64_t(m) * width * sizeof(float));
  ScratchLease ys[3] = {{c, uint64_t(m) * nq * sizeof(float)},
                        {c, uint64_t(m) * nk * sizeof(float)},
                        {c, uint64_t(m) * nv * sizeof(float)}};
  if (!w || !xs || !all || !ys[0] || !ys[1] || !ys[2]) return -1;
  struct Deinterleave {
    int32_t src_stride, chunk_cols, col_offset, total;
  };
  gpu::Recorder rec(*b->device, *b->pipelines);
  rec.upload(*xs.get(), 0, x, uint64_t(m) * k * sizeof(float));
  gpu::record_linear(rec, *xs.get(), *w, false, *all.get(), m, width, k);
  for (int i = 0; i < 3; i++) {
    const uint64_t total = uint64_t(m) * n[i];
    rec.dispatch_elements(gpu::Kernel::deinterleave,
                          {{all.get(), 0, uint64_t(m) * width * sizeof(float)},
                           {ys[i].get(), 0, total * sizeof(float)}},
                          Deinterleave{width, n[i], offsets[i], int32_t(total)}, total);
    rec.download(*ys[i].get(), 0, out[i], total * sizeof(float));
  }
  return rec.run() ? 0 : -1;
}

int orv_gpu_ffn(int m, int dim, int hidden, const float* x, const uint16_t* w1, const uint16_t* w3,
                const uint16_t* w2, float* y) {
  Backend* b = gpu::backend();
  if (!b || !b->shaders_compiled || !valid_sizes({m, dim, hidden}) || !x || !w1 || !w3 || !w2 || !y)
    return -1;
  gpu::Caches& c = *b->caches;
  // The merged [w1 | w3] copy the encoder pass uses: one product into [gate | up] rows, the gated
  // half of each row then feeds the down projection.
  const uint64_t n_hidden = uint64_t(m) * hidden;
  const BufferRef w13 = c.get_merged({{w1, uint64_t(hidden) * dim}, {w3, uint64_t(hidden) * dim}});
  const BufferRef g2 = c.get_f16(w2, uint64_t(dim) * hidden);
  ScratchLease xs(c, uint64_t(m) * dim * sizeof(float)), gate_up(c, 2 * n_hidden * sizeof(float)),
      ys(c, uint64_t(m) * dim * sizeof(float));
  if (!w13 || !g2 || !xs || !gate_up || !ys) return -1;
  struct SiluMul {
    int32_t hidden, total;
  };
  gpu::Recorder rec(*b->device, *b->pipelines);
  rec.upload(*xs.get(), 0, x, uint64_t(m) * dim * sizeof(float));
  gpu::record_linear(rec, *xs.get(), *w13, false, *gate_up.get(), m, 2 * hidden, dim);
  rec.dispatch_elements(gpu::Kernel::silu_mul_merged, {{gate_up.get(), 0, 2 * n_hidden * sizeof(float)}},
                        SiluMul{hidden, int32_t(n_hidden)}, n_hidden);
  gpu::record_linear(rec, *gate_up.get(), *g2, false, *ys.get(), m, dim, hidden, 2 * hidden);
  rec.download(*ys.get(), 0, y, uint64_t(m) * dim * sizeof(float));
  return rec.run() ? 0 : -1;
}

}  // extern "C"
