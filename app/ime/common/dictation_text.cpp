#include "dictation_text.h"

namespace {

bool isSpace(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

}  // namespace

void DictationText::begin() {
  pending_.clear();
  typing_ = true;
}

std::string DictationText::add(std::string_view piece) {
  if (!typing_) return {};
  pending_.append(piece);
  // A word is complete once a space follows it and something follows the space: the space stays
  // in the preedit with the word it leads.
  size_t cut = pending_.size();
  while (cut > 0 && isSpace(pending_[cut - 1])) cut--;  // trailing spaces wait for the next word
  while (cut > 0 && !isSpace(pending_[cut - 1])) cut--;  // the last word, still open
  while (cut > 0 && isSpace(pending_[cut - 1])) cut--;   // its leading spaces
  std::string complete = pending_.substr(0, cut);
  pending_.erase(0, cut);
  return complete;
}

std::string DictationText::end() {
  std::string rest = typing_ ? std::move(pending_) : std::string();
  pending_.clear();
  typing_ = false;
  return rest;
}

void DictationText::stop() {
  pending_.clear();
  typing_ = false;
}
