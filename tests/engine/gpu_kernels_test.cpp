// Every GPU kernel and operation against the CPU kernels (or a plain reference) on sizes that are
// not multiples of any workgroup size, with outputs poisoned so unwritten elements show. Error
// bounds: float arithmetic 1e-5 relative, half weights 1e-3, INT8 weights 1e-2.
#include <gtest/gtest.h>

#include <array>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <list>
#include <vector>

#include "gpu/backend.h"
#include "gpu/block_attention.h"
#include "gpu/gpu.h"
#include "gpu/matmul.h"
#include "gpu_env.h"
#include "kernel_check.h"
#include "kernels/int8_weights.h"
#include "kernels/kernels.h"

namespace {

using gpu::Kernel;
using Floats = std::vector<float>;

const auto* const g_env = ::testing::AddGlobalTestEnvironment(new GpuEnvironment);

gpu::Backend& be() { return *gpu::backend(); }

// Relative error against the larger of |want| and FLOOR.
void expect_close(const Floats& got, const Floats& want, double tol, double floor = 1.0,
                  const char* what = "") {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); i++)
    ASSERT_LE(std::fabs(double(got[i]) - want[i]), tol * std::max(floor, std::fabs(double(want[i]))))
        << what << " element " << i << ": " << got[i] << " vs " << want[i];
}

// Uploads the arrays, runs kernel K over them and reads every array back.
template <typename Args>
bool run(Kernel k, std::initializer_list<Floats*> arrays, const Args& args, uint64_t groups) {
  std::vector<gpu::BufferRef> bufs;
  for (Floats* a : arrays) bufs.push_back(gpu::Buffer::create(*be().device, a->size() * 4, gpu::Memory::device));
  gpu::Recorder rec(*be().device, *be().pipelines);
  size_t i = 0;
  for (Floats* a : arrays) rec.upload(*bufs[i++], 0, a->data(), a->size() * 4);
  std::vector<gpu::Binding> b;
  for (auto& buf : bufs) b.push_back({buf.get(), 0, 0});
  switch (b.size()) {
    case 1: rec.dispatch(k, {b[0]}, args, groups); break;
    case 2: rec.dispatch(k, {b[0], b[1]}, args, groups); break;
    case 3: rec.dispatch(k, {b[0], b[1], b[2]}, args, groups); break;
    default: rec.dispatch(k, {b[0], b[1], b[2], b[3]}, args, groups); break;
  }
  i = 0;
  for (Floats* a : arrays) rec.download(*bufs[i++], 0, a->data(), a->size() * 4);
  return rec.run();
}

uint64_t groups_of(uint64_t n, uint64_t width = 256) { return (n + width - 1) / width; }

