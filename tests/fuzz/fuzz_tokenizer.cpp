// Arbitrary text as a vocabulary file: no crash, no overread, and every string handed out is
// within the per-token limit.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "formats/tokenizer.h"

namespace {
void require(bool ok) {
  if (!ok) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  orv_verbose = 2;                   // exercise the summary line
  stderr = fopen("/dev/null", "w");  // libFuzzer and the sanitizers keep file 2
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  orv_tokenizer_t* tok = orv_tokenizer_parse(reinterpret_cast<const char*>(data), size);
  if (!tok) return 0;
  int n_vocab = orv_tokenizer_n_vocab(tok), n_special = orv_tokenizer_n_special(tok);
  require(n_vocab >= 0 && n_vocab <= ORV_TOKENIZER_VOCAB - ORV_TOKENIZER_SPECIAL);
  require(n_special >= 0 && n_special <= ORV_TOKENIZER_SPECIAL);
  std::vector<int> ids = {-1, ORV_TOKENIZER_VOCAB, n_special, n_vocab + ORV_TOKENIZER_SPECIAL};
  for (int id = 0; id < n_special; ++id) ids.push_back(id);
  // The low ranks and the top few: a full sweep of a large vocabulary would starve the fuzzer.
  for (int r = 0; r < n_vocab; r = r == 4096 && n_vocab > 4112 ? n_vocab - 16 : r + 1)
    ids.push_back(r + ORV_TOKENIZER_SPECIAL);
  size_t total = 0;
  for (int id : ids) {
    const char* s = orv_tokenizer_token(tok, id);
    if (id < 0 || id >= ORV_TOKENIZER_VOCAB || id == n_vocab + ORV_TOKENIZER_SPECIAL) require(!s);
    if (s) require(strlen(s) <= ORV_TOKEN_BYTES_MAX);
    if (s && id >= ORV_TOKENIZER_SPECIAL) total += strlen(s);
  }
  char* text = orv_tokenizer_decode(tok, ids.data(), int(ids.size()));
  require(text && strlen(text) == total);
  free(text);
  orv_tokenizer_free(tok);
  return 0;
}
