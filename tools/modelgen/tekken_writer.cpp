#include "tekken_writer.h"

#include <cstdio>
#include <string_view>
#include <unordered_set>

#include "formats/shape.h"
#include "output_file.h"
#include "random.h"

namespace modelgen {

namespace {

constexpr int kSpecialTokens = ORV_FIRST_TEXT_TOKEN;
constexpr uint64_t kVocabStream = 0x766f636162ULL;  // keeps the vocabulary apart from the tensors

std::string base64(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t v = uint32_t{static_cast<uint8_t>(bytes[i])} << 16 |
                       uint32_t{static_cast<uint8_t>(bytes[i + 1])} << 8 |
                       static_cast<uint8_t>(bytes[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i < bytes.size()) {
    const bool two = i + 1 < bytes.size();
    const uint32_t v = uint32_t{static_cast<uint8_t>(bytes[i])} << 16 |
                       (two ? uint32_t{static_cast<uint8_t>(bytes[i + 1])} << 8 : 0);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += two ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string special_name(int rank) {
  switch (rank) {
    case 0: return "<unk>";
    case ORV_TOKEN_BOS: return "<s>";
    case ORV_TOKEN_EOS: return "</s>";
    case 3: return "[INST]";
    case 4: return "[/INST]";
    case ORV_TOKEN_PAD: return "[PAD]";
    default: return "<SPECIAL_" + std::to_string(rank) + ">";
  }
}

// A word piece of one to three syllables, often starting a word (leading space), sometimes
// capitalised.
std::string word_piece(Rng& rng) {
  static constexpr std::string_view kOnsets[] = {
      "",   "b",  "c",  "d",  "f",  "g",  "h",  "j",  "k",  "l",  "m",  "n",
      "p",  "r",  "s",  "t",  "v",  "w",  "z",  "br", "ch", "cl", "cr", "dr",
      "fl", "fr", "gr", "pl", "pr", "sh", "sl", "sp", "st", "th", "tr", "str"};
  static constexpr std::string_view kVowels[] = {"a", "e", "i", "o", "u", "ai", "ea", "ee", "ie", "oo", "ou", "y"};
  static constexpr std::string_view kCodas[] = {"", "", "", "n", "r", "s", "t", "l", "m", "nd", "ng", "st", "ck", "rt"};
  std::string piece;
  if (rng.chance(0.55)) piece += ' ';
  const uint32_t syllables = 1 + rng.below(3);
  for (uint32_t i = 0; i < syllables; i++) {
    piece += kOnsets[rng.below(std::size(kOnsets))];
    piece += kVowels[rng.below(std::size(kVowels))];
    piece += kCodas[rng.below(std::size(kCodas))];
  }
  const size_t first = piece[0] == ' ' ? 1 : 0;
  if (rng.chance(0.1)) piece[first] = static_cast<char>(piece[first] - 'a' + 'A');
  return piece;
}

}  // namespace

std::string tekken_json(int vocab_size, uint64_t seed) {
  const int text_tokens = vocab_size > kSpecialTokens ? vocab_size - kSpecialTokens : 0;
  std::string out = "{\n  \"config\": {\"version\": \"v7\", \"default_vocab_size\": " +
                    std::to_string(vocab_size) +
                    ", \"default_num_special_tokens\": " + std::to_string(kSpecialTokens) +
                    "},\n  \"vocab\": [";

  // The printable ASCII characters first, as single-byte pieces, then generated word pieces.
  Rng rng(stream_key(seed, kVocabStream));
  std::unordered_set<std::string> seen;
  for (int rank = 0; rank < text_tokens; rank++) {
    std::string piece;
    if (rank < 0x7f - 0x20) {
      piece = std::string(1, static_cast<char>(0x20 + rank));
      seen.insert(piece);
    } else {
      do piece = word_piece(rng);
      while (!seen.insert(piece).second);
    }
    out += rank ? ",\n    " : "\n    ";
    out += "{\"rank\": " + std::to_string(rank) + ", \"token_bytes\": \"" + base64(piece) +
           "\", \"token_str\": \"" + json_escape(piece) + "\"}";
  }
  out += "\n  ],\n  \"special_tokens\": [";
  for (int rank = 0; rank < kSpecialTokens; rank++) {
    out += rank ? ",\n    " : "\n    ";
    out += "{\"rank\": " + std::to_string(rank) + ", \"token_str\": \"" +
           json_escape(special_name(rank)) + "\", \"is_control\": true}";
  }
  out += "\n  ]\n}\n";
  return out;
}

}  // namespace modelgen
