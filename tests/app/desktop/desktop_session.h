// What the desktop tests that drive whole dictations share: a tiny model and a spoken recording in
// a temporary folder, the app's state and desktop shell on them, and the recording states seen.
#ifndef ORVANE_TEST_DESKTOP_SESSION_H
#define ORVANE_TEST_DESKTOP_SESSION_H

#include <QObject>
#include <QTemporaryDir>
#include <memory>

#include "app_test_support.h"
#include "core/app_state.h"
#include "desktop/desktop_shell.h"
#include "desktop/single_instance.h"

class DesktopSession : public QObject {
 protected:
  using Kind = RecordingState::Kind;

  QTemporaryDir dir_;
  SingleInstance instance_;
  std::unique_ptr<AppState> state_;
  std::unique_ptr<DesktopShell> shell_;
  QList<Kind> seen_;

  Kind kind() const { return state_->recordingState().kind(); }

  // Fresh settings for TEST; the model (which EXTEND may add to) and speech.wav saying WORDS;
  // then the app's state and shell, as the only instance. False when a step fails.
  bool start(const char* test, const QString& words, bool show_panel,
             bool (*extend)(const QString&) = nullptr) {
    useFreshSettings(test);
    if (!makeTinyModel(dir_.path()) || (extend && !extend(dir_.path())) ||
        !speak(words, dir_.filePath("speech.wav")) || !instance_.claim())
      return false;
    state_ = std::make_unique<AppState>();
    state_->setModelDirectoryPath(dir_.path());
    shell_ = std::make_unique<DesktopShell>(*state_, instance_, show_panel);
    connect(state_.get(), &AppState::recordingStateChanged, this, [this] { seen_ << kind(); });
    return true;
  }

  void stop() {
    shell_.reset();
    state_.reset();
  }
};

#endif
