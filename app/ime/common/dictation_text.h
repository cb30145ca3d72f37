// What an input-method engine does with a dictation's words: the words not yet complete are
// shown as preedit text in the focused field, each word is committed once the next one begins,
// and the end of the dictation commits the rest. After a focus change or Escape the rest of the
// dictation is not typed (it is on the clipboard anyway), so no word lands in another window.
#ifndef ORVANE_IME_DICTATION_TEXT_H
#define ORVANE_IME_DICTATION_TEXT_H

#include <string>
#include <string_view>

class DictationText {
 public:
  // A dictation starts: nothing is pending and its words are typed.
  void begin();
  // Adds the next PIECE of UTF-8 text; returns what is complete now, to commit. The rest is the
  // preedit.
  std::string add(std::string_view piece);
  // The dictation ended: returns everything still pending, to commit.
  std::string end();
  // The field lost focus (its framework commits the preedit itself) or the user pressed Escape:
  // the pending words are dropped and the rest of the dictation is not typed.
  void stop();

  const std::string& preedit() const { return pending_; }
  bool typing() const { return typing_; }

 private:
  std::string pending_;
  bool typing_ = false;
};

#endif