TEST(GpuKernels, elementwise_kernels_match_the_cpu) {
  constexpr int n = 1001;
  struct N { int32_t n; };
  const Floats x = random_floats(n, 1, -6, 6), y = random_floats(n, 2);
  Floats g = x, want = x;
  ASSERT_TRUE(run(Kernel::silu, {&g}, N{n}, groups_of(n)));
  orv_silu(want.data(), n);
  expect_close(g, want, 1e-5, 1e-3, "silu");
  g = want = x;
  ASSERT_TRUE(run(Kernel::gelu, {&g}, N{n}, groups_of(n)));
  orv_gelu(want.data(), n);
  expect_close(g, want, 1e-5, 0.1, "gelu");
  Floats b = y;
  g = want = x;
  ASSERT_TRUE(run(Kernel::add_inplace, {&g, &b}, N{n}, groups_of(n)));
  orv_add_inplace(want.data(), y.data(), n);
  expect_close(g, want, 1e-6, 1.0, "add");
  g = want = x;
  ASSERT_TRUE(run(Kernel::mul_inplace, {&g, &b}, N{n}, groups_of(n)));
  orv_mul_inplace(want.data(), y.data(), n);
  expect_close(g, want, 1e-6, 1.0, "mul");

  // Row-broadcast kernels over 7 rows of 143.
  struct Stride { int32_t a, b; };
  g = want = x;
  ASSERT_TRUE(run(Kernel::ada_scale_mul, {&g, &b}, Stride{n, 143}, groups_of(n)));
  for (int i = 0; i < n; i++) want[i] = x[i] * (1 + y[i % 143]);
  expect_close(g, want, 1e-6, 1.0, "ada_scale_mul");
  g = want = x;
  ASSERT_TRUE(run(Kernel::bias_add, {&g, &b}, Stride{143, n}, groups_of(n)));
  for (int i = 0; i < n; i++) want[i] = x[i] + y[i % 143];
  expect_close(g, want, 1e-6, 1.0, "bias_add");

  // silu_mul_merged: 3 rows of [gate(150) | up(150)]; the up halves stay as they were.
  Floats merged = random_floats(900, 3), m_want = merged;
  ASSERT_TRUE(run(Kernel::silu_mul_merged, {&merged}, Stride{150, 450}, groups_of(450)));
  for (int r = 0; r < 3; r++) {
    orv_silu(&m_want[r * 300], 150);
    orv_mul_inplace(&m_want[r * 300], &m_want[r * 300 + 150], 150);
  }
  expect_close(merged, m_want, 1e-5, 1e-3, "silu_mul_merged");
}

TEST(GpuKernels, copy_kernels_write_exactly_their_range) {
  struct Two { int32_t a, b; };
  const Floats data = random_floats(77, 4);
  Floats d = data;
  for (Kernel k : {Kernel::kv_cache_copy, Kernel::batched_kv_cache_copy}) {
    Floats cache = nan_filled(300);
    ASSERT_TRUE(run(k, {&cache, &d}, Two{101, 77}, 1));
    for (int i = 0; i < 300; i++) {
      if (i >= 101 && i < 178) ASSERT_EQ(cache[i], data[i - 101]);
      else ASSERT_TRUE(std::isnan(cache[i])) << i;
    }
  }
  // deinterleave: columns 5..24 of 9 rows of 33.
  struct Four { int32_t src_stride, chunk_cols, col_offset, total; };
  Floats src = random_floats(9 * 33, 5), dst = nan_filled(9 * 20);
  ASSERT_TRUE(run(Kernel::deinterleave, {&src, &dst}, Four{33, 20, 5, 180}, 1));
  for (int r = 0; r < 9; r++)
    for (int c = 0; c < 20; c++) ASSERT_EQ(dst[r * 20 + c], src[r * 33 + 5 + c]);
}

