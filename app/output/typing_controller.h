// Puts a dictation's words where the user is typing, as they are decoded. At the start of each
// recording it picks the way: an input-method engine of ours that is active in the session,
// else XTest on an X11 session, else none, and then the panel says what would make typing work.
// The clipboard gets the whole transcript at the end either way (the app state does that), so a
// way that fails halfway loses nothing.
#ifndef ORVANE_APP_TYPING_CONTROLLER_H
#define ORVANE_APP_TYPING_CONTROLLER_H

#include <QObject>
#include <QString>
#include <memory>

#include "input_method_feed.h"

class AppState;
class XTestTyper;

// Settings key and its values: "type" (default) types into the focused field, "clipboard" only
// copies at the end.
inline constexpr char kOutputModeKey[] = "outputMode";

class TypingController : public QObject {
  Q_OBJECT
  Q_PROPERTY(QString outputMode READ outputMode WRITE setOutputMode NOTIFY outputModeChanged)
  Q_PROPERTY(QString notice READ notice NOTIFY noticeChanged)

 public:
  enum class Way { None, InputMethod, Xtest };

  // STATE must outlive the controller.
  explicit TypingController(AppState& state, QObject* parent = nullptr);
  ~TypingController() override;

  QString outputMode() const { return mode_; }
  void setOutputMode(const QString& mode);
  // Empty while typing works or is not wanted; otherwise one sentence for the panel.
  QString notice() const { return notice_; }
  // The way of the current or last dictation.
  Way way() const { return way_; }
  InputMethodFeed& inputMethods() { return feed_; }
  // True while the user holds the hot key down for push-to-talk: keystrokes would go to the key's
  // grab, so XTest typing waits (queueing the words) until it is false again.
  void setHotKeyHeld(bool held);

 signals:
  void outputModeChanged();
  void noticeChanged();
  // Everything of the last dictation has reached the field (or typing gave up).
  void typingFinished();

 private:
  void stateChanged();
  void textChanged();
  Way chooseWay();
  void typingFailed(const QString& reason);
  void setNotice(const QString& notice);

  AppState& state_;
  QString mode_;
  QString notice_;
  Way way_ = Way::None;
  bool typing_ = false;  // a dictation's words are being handed to way_
  qsizetype typed_ = 0;  // characters of the live text handed to the way
  InputMethodFeed feed_;
  std::unique_ptr<XTestTyper> xtest_;
  bool xtest_tried_ = false;
  bool hot_key_held_ = false;
};

#endif
