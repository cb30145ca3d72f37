#include "kernels/sgemm.h"

#include <cblas.h>

#include <cstddef>
#include <mutex>

#include "base/thread_pool.h"

namespace {

// Blocks of this many rows or columns: a multiple of every BLAS kernel's tile.
constexpr size_t kBlock = 64;

}  // namespace

void orv_blas_single_thread() {
#if defined(ORV_HAVE_OPENBLAS)
  static std::once_flag once;
  std::call_once(once, [] { openblas_set_num_threads(1); });
#endif
}

void orv_sgemm(bool b_transposed, int m, int n, int k, const float *a, int lda, const float *b,
               int ldb, float *c, int ldc) {
  if (m < 1 || n < 1 || k < 1) return;
  orv_blas_single_thread();
  const CBLAS_TRANSPOSE tb = b_transposed ? CblasTrans : CblasNoTrans;
  if (m >= n) {
    orv_parallel_for(size_t(m), kBlock, [&](size_t r0, size_t r1) {
      cblas_sgemm(CblasRowMajor, CblasNoTrans, tb, int(r1 - r0), n, k, 1.0f, a + r0 * size_t(lda),
                  lda, b, ldb, 0.0f, c + r0 * size_t(ldc), ldc);
    });
    return;
  }
  orv_parallel_for(size_t(n), kBlock, [&](size_t c0, size_t c1) {
    const float *bb = b_transposed ? b + c0 * size_t(ldb) : b + c0;
    cblas_sgemm(CblasRowMajor, CblasNoTrans, tb, m, int(c1 - c0), k, 1.0f, a, lda, bb, ldb, 0.0f,
                c + c0, ldc);
  });
}
