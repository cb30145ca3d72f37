// Id-to-text only: the engine never encodes. Every token string lives in one byte arena with an
// offset table per id range, so a stream's tokenizer is a handful of allocations, not 130k.
#include "formats/tokenizer.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/json_scan.h"

namespace {

constexpr int kTextRanks = ORV_TOKENIZER_VOCAB - ORV_TOKENIZER_SPECIAL;  // 130072
constexpr size_t kBase64TextMax = 511;  // base64 text kept per vocab entry
constexpr size_t kNameTextMax = 255;    // control-token name kept per entry

// The C-string view of S: token bytes end at their first zero byte.
void cut_at_nul(std::string& s) { s.resize(std::strlen(s.c_str())); }

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Standard alphabet; other characters are ignored and '=' ends the data.
std::string base64_decode(const std::string& text) {
  std::string out;
  unsigned acc = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') break;
    int v = base64_value(c);
    if (v < 0) continue;
    acc = (acc << 6 | static_cast<unsigned>(v)) & 0xFFF;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xFF));
    }
  }
  return out;
}

}  // namespace

// Offset 0 marks an absent id: the arena starts with a spare byte, so no string lives there, and
// the tables start out as plain zeroed memory.
struct orv_tokenizer_t {
  std::vector<char> bytes = {'\0'};  // every string, NUL-terminated, back to back
  std::vector<size_t> vocab;         // [130072] offset of text rank r (id r + 1000), or 0
  std::vector<size_t> special;       // [1000] offset of control token r's name, or 0
  int n_vocab = 0;                   // highest text rank loaded + 1
  int n_special = 0;                 // highest control rank loaded + 1

  orv_tokenizer_t() : vocab(kTextRanks), special(ORV_TOKENIZER_SPECIAL) {}

  const char* at(size_t offset) const { return offset == 0 ? nullptr : &bytes[offset]; }

  // A repeated rank takes the later string; the earlier bytes stay unused in the arena.
  void store(std::vector<size_t>& table, int* n_loaded, int rank, const std::string& s) {
    table[static_cast<size_t>(rank)] = bytes.size();
    bytes.insert(bytes.end(), s.begin(), s.end());
    bytes.push_back('\0');
    if (*n_loaded < rank + 1) *n_loaded = rank + 1;
  }
};

namespace {

// A "rank" value. Anything but an integer (a string, a fraction) leaves the element unranked, and
// a value too large for 64 bits is simply out of range.
void read_rank(JsonScan& js, int64_t* rank) {
  JsonScan::Num got = js.read_int(rank);
  char next = js.peek();
  bool ends = next == ',' || next == '}' || next == ']' || next == ' ' || next == '\t' ||
              next == '\n' || next == '\r' || js.at_end();
  if (got != JsonScan::Num::ok || !ends) {
    *rank = -1;
    js.skip_value();
  }
}

// One "vocab" or "special_tokens" array. False on a syntax error, which ends the parse.
bool read_entries(JsonScan& js, orv_tokenizer_t& tok, bool text_tokens) {
  const char* const string_field = text_tokens ? "token_bytes" : "token_str";
  const size_t string_max = text_tokens ? kBase64TextMax : kNameTextMax;
  const int64_t ranks = text_tokens ? kTextRanks : ORV_TOKENIZER_SPECIAL;
  if (!js.eat('[')) return false;
  std::string field, value;
  for (;;) {
    js.skip_ws_commas();
    if (js.eat(']')) return true;
    if (!js.eat('{')) return false;
    int64_t rank = -1;
    value.clear();
    for (;;) {
      js.skip_ws_commas();
      if (js.eat('}')) break;
      field.clear();
      if (js.read_string(&field, 31, true) == JsonScan::Str::bad) return false;
      js.skip_ws();
      if (!js.eat(':')) return false;
      js.skip_ws();
      if (field == "rank") {
        read_rank(js, &rank);
      } else if (field == string_field && js.peek() == '"') {
        value.clear();
        if (js.read_string(&value, string_max, true) == JsonScan::Str::bad) return false;
        cut_at_nul(value);
      } else if (!js.skip_value()) {
        return false;
      }
    }
    if (rank < 0 || rank >= ranks || value.empty()) continue;
    if (text_tokens) {
      std::string decoded = base64_decode(value);
      cut_at_nul(decoded);
      if (decoded.size() > ORV_TOKEN_BYTES_MAX) decoded.resize(ORV_TOKEN_BYTES_MAX);
      tok.store(tok.vocab, &tok.n_vocab, static_cast<int>(rank), decoded);
    } else {
      tok.store(tok.special, &tok.n_special, static_cast<int>(rank), value);
    }
  }
}

}  // namespace

