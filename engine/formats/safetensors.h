// Read-only access to a safetensors weight file: the file is mapped, the JSON header parsed into
// a table of descriptors, and tensors read as F32 copies or BF16 in place.
#ifndef ORVANE_SAFETENSORS_H
#define ORVANE_SAFETENSORS_H

#include <stdint.h>

#include "orvane.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  SAFETENSORS_MAX_TENSORS = 1024,
  SAFETENSORS_MAX_DIMS = 8,
  SAFETENSORS_NAME_MAX = 256,
};

enum safetensors_dtype {
  SAFETENSORS_UNKNOWN = -1,
  SAFETENSORS_F32 = 0,
  SAFETENSORS_F16 = 1,
  SAFETENSORS_BF16 = 2,
  SAFETENSORS_I32 = 3,
  SAFETENSORS_I64 = 4,
  SAFETENSORS_BOOL = 5,
};

typedef struct safetensors_tensor_t {
  char name[SAFETENSORS_NAME_MAX];  // at most 255 bytes, NUL-terminated
  int dtype;                        // enum safetensors_dtype
  int ndim;                         // 0..8
  int64_t shape[SAFETENSORS_MAX_DIMS];
  uint64_t data_offset;  // from the start of the data area
  uint64_t size;         // bytes
} safetensors_tensor_t;

typedef struct safetensors_file_t safetensors_file_t;  // an open, mapped file

// Opens and maps PATH. NULL after a message on any failure.
safetensors_file_t *safetensors_open(const char *path);
// Unmaps and frees; NULL allowed. Addresses from safetensors_get_bf16_direct die with it.
void safetensors_close(safetensors_file_t *sf);

int safetensors_count(const safetensors_file_t *sf);
const safetensors_tensor_t *safetensors_tensor(const safetensors_file_t *sf, int index);
uint64_t safetensors_file_size(const safetensors_file_t *sf);
uint64_t safetensors_header_size(const safetensors_file_t *sf);

// First tensor named exactly NAME, or NULL.
const safetensors_tensor_t *safetensors_find(const safetensors_file_t *sf, const char *name);
// Address of the tensor's bytes inside the mapping (no checks).
const void *safetensors_data(const safetensors_file_t *sf, const safetensors_tensor_t *t);
// Product of the dimensions (1 for rank 0); -1 if it overflows 64 bits or a dimension is negative.
int64_t safetensors_numel(const safetensors_tensor_t *t);
// New float copy (F32, F16 or BF16 source) to free(), or NULL.
float *safetensors_get_f32(const safetensors_file_t *sf, const safetensors_tensor_t *t);
// New copy of raw BF16 values to free(), or NULL.
uint16_t *safetensors_get_bf16(const safetensors_file_t *sf, const safetensors_tensor_t *t);
// BF16 values in place inside the mapping (not to be freed), or NULL.
const uint16_t *safetensors_get_bf16_direct(const safetensors_file_t *sf,
                                            const safetensors_tensor_t *t);
int safetensors_is_bf16(const safetensors_tensor_t *t);
// Copies the BYTES of the mapping that start at MAPPED into DST by reading the file, which spares
// the page faults of touching the mapping. 0, or -1 when the range leaves the mapping or the read
// fails.
int safetensors_read_mapped(const safetensors_file_t *sf, const void *mapped, size_t bytes,
                            void *dst);

// Name of a dtype code as printed ("UNKNOWN" outside 0..5).
const char *safetensors_dtype_name(int dtype);
// One line per tensor / a summary, on standard output.
void safetensors_print_tensor(const safetensors_tensor_t *t);
void safetensors_print_info(const safetensors_file_t *sf);

// Parses a header (LEN bytes of JSON, need not be NUL-terminated) into at most
// SAFETENSORS_MAX_TENSORS descriptors. Returns the count, or -1 on a syntax error.
// This is the parser safetensors_open uses; it is exposed for fuzzing.
int safetensors_parse_header(const char *json, size_t len, safetensors_tensor_t *out);

#ifdef __cplusplus
}
#endif

#endif
