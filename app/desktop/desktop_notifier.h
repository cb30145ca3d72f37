// Desktop notifications (org.freedesktop.Notifications over the session bus) for what the user
// would otherwise miss with the panel closed: a transcript copied, an error. Each new one
// replaces the previous one of this app. Without a notification server nothing happens.
#ifndef ORVANE_APP_DESKTOP_NOTIFIER_H
#define ORVANE_APP_DESKTOP_NOTIFIER_H

#include <QObject>
#include <QString>

class DesktopNotifier : public QObject {
  Q_OBJECT
 public:
  using QObject::QObject;
  void notify(const QString& summary, const QString& body);

 private:
  uint replaces_id_ = 0;
};

#endif
