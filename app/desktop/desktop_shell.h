// The app on the desktop: Alt+Space and requests from later instances toggle the recording, the
// tray icon and panel show the state, and a finished transcript is checked onto the clipboard.
#ifndef ORVANE_APP_DESKTOP_SHELL_H
#define ORVANE_APP_DESKTOP_SHELL_H

#include <QObject>

#include "clipboard_check.h"
#include "hotkey_service.h"
#include "output/typing_controller.h"
#include "views.h"

class AppState;
class SingleInstance;

class DesktopShell : public QObject {
  Q_OBJECT

 public:
  // STATE and INSTANCE must outlive the shell. SHOW_PANEL opens the panel as an ordinary window
  // at once (it opens that way anyway when the desktop has no tray).
  DesktopShell(AppState& state, SingleInstance& instance, bool show_panel);
  ~DesktopShell() override;

  Views& views() { return views_; }
  HotKeyService& hotKey() { return hot_key_; }
  ClipboardCheck& clipboard() { return clipboard_; }
  TypingController& typing() { return typing_; }

 private:
  void toggle();

  AppState& state_;
  HotKeyService hot_key_;
  ClipboardCheck clipboard_;
  TypingController typing_;
  Views views_;
};

#endif
