// Makes sure a finished transcript really reached the clipboard. Some Wayland compositors give
// the clipboard only to a client with a focused window, and refuse others silently: then the
// check asks for a focused window, copies again once it has focus, and otherwise leaves a notice
// for the panel, where the transcript stays selectable.
#ifndef ORVANE_APP_CLIPBOARD_CHECK_H
#define ORVANE_APP_CLIPBOARD_CHECK_H

#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

class ClipboardCheck : public QObject {
  Q_OBJECT
  Q_PROPERTY(QString notice READ notice NOTIFY noticeChanged)

 public:
  explicit ClipboardCheck(QObject* parent = nullptr);

  // TEXT was just copied: confirm that the clipboard holds it, or try again with focus.
  void ensure(const QString& text);

  // Shows and focuses a window of this application; set by the owner of the windows.
  std::function<void()> onNeedsFocus;

  // Empty unless the last transcript could not be put on the clipboard.
  QString notice() const { return notice_; }

 signals:
  void noticeChanged();

 private:
  bool holdsText() const;
  bool copy();
  void setNotice(const QString& notice);

  QString text_;
  QTimer focus_wait_;
  QMetaObject::Connection focus_connection_;
  QString notice_;
};

#endif
