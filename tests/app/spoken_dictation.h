// A dictation driven through the app state and the typing controller while speech plays into
// the private sound server (with_pulseaudio.sh): what the input-method tests share. The model's
// word pieces carry characters that keyboards lack. The QTest checks inside fail the running
// test function; the caller returns when QTest::currentTestFailed().
#ifndef ORVANE_APP_SPOKEN_DICTATION_H
#define ORVANE_APP_SPOKEN_DICTATION_H

#include <QProcess>
#include <QTemporaryDir>
#include <functional>
#include <memory>

#include "core/app_state.h"
#include "output/typing_controller.h"

class SpokenDictation {
 public:
  static constexpr int kWaitMs = 60000;

  // Makes the model and the speech, then the app state and the controller; false on failure.
  bool setUp(const char* test_name);
  void tearDown();

  // Starts recording once the last dictation is over (BEFORE runs first) and plays the speech;
  // the words must go to an input method.
  void start(const std::function<void()>& before = {});
  // Stops recording once the speech has played; the clipboard must hold the transcript.
  void finish();

  AppState& state() { return *state_; }
  TypingController& typing() { return *typing_; }

 private:
  RecordingState::Kind kind() const { return state_->recordingState().kind(); }

  QTemporaryDir dir_;
  std::unique_ptr<AppState> state_;
  std::unique_ptr<TypingController> typing_;
  QProcess player_;
};

#endif