TEST(GpuKernels, rotations_match_the_cpu) {
  constexpr int seq = 5, heads = 3, hd = 18;
  std::vector<int32_t> pos = {0, 7, 8, 300, 9999};
  Floats table(seq * hd);
  orv_rope_freqs(table.data(), pos.data(), seq, hd, 1e6f);
  const Floats x = random_floats(seq * heads * hd, 6);
  Floats g = x, want = x;
  struct Three { int32_t n_heads, head_dim, seq_len; };
  ASSERT_TRUE(run(Kernel::batched_rope_apply, {&g, &table}, Three{heads, hd, seq}, 1));
  orv_apply_rope(want.data(), table.data(), seq, heads, hd);
  expect_close(g, want, 1e-5, 1.0, "batched_rope_apply");
  // rope_apply: one position (row 3 of the table).
  Floats row(table.begin() + 3 * hd, table.begin() + 4 * hd), one(x.begin(), x.begin() + heads * hd);
  Floats one_want = one;
  ASSERT_TRUE(run(Kernel::rope_apply, {&one, &row}, Three{heads, hd, 0}, 1));
  orv_apply_rope(one_want.data(), row.data(), 1, heads, hd);
  expect_close(one, one_want, 1e-5, 1.0, "rope_apply");

  // rope_kv_store: [q | k | v] rows (one key/value head) into rotated queries, and keys and values
  // into cache rows 2 .. 6 of a half copy and of its host array, whose other rows stay untouched.
  constexpr int q_dim = heads * hd, width = q_dim + 2 * hd, first = 2, cache_rows = 9;
  const Floats qkv = random_floats(seq * width, 7);
  auto dev = [&](uint64_t bytes) { return gpu::Buffer::create(*be().device, bytes, gpu::Memory::device); };
  const gpu::BufferRef qkv_b = dev(qkv.size() * 4), table_b = dev(table.size() * 4), q_b = dev(seq * q_dim * 4),
                       kh = dev(cache_rows * hd * 2), vh = dev(cache_rows * hd * 2), kf = dev(cache_rows * hd * 4),
                       vf = dev(cache_rows * hd * 4);
  const Floats nans = nan_filled(cache_rows * hd);
  const int32_t step[5] = {0, 0, 0, 0, first * hd / 2};  // the StepArgs: the first cache row
  const gpu::BufferRef step_b = dev(sizeof step);
  gpu::Recorder rec(*be().device, *be().pipelines);
  rec.upload(*step_b, 0, step, sizeof step);
  rec.upload(*qkv_b, 0, qkv.data(), qkv.size() * 4);
  rec.upload(*table_b, 0, table.data(), table.size() * 4);
  for (const gpu::BufferRef& f : {kf, vf}) rec.upload(*f, 0, nans.data(), nans.size() * 4);
  struct Store { int32_t q_pairs, kv_pairs, head_pairs, rows; };
  rec.dispatch_elements(Kernel::rope_kv_store,
                        {{qkv_b.get()}, {table_b.get()}, {q_b.get()}, {kh.get()}, {vh.get()}, {kf.get()}, {vf.get()},
                         {step_b.get()}},
                        Store{q_dim / 2, hd / 2, hd / 2, seq}, uint64_t(seq) * (q_dim / 2 + hd));
  Floats q_got = nan_filled(seq * q_dim), k_got = nans, v_got = nans;
  std::vector<uint16_t> k_half(cache_rows * hd);
  rec.download(*q_b, 0, q_got.data(), q_got.size() * 4);
  rec.download(*kf, 0, k_got.data(), k_got.size() * 4);
  rec.download(*vf, 0, v_got.data(), v_got.size() * 4);
  rec.download(*kh, 0, k_half.data(), k_half.size() * 2);
  ASSERT_TRUE(rec.run());
  Floats q_want(seq * q_dim), k_want(seq * hd), v_want(seq * hd);
  for (int r = 0; r < seq; r++) {
    std::copy_n(&qkv[r * width], q_dim, &q_want[r * q_dim]);
    std::copy_n(&qkv[r * width + q_dim], hd, &k_want[r * hd]);
    std::copy_n(&qkv[r * width + q_dim + hd], hd, &v_want[r * hd]);
  }
  orv_apply_rope(q_want.data(), table.data(), seq, heads, hd);
  orv_apply_rope(k_want.data(), table.data(), seq, 1, hd);
  expect_close(q_got, q_want, 1e-5, 1.0, "rope_kv_store's queries");
  for (int i = 0; i < cache_rows * hd; i++) {
    const int at = i / hd - first;  // row of the block
    if (at < 0 || at >= seq) {
      ASSERT_TRUE(std::isnan(k_got[i]) && std::isnan(v_got[i])) << "row " << i / hd << " written";
      continue;
    }
    const float k_i = k_want[at * hd + i % hd], v_i = v_want[at * hd + i % hd];
    ASSERT_NEAR(k_got[i], k_i, 1e-3 * std::max(1.0f, std::fabs(k_i)));
    ASSERT_NEAR(v_got[i], v_i, 1e-3 * std::max(1.0f, std::fabs(v_i)));
    ASSERT_EQ(orv_f16_to_f32(k_half[i]), k_got[i]) << "the host row is not the cache's half";
  }
}

