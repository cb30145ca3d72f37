// Machine figures that benchmarks print next to their own results.
#ifndef ORVANE_BENCH_MEMBW_H
#define ORVANE_BENCH_MEMBW_H

// Single-thread read bandwidth in GB/s (1e9 bytes per second): the best of several passes summing
// a 1 GiB buffer. 0 when the buffer cannot be allocated.
double orv_bench_read_bandwidth_gbs();
// The same with the buffer split across the engine's threads (every core by default).
double orv_bench_read_bandwidth_all_gbs();

// Resident memory of this process in MiB, from /proc/self/statm; 0 when it cannot be read.
double orv_bench_rss_mb();
// Resident memory that is not file-backed (everything but the mapped weights and code), in MiB.
double orv_bench_rss_anon_mb();

#endif
