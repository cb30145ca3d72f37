// The failures of the engine wrapper, each with the sentence the user sees in the error state.
#ifndef ORVANE_APP_ORVANE_ERROR_H
#define ORVANE_APP_ORVANE_ERROR_H

#include <exception>

class OrvaneError : public std::exception {
 public:
  enum Code {
    modelLoadFailed,
    modelNotLoaded,
    streamInitFailed,
    noActiveStream,
    feedFailed,
    finishFailed,
  };

  explicit OrvaneError(Code code) : code_(code) {}
  Code code() const { return code_; }
  const char* what() const noexcept override;  // the user-facing description
  bool operator==(const OrvaneError& other) const { return code_ == other.code_; }

 private:
  Code code_;
};

#endif