TEST(GpuKernels, rms_norm_matches_the_cpu) {
  constexpr int rows = 3, hidden = 1000;
  Floats x = random_floats(rows * hidden, 7, -3, 3), w = random_floats(hidden, 8), y = nan_filled(rows * hidden);
  Floats want(rows * hidden);
  struct Args { int32_t hidden; float eps; int32_t rows; };
  ASSERT_TRUE(run(Kernel::rms_norm, {&x, &w, &y}, Args{hidden, 1e-5f, rows}, rows));
  orv_rms_norm(want.data(), x.data(), w.data(), rows, hidden, 1e-5f);
  expect_close(y, want, 1e-5, 1e-2, "rms_norm");
}

// Ties go to the lower thread's candidate: thread t scans t, t + 256, ...
TEST(GpuKernels, argmax_tie_rule) {
  struct N { int32_t n; };
  auto argmax = [](Floats data) {
    Floats out = nan_filled(1);
    EXPECT_TRUE(run(Kernel::argmax_f32, {&data, &out}, N{int32_t(data.size())}, 1));
    int32_t at;
    std::memcpy(&at, out.data(), 4);
    return at;
  };
  Floats d(1000, -1.0f);
  d[44] = d[300] = 5;  // both scanned by thread 44: its first
  EXPECT_EQ(argmax(d), 44);
  d.assign(1000, -1.0f);
  d[1] = d[256] = 5;  // thread 0 holds 256, thread 1 holds 1: the lower thread wins
  EXPECT_EQ(argmax(d), 256);
  d.assign(300, -INFINITY);
  EXPECT_EQ(argmax(d), 0);
  d[299] = 1;
  EXPECT_EQ(argmax(d), 299);
}

TEST(GpuKernels, causal_softmax_keeps_the_window) {
  constexpr int heads = 2, seq_q = 3, seq_k = 300, q_offset = 290;
  for (int window : {0, 5}) {
    const Floats s = random_floats(heads * seq_q * seq_k, 9, -4, 4);
    Floats g = s;
    struct Args { int32_t seq_q, seq_k, window, q_offset, rows; };
    ASSERT_TRUE(run(Kernel::causal_softmax, {&g}, Args{seq_q, seq_k, window, q_offset, heads * seq_q}, heads * seq_q));
    for (int r = 0; r < heads * seq_q; r++) {
      const int q_pos = q_offset + r % seq_q, first = window > 0 ? q_pos - window + 1 : 0;
      Floats want(seq_k, 0.0f);
      std::copy(s.begin() + r * seq_k + first, s.begin() + r * seq_k + q_pos + 1, want.begin() + first);
      orv_softmax(want.data() + first, 1, q_pos + 1 - first);
      expect_close(Floats(g.begin() + r * seq_k, g.begin() + (r + 1) * seq_k), want, 1e-5, 1e-3, "softmax");
    }
  }
}

struct AttnCase {
  int seq_q, seq_k, heads, kv_heads, head_dim, window, q_offset;
};

Floats cpu_attention(const AttnCase& c, const Floats& q, const Floats& k, const Floats& v) {
  Floats out(q.size());
  orv_attention(out.data(), q.data(), k.data(), v.data(), c.seq_q, c.seq_k, c.heads, c.kv_heads, c.head_dim,
                c.window, c.q_offset, 1.0f / std::sqrt(float(c.head_dim)));
  return out;
}

