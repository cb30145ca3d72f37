#include "desktop_shell.h"

#include <QGuiApplication>

#include "core/app_settings.h"
#include "core/app_state.h"
#include "single_instance.h"

DesktopShell::DesktopShell(AppState& state, SingleInstance& instance, bool show_panel)
    : state_(state), typing_(state), views_(&state, &hot_key_, &clipboard_, &typing_, &history_) {
  hot_key_.onToggle = [this] { keyPressed(); };
  hot_key_.onRelease = [this](int held_ms) { keyReleased(held_ms); };
  hot_key_.registerHotKey();

  instance.onRequest = [this](const QString& request) {
    if (request == QLatin1String("toggle"))
      toggle();
    else
      views_.showPanel(true);
  };

  clipboard_.onNeedsFocus = [this] { views_.showPanel(); };
  connect(&state_, &AppState::recordingStateChanged, this, &DesktopShell::stateChanged);
  connect(&state_, &AppState::transcriptFinished, &history_,
          [this](const QString& text) { history_.add(text); });

  // The app lives in the tray: closing its last window does not end it, the quit item does.
  QGuiApplication::setQuitOnLastWindowClosed(false);
  connect(&views_, &Views::quitRequested, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
  if (show_panel || !views_.hasTray()) views_.showPanel(true);
}

DesktopShell::~DesktopShell() { hot_key_.unregisterHotKey(); }

// A finished transcript is checked onto the clipboard; with the panel closed, the user hears of
// it, and of errors, through a desktop notification.
void DesktopShell::stateChanged() {
  const RecordingState& s = state_.recordingState();
  // Where the key's releases are not reported, the hold ends with the recording.
  if (s.kind() != RecordingState::Kind::Loading && s.kind() != RecordingState::Kind::Recording)
    typing_.setHotKeyHeld(false);
  if (s.kind() == RecordingState::Kind::Done) clipboard_.ensure(state_.liveText());
  const bool panel_open = views_.panel() && views_.panel()->isVisible();
  if (panel_open || !settingBool(kNotificationsKey, true)) return;
  if (s.kind() == RecordingState::Kind::Done)
    notifier_.notify(QStringLiteral("Copied"), state_.liveText().left(200));
  else if (s.kind() == RecordingState::Kind::Error)
    notifier_.notify(QStringLiteral("Orvane: error"), s.text());
}

// While a press that starts a recording is down, the words wait: typing now would send keys into
// the hot key's grab, and releasing the user's Alt would end the push-to-talk press.
void DesktopShell::keyPressed() {
  press_started_ = !state_.isCapturing();
  if (press_started_) typing_.setHotKeyHeld(true);
  toggle();
}

// A short press only toggled; a long one that started the recording ends it.
void DesktopShell::keyReleased(int held_ms) {
  typing_.setHotKeyHeld(false);
  if (press_started_ && held_ms >= kHoldMs)
    QMetaObject::invokeMethod(&state_, &AppState::endRecording, Qt::QueuedConnection);
  press_started_ = false;
}

// Never inside the key event's handler: the toggle runs from the event loop, after it returns.
void DesktopShell::toggle() {
  QMetaObject::invokeMethod(&state_, &AppState::toggleRecording, Qt::QueuedConnection);
}
