// The GPU backend's exact rules and tables (INT8 upload, scratch pool,
// cache capacities, shared allocations, device acceptance) and how it fails: a shader that does
// not compile, an allocation the device refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "context_ptr.h"
#include "gpu/backend.h"
#include "gpu/gpu.h"
#include "gpu_env.h"
#include "kernel_check.h"
#include "kernels/int8_weights.h"
#include "kernels/kernels.h"
#include "speech.h"

namespace {

const auto* const g_env = ::testing::AddGlobalTestEnvironment(new GpuEnvironment);

gpu::Caches& caches() { return *gpu::backend()->caches; }

// Arrays at addresses that are never reused while the program runs (the caches key on them).
std::vector<uint16_t>& kept_bf16(size_t n, uint32_t seed) {
  static std::list<std::vector<uint16_t>> store;
  return store.emplace_back(random_bf16(n, seed));
}

// Runs first: it counts on an empty pool.
TEST(GpuScratch, pool_rounds_requests_and_reuses_a_buffer_only_once_nothing_holds_it) {
  ASSERT_EQ(caches().scratch_entries(), 0u);
  EXPECT_EQ(gpu::scratch_capacity(100), 65536u);
  EXPECT_EQ(gpu::scratch_capacity(65537), 131072u);
  EXPECT_EQ(gpu::scratch_capacity(1048575), 1048576u);
  EXPECT_EQ(gpu::scratch_capacity(1048577), 2097152u);
  gpu::BufferRef a = caches().scratch_acquire(100), b = caches().scratch_acquire(100);
  ASSERT_TRUE(a && b);
  EXPECT_NE(a, b);
  EXPECT_EQ(a->size(), 65536u);
  const gpu::Buffer* first = a.get();
  {
    gpu::Recorder rec(*gpu::backend()->device, *gpu::backend()->pipelines);
    rec.copy(*b, 0, *a, 0, 16);
    a.reset();
    EXPECT_NE(caches().scratch_acquire(60000).get(), first) << "a recorder still uses it";
  }
  EXPECT_EQ(caches().scratch_acquire(60000).get(), first) << "free once its holders are gone";
  EXPECT_EQ(caches().scratch_entries(), 3u);
  gpu::limit_scratch_pool(3);
  gpu::BufferRef held[3] = {caches().scratch_acquire(1), caches().scratch_acquire(1), caches().scratch_acquire(1)};
  EXPECT_EQ(caches().scratch_entries(), 3u) << "past the bound buffers are not pooled";
  gpu::limit_scratch_pool(0);
}

// The device copy is the host table's entry byte for byte.
TEST(GpuCaches, int8_upload_takes_the_host_tables_entry) {
  const auto& w = kept_bf16(3 * 256, 8);
  std::unique_ptr<orv_int8_table_t, decltype(&orv_int8_table_free)> host(orv_int8_table_new(), &orv_int8_table_free);
  orv_int8_matrix_t q;
  ASSERT_EQ(orv_int8_get(host.get(), w.data(), w.size(), 256, &q), 1);
  gpu::Int8Matrix m;
  ASSERT_TRUE(caches().int8_upload({{w.data(), q}}, &m));
  std::vector<int8_t> weights(w.size());
  std::vector<uint16_t> scales(6);
  gpu::Recorder rec(*gpu::backend()->device, *gpu::backend()->pipelines);
  rec.download(*m.weights, 0, weights.data(), weights.size());
  rec.download(*m.scales, 0, scales.data(), 12);
  ASSERT_TRUE(rec.run());
  EXPECT_EQ(std::memcmp(weights.data(), q.weights, weights.size()), 0);
  EXPECT_EQ(std::memcmp(scales.data(), q.scales, 12), 0);
}

// The INT8 form of W's first NUMEL values, K per row, uploaded under W's address.
bool int8_upload(gpu::Caches& c, const uint16_t* w, uint64_t numel, uint32_t k, gpu::Int8Matrix* out) {
  std::vector<int8_t> q(numel);
  std::vector<uint16_t> s(numel / ORV_INT8_GROUP);
  orv_int8_quantize(w, int32_t(numel / k), int32_t(k), q.data(), s.data());
  return c.int8_upload({{w, {q.data(), s.data(), int32_t(numel / k), int32_t(k)}}}, out);
}

TEST(GpuCaches, tables_key_by_address_and_stop_recording_when_full) {
  gpu::Caches& c = caches();
  const auto& w = kept_bf16(128 * 4, 1);
  const gpu::BufferRef h = c.get_f16(w.data(), w.size());
  EXPECT_EQ(c.get_f16(w.data(), 7), h) << "a smaller request takes the same copy";
  gpu::Int8Matrix a, b;
  ASSERT_TRUE(int8_upload(c, w.data(), w.size(), 128, &a));
  ASSERT_TRUE(int8_upload(c, w.data(), w.size(), 128, &b));
  EXPECT_EQ(a.weights, b.weights);
  // Other data at a known address (a freed matrix's memory reused) replaces the entry rather
  // than getting a copy too small for it.
  const auto& big = kept_bf16(128 * 8, 6);
  c.get_f16(big.data(), 8);
  EXPECT_GE(c.get_f16(big.data(), big.size())->size(), big.size() * 2);
  ASSERT_TRUE(int8_upload(c, big.data(), 128, 128, &a));
  ASSERT_TRUE(int8_upload(c, big.data(), big.size(), 128, &b));
  EXPECT_GE(b.weights->size(), big.size());

  while (c.half_entries() < gpu::kHalfCacheCapacity) c.get_f16(kept_bf16(8, 2).data(), 8);
  const auto& extra = kept_bf16(8, 3);
  EXPECT_NE(c.get_f16(extra.data(), 8), c.get_f16(extra.data(), 8)) << "full: converted anew";
  EXPECT_EQ(c.half_entries(), gpu::kHalfCacheCapacity);

  while (c.int8_entries() < gpu::kInt8TableCapacity) int8_upload(c, kept_bf16(128, 4).data(), 128, 128, &a);
  const uint64_t bytes = orv_gpu_memory_bytes();
  const auto& more = kept_bf16(256, 5);
  ASSERT_TRUE(int8_upload(c, more.data(), 256, 128, &a));
  ASSERT_TRUE(int8_upload(c, more.data(), 256, 128, &b));
  EXPECT_NE(a.weights, b.weights) << "full: uploaded on every call";
  EXPECT_EQ(orv_gpu_memory_bytes(), bytes) << "and not counted";
}

// A binding that reaches past its buffer would let the kernel touch memory that is not the
// buffer's: the recording fails instead.
TEST(GpuRecorder, a_binding_past_the_end_of_its_buffer_fails_the_recording) {
  const gpu::BufferRef a = gpu::Buffer::create(*gpu::backend()->device, 64, gpu::Memory::device),
                      b = gpu::Buffer::create(*gpu::backend()->device, 64, gpu::Memory::device);
  ASSERT_TRUE(a && b);
  for (const auto& [offset, bytes] : {std::pair<uint64_t, uint64_t>{0, 68}, {256, 4}, {0, 64}}) {
    gpu::Recorder rec(*gpu::backend()->device, *gpu::backend()->pipelines);
    const struct { int32_t n; } args{16};
    rec.dispatch_elements(gpu::Kernel::add_inplace, {{a.get(), 0, 64}, {b.get(), offset, bytes}}, args, 16);
    EXPECT_EQ(rec.run(), bytes == 64) << offset << " + " << bytes;
  }
}

TEST(GpuCaches, shared_allocations_fall_back_to_the_heap_when_slots_run_out) {
  std::vector<void*> live;
  while (caches().shared_entries() < gpu::kSharedCapacity) {
    void* p = orv_gpu_shared_alloc(1000);
    ASSERT_NE(caches().shared_buffer(p), nullptr);
    live.push_back(p);
  }
  auto* extra = static_cast<unsigned char*>(orv_gpu_shared_alloc(1000));
  ASSERT_NE(extra, nullptr);
  EXPECT_EQ(caches().shared_buffer(extra), nullptr);
  for (int i = 0; i < 1000; i++) ASSERT_EQ(extra[i], 0);
  orv_gpu_shared_free(extra);  // plain free: the sanitizer build checks it
  for (void* p : live) orv_gpu_shared_free(p);
  EXPECT_EQ(caches().shared_entries(), 0u);
}

TEST(GpuDevice, devices_without_what_the_kernels_need_are_refused) {
  gpu::DeviceTraits ok{VK_API_VERSION_1_2, VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU, true, true, true, true};
  EXPECT_EQ(gpu::device_rejection(ok, false), nullptr);
  gpu::DeviceTraits t = ok;
  t.api_version = VK_API_VERSION_1_1;
  EXPECT_NE(gpu::device_rejection(t, true), nullptr);
  for (bool gpu::DeviceTraits::*f : {&gpu::DeviceTraits::compute_queue, &gpu::DeviceTraits::storage_16bit,
                                     &gpu::DeviceTraits::storage_8bit, &gpu::DeviceTraits::subgroup_arithmetic}) {
    t = ok;
    t.*f = false;
    EXPECT_NE(gpu::device_rejection(t, true), nullptr);
  }
  t = ok;
  t.type = VK_PHYSICAL_DEVICE_TYPE_CPU;
  EXPECT_NE(gpu::device_rejection(t, false), nullptr);
  EXPECT_EQ(gpu::device_rejection(t, true), nullptr);
}

// A restart of the backend with ORVANE_GPU_BREAK_SHADER naming one kernel.
struct BrokenShader {
  explicit BrokenShader(const char* kernel) {
    orv_gpu_shutdown();
    setenv("ORVANE_GPU_BREAK_SHADER", kernel, 1);
    testing::internal::CaptureStderr();
    started = orv_gpu_init();
    err = testing::internal::GetCapturedStderr();
  }
  ~BrokenShader() {
    unsetenv("ORVANE_GPU_BREAK_SHADER");
    orv_gpu_shutdown();
    orv_gpu_init();
  }
  int started;
  std::string err;
};

TEST(GpuFailures, a_shader_that_does_not_compile_leaves_the_products_working) {
  BrokenShader broken("silu");
  ASSERT_EQ(broken.started, 1);
  EXPECT_EQ(broken.err.rfind("Vulkan shaders: compilation failed: silu: ", 0), 0u) << broken.err;
  EXPECT_EQ(std::count(broken.err.begin(), broken.err.end(), '\n'), 1) << broken.err;
  EXPECT_FALSE(gpu::backend()->shaders_compiled);
  const auto& w = kept_bf16(32 * 64, 6);
  const std::vector<float> x = random_floats(3 * 64, 7);
  std::vector<float> y(3 * 32, -1.0f);
  EXPECT_EQ(orv_gpu_sgemm_bf16(3, 32, 64, x.data(), w.data(), y.data()), 0);
  EXPECT_EQ(orv_gpu_ffn(3, 64, 32, x.data(), w.data(), w.data(), w.data(), y.data()), -1);
}

TEST(GpuFailures, refused_allocations_end_on_the_cpu_with_one_line) {
  const std::vector<float> samples = speech_samples("One clear line, then the CPU.");
  auto transcribe = [&] {
    CtxPtr ctx = load_context();
    std::unique_ptr<char, decltype(&std::free)> text(
        orv_transcribe_samples(ctx.get(), samples.data(), int(samples.size())), &std::free);
    return std::string(text ? text.get() : "(failed)");
  };
  orv_gpu_shutdown();
  const std::string cpu = transcribe();
  orv_gpu_init();
  gpu::refuse_allocations_over(64);
  testing::internal::CaptureStderr();
  const std::string gpu_text = transcribe();
  const std::string err = testing::internal::GetCapturedStderr();
  gpu::refuse_allocations_over(0);
  EXPECT_EQ(gpu_text, cpu);
  EXPECT_EQ(err.rfind("Vulkan: the device refused", 0), 0u) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

}  // namespace