TEST(GpuKernels, attention_kernels_and_operations_match_the_cpu) {
  // Grouped heads, a window that cuts, queries not a multiple of 8, head_dim below the workgroup;
  // the last two spread their keys over workgroups (one split past the first block's keys).
  for (const AttnCase c : {AttnCase{13, 40, 4, 2, 24, 10, 27}, AttnCase{1, 1, 2, 2, 128, 0, 0},
                           AttnCase{9, 9, 3, 1, 64, 0, 0}, AttnCase{5, 800, 4, 2, 64, 750, 795},
                           AttnCase{40, 300, 3, 1, 24, 0, 260}}) {
    const Floats q = random_floats(size_t(c.seq_q) * c.heads * c.head_dim, 10, -2, 2);
    const Floats k = random_floats(size_t(c.seq_k) * c.kv_heads * c.head_dim, 11);
    const Floats v = random_floats(size_t(c.seq_k) * c.kv_heads * c.head_dim, 12);
    const Floats want = cpu_attention(c, q, k, v);
    const float scale = 1.0f / std::sqrt(float(c.head_dim));
    const gpu::BlockAttention block{c.heads, c.kv_heads, c.head_dim, c.seq_q, c.seq_k, scale, c.window, c.q_offset};
    EXPECT_EQ(gpu::split_attention(block).splits > 1, c.seq_k >= 300);
    Floats out = nan_filled(q.size());
    ASSERT_EQ(orv_gpu_encoder_attention(out.data(), q.data(), k.data(), v.data(), c.seq_q, c.seq_k, c.heads,
                                        c.kv_heads, c.head_dim, scale, c.window, c.q_offset), 0);
    expect_close(out, want, 1e-5, 0.1, "encoder_attention");
    out = nan_filled(q.size());
    ASSERT_EQ(orv_gpu_attention(out.data(), q.data(), k.data(), v.data(), c.seq_q, c.seq_k, c.heads, c.kv_heads,
                                c.head_dim, scale, c.window, c.q_offset), 0);
    expect_close(out, want, 1e-5, 0.1, "attention");
  }
  // decoder_attention: one query at q_pos against the cache rows.
  const AttnCase c{1, 50, 4, 2, 100, 7, 45};
  const int kv_dim = c.kv_heads * c.head_dim;
  Floats q = random_floats(c.heads * c.head_dim, 13), k = random_floats(c.seq_k * kv_dim, 14),
         v = random_floats(c.seq_k * kv_dim, 15), out = nan_filled(q.size());
  struct Args { int32_t n_heads, n_kv_heads, head_dim, kv_dim, seq_k; float scale; int32_t window, q_pos; };
  ASSERT_TRUE(run(Kernel::decoder_attention, {&q, &k, &v, &out},
                  Args{c.heads, c.kv_heads, c.head_dim, kv_dim, c.seq_k, 0.1f, c.window, c.q_offset}, c.heads));
  Floats want(q.size());
  orv_attention(want.data(), q.data(), k.data(), v.data(), 1, c.seq_k, c.heads, c.kv_heads, c.head_dim, c.window,
                c.q_offset, 0.1f);
  expect_close(out, want, 1e-5, 0.1, "decoder_attention");
}

