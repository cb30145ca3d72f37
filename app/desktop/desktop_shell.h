// The app on the desktop: Alt+Space and requests from later instances toggle the recording, the
// tray icon and panel show the state, and a finished transcript is checked onto the clipboard.
// Alt+Space held longer than kHoldMs records until it is released (push-to-talk).
#ifndef ORVANE_APP_DESKTOP_SHELL_H
#define ORVANE_APP_DESKTOP_SHELL_H

#include <QObject>

#include "clipboard_check.h"
#include "core/transcript_history.h"
#include "desktop_notifier.h"
#include "hotkey_service.h"
#include "output/typing_controller.h"
#include "views.h"

class AppState;
class SingleInstance;

class DesktopShell : public QObject {
  Q_OBJECT

 public:
  static constexpr int kHoldMs = 400;

  // STATE and INSTANCE must outlive the shell. SHOW_PANEL opens the panel as an ordinary window
  // at once (it opens that way anyway when the desktop has no tray).
  DesktopShell(AppState& state, SingleInstance& instance, bool show_panel);
  ~DesktopShell() override;

  Views& views() { return views_; }
  HotKeyService& hotKey() { return hot_key_; }
  ClipboardCheck& clipboard() { return clipboard_; }
  TypingController& typing() { return typing_; }
  TranscriptHistory& history() { return history_; }

 private:
  void toggle();
  void keyPressed();
  void keyReleased(int held_ms);
  void stateChanged();

  AppState& state_;
  bool press_started_ = false;  // the press started a recording (rather than stopping one)
  HotKeyService hot_key_;
  ClipboardCheck clipboard_;
  TypingController typing_;
  TranscriptHistory history_;
  DesktopNotifier notifier_;
  Views views_;
};

#endif
