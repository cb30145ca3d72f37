// int8_cache.bin: one model's INT8 table on disk, next to its weight file, so that the
// quantisation is paid once per model rather than at every load. Little-endian: a 64-byte header
// (magic "ORVINT8\0", version 1, group size 128, entry count 1..256, the weight file's byte size
// and modification time in seconds) and then, per entry in table order, numel (u64), K (u32), a
// zero word, numel weight bytes and numel / 128 half scales. Entries carry no names: they are
// bound to the matrices by position, in the order of formats/decoder_matrices.h.
#ifndef ORVANE_INT8_CACHE_FILE_H
#define ORVANE_INT8_CACHE_FILE_H

#include <stdint.h>
#include <stdio.h>

#include "formats/int8_table.h"
#include "formats/shape.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { ORV_INT8_CACHE_HEADER = 64, ORV_INT8_CACHE_RECORD = 16 };

// Maps MODEL_DIR/int8_cache.bin into T (read into memory on big-endian hosts), replacing its
// entries, when it was written for the weight file there as it is now. 1 when the whole file
// checked out; 0 when it is missing, stale or damaged (T then holds nothing).
int orv_int8_cache_load(orv_int8_table_t *t, const char *model_dir);
// The reader behind orv_int8_cache_load, on an open stream of FILE_SIZE bytes, for a weight file
// of SOURCE_SIZE bytes last modified at SOURCE_MTIME seconds. Every length is checked against
// what the stream holds before anything is allocated. 1 or 0 as above.
int orv_int8_cache_read(orv_int8_table_t *t, FILE *f, uint64_t file_size,
                        uint64_t source_size, uint64_t source_mtime);
// Binds T's entries to a whole cache file image at BYTES (SIZE bytes), which must stay in place
// while T holds them: the entries point into it. Little-endian hosts only. 1 or 0 as above.
int orv_int8_cache_bind(orv_int8_table_t *t, const unsigned char *bytes, uint64_t size,
                        uint64_t source_size, uint64_t source_mtime);
// Writes T to MODEL_DIR/int8_cache.bin through a temporary file that replaces it only once it is
// complete and flushed to disk, so a failed or interrupted save never leaves a partial cache.
// 0, or -1 (nothing written) when T is empty, the weight file cannot be read or writing fails.
int orv_int8_cache_save(const orv_int8_table_t *t, const char *model_dir);

#ifdef __cplusplus
}
#endif

#endif
