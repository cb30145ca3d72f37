#include "typing_controller.h"

#include "core/app_settings.h"
#include "core/app_state.h"
#include "typing_log.h"
#include "xtest_typer.h"

Q_LOGGING_CATEGORY(lcTyping, "orvane.typing", QtWarningMsg)

namespace {

const QString kType = QStringLiteral("type");
const QString kClipboard = QStringLiteral("clipboard");

// XTest reaches only X11 programs: on a Wayland session (where DISPLAY is XWayland's) it would
// type into a few windows and miss the rest, so it is used on X11 sessions only.
bool x11Session() {
  return qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
         qEnvironmentVariable("XDG_SESSION_TYPE") != QLatin1String("wayland") &&
         !qEnvironmentVariableIsEmpty("DISPLAY");
}

}  // namespace

TypingController::TypingController(AppState& state, QObject* parent)
    : QObject(parent), state_(state) {
  const QString stored = appSettings().value(kOutputModeKey).toString();
  mode_ = stored == kClipboard ? kClipboard : kType;
  connect(&state_, &AppState::recordingStateChanged, this, &TypingController::stateChanged);
  connect(&state_, &AppState::liveTextChanged, this, &TypingController::textChanged);
  feed_.listen();
}

TypingController::~TypingController() = default;

void TypingController::setOutputMode(const QString& mode) {
  const QString chosen = mode == kClipboard ? kClipboard : kType;
  if (chosen == mode_) return;
  mode_ = chosen;
  appSettings().setValue(kOutputModeKey, mode_);
  if (mode_ == kClipboard) setNotice({});
  emit outputModeChanged();
}

void TypingController::setHotKeyHeld(bool held) {
  hot_key_held_ = held;
  if (xtest_) xtest_->setPaused(held);
}

void TypingController::stateChanged() {
  switch (state_.recordingState().kind()) {
    case RecordingState::Kind::Recording:
      typed_ = 0;
      way_ = chooseWay();
      typing_ = way_ != Way::None;
      break;
    case RecordingState::Kind::Done:
    case RecordingState::Kind::Error:
      // The final words came with the live text before this state: the dictation is complete.
      if (!typing_) break;
      typing_ = false;
      if (way_ == Way::Xtest && xtest_) {
        xtest_->finish();
      } else if (way_ == Way::InputMethod) {
        feed_.end();
        emit typingFinished();
      }
      break;
    default: break;
  }
}

TypingController::Way TypingController::chooseWay() {
  if (mode_ != kType) {
    qCInfo(lcTyping, "output: clipboard only (outputMode=clipboard)");
    return Way::None;
  }
  if (feed_.ready()) {
    qCInfo(lcTyping, "output: committing through Orvane's input method");
    setNotice({});
    feed_.begin();
    return Way::InputMethod;
  }
  if (x11Session() && !xtest_tried_) {
    xtest_tried_ = true;
    xtest_ = XTestTyper::open();
    if (xtest_) {
      xtest_->setPaused(hot_key_held_);
      connect(xtest_.get(), &XTestTyper::failed, this, &TypingController::typingFailed);
      connect(xtest_.get(), &XTestTyper::becameIdle, this, &TypingController::typingFinished);
    }
  }
  if (x11Session() && xtest_) {
    qCInfo(lcTyping, "output: typing into the focused X11 window through XTest");
    setNotice({});
    return Way::Xtest;
  }
  qCInfo(lcTyping, "output: clipboard only (no input method of Orvane is active, and %s)",
         x11Session() ? "the X server offers no XTest" : "this is no X11 session");
  setNotice(QStringLiteral(
      "Orvane cannot type into other windows here: add the Orvane input method to IBus or "
      "Fcitx5 (see the README). Until then each transcript is copied to the clipboard."));
  return Way::None;
}

void TypingController::textChanged() {
  const QString& text = state_.liveText();
  if (text.size() < typed_) typed_ = 0;  // a new dictation cleared it
  if (!typing_ || text.size() == typed_) return;
  const QString piece = text.mid(typed_);
  typed_ = text.size();
  if (way_ == Way::Xtest) xtest_->type(piece);
  else feed_.text(piece);
}

void TypingController::typingFailed(const QString& reason) {
  qCWarning(lcTyping, "typing stopped: %s", qPrintable(reason));
  way_ = Way::None;
  typing_ = false;
  // A fresh connection is tried at the next dictation; this one is released once its signal
  // has returned.
  if (xtest_) xtest_.release()->deleteLater();
  xtest_tried_ = false;
  setNotice(QStringLiteral("Typing stopped (%1); the whole transcript is on the clipboard.")
                .arg(reason));
  emit typingFinished();
}

void TypingController::setNotice(const QString& notice) {
  if (notice == notice_) return;
  notice_ = notice;
  emit noticeChanged();
}