// The step's attention over half-precision cache rows: keys spread over many workgroups (the last
// of them past the final key, so it sees none, and more dispatched than the step uses) and merged; the rows reach half precision through
// the conversion kernel, or with their host copy through the store kernel.
TEST(GpuKernels, split_attention_over_half_caches_matches_the_cpu) {
  const AttnCase c{1, 700, 8, 2, 64, 600, 690};
  const int kv_dim = c.kv_heads * c.head_dim, split = 48, splits = (c.window + split - 1) / split + 1;
  const uint64_t n = uint64_t(c.seq_k) * kv_dim;
  const Floats q = random_floats(size_t(c.heads) * c.head_dim, 16, -2, 2), k = random_floats(n, 17),
               v = random_floats(n, 18);
  auto dev = [&](uint64_t bytes) { return gpu::Buffer::create(*be().device, bytes, gpu::Memory::device); };
  const gpu::BufferRef qb = dev(q.size() * 4), kf = dev(n * 4), vf = dev(n * 4), kh = dev(n * 2),
                       vh = dev(n * 2), back = dev(n * 4), ob = dev(q.size() * 4),
                       part = dev(uint64_t(c.heads) * splits * (c.head_dim + 2) * 4);
  gpu::Recorder rec(*be().device, *be().pipelines);
  rec.upload(*qb, 0, q.data(), q.size() * 4);
  rec.upload(*kf, 0, k.data(), n * 4);
  rec.upload(*vf, 0, v.data(), n * 4);
  struct Convert { int32_t dst_offset, src_offset, pairs; } convert{0, 0, int32_t(n / 2)};
  rec.dispatch_elements(Kernel::kv_store, {{kh.get()}, {back.get()}, {kf.get()}}, convert, n / 2);
  rec.dispatch_elements(Kernel::kv_to_half, {{vh.get()}, {vf.get()}}, convert, n / 2);
  const int32_t step[5] = {c.q_offset, c.seq_k, split, splits, 0};  // the StepArgs
  const gpu::BufferRef step_b = dev(sizeof step);
  rec.upload(*step_b, 0, step, sizeof step);
  struct Args {
    int32_t n_heads, n_kv_heads, head_dim, kv_dim;
    float scale;
    int32_t window, groups;
  };
  rec.dispatch(Kernel::decoder_attention_split, {{qb.get()}, {kh.get()}, {vh.get()}, {part.get()}, {step_b.get()}},
               Args{c.heads, c.kv_heads, c.head_dim, kv_dim, 0.125f, c.window, splits + 3},
               uint64_t(c.kv_heads) * (splits + 3));
  struct Merge { int32_t n_heads, head_dim; };
  rec.dispatch(Kernel::attention_merge_step, {{part.get()}, {ob.get()}, {step_b.get()}}, Merge{c.heads, c.head_dim},
               c.heads);
  // The block kernel over the same half rows, its keys split as well.
  const gpu::BufferRef block_out = dev(q.size() * 4);
  gpu::record_block_attention(rec, *be().caches, Kernel::encoder_attention_kv16,
                              {c.heads, c.kv_heads, c.head_dim, 1, c.seq_k, 0.125f, c.window, c.q_offset},
                              {qb.get()}, {kh.get()}, {vh.get()}, {block_out.get()});
  Floats out = nan_filled(q.size()), k_back = nan_filled(n), block = nan_filled(q.size());
  rec.download(*ob, 0, out.data(), out.size() * 4);
  rec.download(*block_out, 0, block.data(), block.size() * 4);
  rec.download(*back, 0, k_back.data(), n * 4);
  ASSERT_TRUE(rec.run());
  expect_close(k_back, k, 1e-3, 1e-3, "kv_store's host rows");
  Floats want(q.size());
  orv_attention(want.data(), q.data(), k.data(), v.data(), 1, c.seq_k, c.heads, c.kv_heads, c.head_dim, c.window,
                c.q_offset, 0.125f);
  expect_close(out, want, 2e-3, 0.1, "decoder_attention_split");
  expect_close(block, want, 2e-3, 0.1, "encoder_attention_kv16");
}

// Weights live at fixed addresses, as in the mapped weight file: the device caches are keyed by
// address, so a freed test array whose address came back would hit an old entry.
template <typename T>
const std::vector<T>& kept(std::vector<T> v) {
  static std::list<std::vector<T>> store;
  return store.emplace_back(std::move(v));
}

// The weights as the GPU sees them: BF16 rounded to half (values below half's range flush).
Floats widened(const std::vector<uint16_t>& w) {
  Floats f(w.size());
  for (size_t i = 0; i < w.size(); i++) f[i] = orv_bf16_to_f32(w[i]);
  return f;
}

