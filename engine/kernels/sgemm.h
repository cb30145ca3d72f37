// Single-precision matrix products through the BLAS, split across the engine's worker threads.
// The BLAS itself is kept to one thread, so that its threads and the engine's never compete
// for the same cores.
#ifndef ORVANE_SGEMM_H
#define ORVANE_SGEMM_H

// C[M][N] = A[M][K] * op(B), row-major, alpha 1, beta 0 (C is overwritten). op(B) is B [K][N],
// or with B_TRANSPOSED the transpose of B [N][K]. The rows of C (or its columns, when N is the
// larger side) are split into blocks across the threads, one sgemm call each.
void orv_sgemm(bool b_transposed, int m, int n, int k, const float *a, int lda, const float *b,
               int ldb, float *c, int ldc);

// Makes the BLAS run each call on its calling thread. Idempotent.
void orv_blas_single_thread();

#endif
