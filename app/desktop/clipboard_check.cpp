#include "clipboard_check.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QWindow>

namespace {
constexpr int kFocusWaitMs = 2000;
}

ClipboardCheck::ClipboardCheck(QObject* parent) : QObject(parent) {
  focus_wait_.setSingleShot(true);
  focus_wait_.setInterval(kFocusWaitMs);
  connect(&focus_wait_, &QTimer::timeout, this, [this] {
    disconnect(focus_connection_);
    if (!copy())
      setNotice(QStringLiteral(
          "The desktop did not let Orvane set the clipboard: select the text above and copy it."));
  });
}

void ClipboardCheck::ensure(const QString& text) {
  text_ = text;
  focus_wait_.stop();
  disconnect(focus_connection_);
  if (holdsText() || (!onNeedsFocus && copy())) return setNotice({});
  if (!onNeedsFocus) return focus_wait_.start();
  focus_connection_ =
      connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow* window) {
        if (window && copy()) {
          focus_wait_.stop();
          disconnect(focus_connection_);
        }
      });
  focus_wait_.start();
  onNeedsFocus();
}

bool ClipboardCheck::holdsText() const {
  const QClipboard* clipboard = QGuiApplication::clipboard();
  return clipboard->ownsClipboard() && clipboard->text(QClipboard::Clipboard) == text_;
}

bool ClipboardCheck::copy() {
  QClipboard* clipboard = QGuiApplication::clipboard();
  clipboard->setText(text_, QClipboard::Clipboard);
  if (clipboard->supportsSelection()) clipboard->setText(text_, QClipboard::Selection);
  const bool held = holdsText();
  if (held) setNotice({});
  return held;
}

void ClipboardCheck::setNotice(const QString& notice) {
  if (notice == notice_) return;
  notice_ = notice;
  emit noticeChanged();
}
