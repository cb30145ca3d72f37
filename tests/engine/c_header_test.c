/* Compiled as C: the public header must be plain C and the shared library must export it. */
#include <stdio.h>
#include <stdlib.h>

#include "orvane.h"

int main(void) {
  int n = -1;
  orv_ctx_t *ctx = orv_load("/nonexistent/orvane-model");
  if (ctx != NULL) {
    fprintf(stderr, "orv_load accepted a missing directory\n");
    return 1;
  }
  orv_free(NULL);
  orv_stream_free(NULL);
  if (orv_stream_feed(NULL, NULL, 0) != -1 || orv_stream_finish(NULL) != -1) return 1;
  if (orv_mel_spectrogram(NULL, 0, &n) != NULL) return 1;
  if (orv_gpu_available() != 0 && orv_gpu_available() != 1) return 1;
  puts("ok");
  return 0;
}