TEST(GpuMatmul, products_match_the_cpu_at_awkward_sizes) {
  for (int m : {1, 17, 70}) {
    constexpr int n = 130, k = 100;
    const Floats x = random_floats(size_t(m) * k, 20 + m);
    const auto& w = kept(random_bf16(size_t(n) * k, 30 + m));
    const Floats& wf = kept(widened(w));
    Floats want(size_t(m) * n), got = nan_filled(want.size());
    orv_linear(want.data(), x.data(), wf.data(), nullptr, m, k, n);
    ASSERT_EQ(orv_gpu_sgemm_bf16(m, n, k, x.data(), w.data(), got.data()), 0) << m;
    expect_close(got, want, 1e-3, 1.0, "sgemm_bf16");
    got = nan_filled(want.size());
    ASSERT_EQ(orv_gpu_sgemm_f32(m, n, k, x.data(), wf.data(), got.data()), 0) << m;
    expect_close(got, want, 1e-5, 1.0, "sgemm_f32");
  }
}

TEST(GpuMatmul, qkv_and_ffn_match_the_cpu_composition) {
  constexpr int m = 19, dim = 72, hidden = 136, nkv = 40;
  const Floats x = random_floats(m * dim, 40);
  const auto &wq = kept(random_bf16(dim * dim, 41)), &wk = kept(random_bf16(nkv * dim, 42)),
             &wv = kept(random_bf16(nkv * dim, 43));
  Floats q = nan_filled(m * dim), k = nan_filled(m * nkv), v = nan_filled(m * nkv);
  ASSERT_EQ(orv_gpu_qkv(m, dim, x.data(), wq.data(), dim, wk.data(), nkv, wv.data(), nkv, q.data(), k.data(), v.data()), 0);
  Floats want(m * dim);
  orv_linear(want.data(), x.data(), widened(wq).data(), nullptr, m, dim, dim);
  expect_close(q, want, 1e-3, 1.0, "q");
  want.resize(m * nkv);
  orv_linear(want.data(), x.data(), widened(wv).data(), nullptr, m, dim, nkv);
  expect_close(v, want, 1e-3, 1.0, "v");

  const auto &w1 = kept(random_bf16(hidden * dim, 44)), &w3 = kept(random_bf16(hidden * dim, 45)),
             &w2 = kept(random_bf16(dim * hidden, 46));
  Floats y = nan_filled(m * dim), gate(m * hidden), up(m * hidden), y_want(m * dim);
  ASSERT_EQ(orv_gpu_ffn(m, dim, hidden, x.data(), w1.data(), w3.data(), w2.data(), y.data()), 0);
  orv_linear(gate.data(), x.data(), widened(w1).data(), nullptr, m, dim, hidden);
  orv_linear(up.data(), x.data(), widened(w3).data(), nullptr, m, dim, hidden);
  orv_silu(gate.data(), m * hidden);
  orv_mul_inplace(gate.data(), up.data(), m * hidden);
  orv_linear(y_want.data(), gate.data(), widened(w2).data(), nullptr, m, hidden, dim);
  expect_close(y, y_want, 1e-3, 1.0, "ffn");
}

