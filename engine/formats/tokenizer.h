// Token ids to text, from the model's tekken.json.
#ifndef ORVANE_TOKENIZER_H
#define ORVANE_TOKENIZER_H

#include "orvane.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct orv_tokenizer_t orv_tokenizer_t;

enum {
  ORV_TOKENIZER_VOCAB = 131072,  // id space
  ORV_TOKENIZER_SPECIAL = 1000,  // ids 0..999 are control tokens
  ORV_TOKEN_BYTES_MAX = 255,     // bytes kept per token string
};

// Loads PATH. NULL on failure (a message when the file cannot be opened).
orv_tokenizer_t *orv_tokenizer_load(const char *path);
// Parses tekken.json text of LEN bytes (need not be NUL-terminated). NULL when the text does not
// start with an object; malformed content after that yields what was read until then.
orv_tokenizer_t *orv_tokenizer_parse(const char *json, size_t len);
void orv_tokenizer_free(orv_tokenizer_t *tok);
// The token's bytes (owned by the tokenizer, NUL-terminated), or NULL.
const char *orv_tokenizer_token(const orv_tokenizer_t *tok, int id);
// Concatenated strings of the text tokens (ids >= 1000) among IDS, as new text to free().
char *orv_tokenizer_decode(const orv_tokenizer_t *tok, const int *ids, int n);
int orv_tokenizer_bos(const orv_tokenizer_t *tok);
int orv_tokenizer_eos(const orv_tokenizer_t *tok);
int orv_tokenizer_vocab_size(void);
// Highest text rank loaded + 1, and highest control rank loaded + 1.
int orv_tokenizer_n_vocab(const orv_tokenizer_t *tok);
int orv_tokenizer_n_special(const orv_tokenizer_t *tok);

#ifdef __cplusplus
}
#endif

#endif
