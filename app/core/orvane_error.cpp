#include "orvane_error.h"

const char* OrvaneError::what() const noexcept {
  switch (code_) {
    case modelLoadFailed: return "Failed to load orvane model";
    case modelNotLoaded: return "Model not loaded";
    case streamInitFailed: return "Failed to initialize transcription stream";
    case noActiveStream: return "No active transcription stream";
    case feedFailed: return "Failed to feed audio to transcription engine";
    case finishFailed: return "Failed to finish transcription stream";
  }
  return "Unknown engine error";
}