// Rows that leave a workgroup part-filled, an odd number of scale groups per row, and an input
// longer than the kernel's shared-memory chunk (4096 values) that does not end on a chunk: the
// matrix merged from two parts, the product added to what the output held; the input
// RMS-normalised first; and gate and up rows interleaved into silu(gate) * up, after the norm
// with and without the conditioning scale.
TEST(GpuMatmul, int8_product_matches_the_dequantised_weights) {
  for (const auto [m, n, k] : {std::array{3, 37, 384}, std::array{2, 9, 4480}}) {
    SCOPED_TRACE("k " + std::to_string(k));
    const int n_first = n / 3, pairs = 4 * (n / 8);  // gate rows: the first PAIRS, up rows: the next
    const auto& w = kept(random_bf16(size_t(n) * k, 50));
    const auto& w_rest = kept(std::vector<uint16_t>(w.begin() + size_t(n_first) * k, w.end()));
    const auto& up = kept(std::vector<uint16_t>(w.begin() + size_t(pairs) * k, w.begin() + size_t(2 * pairs) * k));
    std::vector<int8_t> q(size_t(n) * k);
    std::vector<uint16_t> scales(size_t(n) * k / 128);
    orv_int8_quantize(w.data(), n, k, q.data(), scales.data());
    auto rows = [&](int first, int count) {  // rows FIRST .. of the quantised matrix, quantised by row
      return orv_int8_matrix_t{q.data() + size_t(first) * k, scales.data() + size_t(first) * (k / 128), count, k};
    };
    gpu::Int8Matrix merged, gate_up;
    ASSERT_TRUE(be().caches->int8_upload({{w.data(), rows(0, n_first)}, {w_rest.data(), rows(n_first, n - n_first)}},
                                         &merged));
    ASSERT_TRUE(be().caches->int8_upload({{w.data(), rows(0, pairs)}, {up.data(), rows(pairs, pairs)}}, &gate_up, true));
    const Floats x = random_floats(size_t(m) * k, 51), norm = random_floats(k, 52), ada = random_floats(k, 53);
    const Floats before = random_floats(size_t(m) * n, 54);
    auto dev = [&](const Floats& f) {
      gpu::BufferRef b = gpu::Buffer::create(*be().device, f.size() * 4 + 64, gpu::Memory::device);
      EXPECT_TRUE(gpu::write_buffer(*be().device, *be().pipelines, *b, 0, f.data(), f.size() * 4));
      return b;
    };
    const gpu::BufferRef xs = dev(x), norm_b = dev(norm), ada_b = dev(ada);
    enum Mode { add, rms, silu, silu_ada };
    for (Mode mode : {add, rms, silu, silu_ada}) {
      SCOPED_TRACE("mode " + std::to_string(int(mode)));
      Floats in = x;  // the input rows the product sees, as the CPU computes them
      if (mode != add) {
        orv_rms_norm(in.data(), x.data(), norm.data(), m, k, 1e-5f);
        if (mode == silu_ada)
          for (size_t i = 0; i < in.size(); i++) in[i] *= 1 + ada[i % k];
      }
      auto row_dot = [&](int r, int c) {
        double s = 0;
        for (int i = 0; i < k; i++) {
          const uint32_t h = scales[size_t(c) * (k / 128) + i / 128];
          const double scale = std::ldexp(1.0 + (h & 0x3FF) / 1024.0, int((h >> 10) & 0x1F) - 15);
          s += double(in[size_t(r) * k + i]) * q[size_t(c) * k + i] * ((h & 0x7C00) ? scale : 0.0);
        }
        return s;
      };
      const bool pairwise = mode == silu || mode == silu_ada;
      const int width = pairwise ? pairs : n;
      Floats want = mode == add ? before : Floats(size_t(m) * width, 0.0f);
      for (int r = 0; r < m; r++)
        for (int c = 0; c < width; c++) {
          const double g = row_dot(r, c);
          want[size_t(r) * width + c] += float(pairwise ? g / (1 + std::exp(-g)) * row_dot(r, pairs + c) : g);
        }
      const gpu::BufferRef ys = dev(mode == add ? before : nan_filled(want.size()));
      gpu::Int8Input input(*xs);
      if (mode != add) input.norm = norm_b.get();
      if (mode == silu_ada) input.ada = {ada_b.get(), 0, uint64_t(k) * 4};
      const gpu::Int8Output out = mode == add ? gpu::Int8Output::add
                                  : pairwise  ? gpu::Int8Output::silu_pairs
                                              : gpu::Int8Output::store;
      Floats got = nan_filled(want.size());
      gpu::Recorder rec(*be().device, *be().pipelines);
      gpu::record_int8_matmul(rec, pairwise ? gate_up : merged, input, *ys, 0, m, pairwise ? 2 * pairs : n, k, out);
      rec.download(*ys, 0, got.data(), got.size() * 4);
      ASSERT_TRUE(rec.run());
      expect_close(got, want, 1e-2, 1.0, "int8_matmul");
    }
  }
}

}  // namespace