extern "C" {

orv_tokenizer_t* orv_tokenizer_parse(const char* json, size_t len) {
  JsonScan js(json, JsonScan::c_length(json, len));
  js.skip_ws();
  if (!js.eat('{')) return nullptr;
  try {
    auto tok = std::make_unique<orv_tokenizer_t>();
    // Malformed content ends the parse quietly: the ids read so far stay usable.
    std::string key;
    for (;;) {
      js.skip_ws_commas();
      if (js.at_end() || js.eat('}')) break;
      key.clear();
      js.skip_ws();
      if (js.read_string(&key, 63, true) == JsonScan::Str::bad) break;
      js.skip_ws();
      if (!js.eat(':')) break;
      js.skip_ws();
      bool ok = key == "vocab"            ? read_entries(js, *tok, true)
                : key == "special_tokens" ? read_entries(js, *tok, false)
                                          : js.skip_value();
      if (!ok) break;
    }
    tok->bytes.shrink_to_fit();
    if (orv_verbose >= 2)
      fprintf(stderr, "Tokenizer: %d vocab + %d special tokens\n", tok->n_vocab, tok->n_special);
    return tok.release();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

orv_tokenizer_t* orv_tokenizer_load(const char* path) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(path ? fopen(path, "rb") : nullptr, fclose);
  if (!f) {
    fprintf(stderr, "orv_tokenizer_load: cannot open %s\n", path ? path : "(null)");
    return nullptr;
  }
  // The size comes from the file system, not from a position a directory or device might report.
  struct stat st;
  if (fstat(fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return nullptr;
  try {
    std::vector<char> text(static_cast<size_t>(st.st_size));
    if (fread(text.data(), 1, text.size(), f.get()) != text.size()) return nullptr;
    return orv_tokenizer_parse(text.data(), text.size());
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void orv_tokenizer_free(orv_tokenizer_t* tok) { delete tok; }

const char* orv_tokenizer_token(const orv_tokenizer_t* tok, int id) {
  if (!tok || id < 0) return nullptr;
  if (id < ORV_TOKENIZER_SPECIAL) return id < tok->n_special ? tok->at(tok->special[id]) : nullptr;
  int rank = id - ORV_TOKENIZER_SPECIAL;
  return rank < tok->n_vocab ? tok->at(tok->vocab[rank]) : nullptr;
}

char* orv_tokenizer_decode(const orv_tokenizer_t* tok, const int* ids, int n) {
  std::string text;
  try {
    for (int i = 0; ids && i < n; ++i) {
      if (ids[i] < ORV_TOKENIZER_SPECIAL) continue;
      if (const char* s = orv_tokenizer_token(tok, ids[i])) text += s;
    }
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  auto* out = static_cast<char*>(std::malloc(text.size() + 1));
  if (out) std::memcpy(out, text.c_str(), text.size() + 1);
  return out;
}

int orv_tokenizer_bos(const orv_tokenizer_t*) { return 1; }

int orv_tokenizer_eos(const orv_tokenizer_t*) { return 2; }

int orv_tokenizer_vocab_size(void) { return ORV_TOKENIZER_VOCAB; }

int orv_tokenizer_n_vocab(const orv_tokenizer_t* tok) { return tok ? tok->n_vocab : 0; }

int orv_tokenizer_n_special(const orv_tokenizer_t* tok) { return tok ? tok->n_special : 0; }

}  // extern "C"
