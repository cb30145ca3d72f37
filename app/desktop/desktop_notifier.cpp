#include "desktop_notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace {
constexpr int kShowMs = 5000;
}

void DesktopNotifier::notify(const QString& summary, const QString& body) {
  const QString service = QStringLiteral("org.freedesktop.Notifications");
  QDBusMessage m = QDBusMessage::createMethodCall(
      service, QStringLiteral("/org/freedesktop/Notifications"), service, QStringLiteral("Notify"));
  m << QStringLiteral("Orvane") << replaces_id_ << QStringLiteral("orvane-app") << summary << body
    << QStringList() << QVariantMap() << kShowMs;
  // Asynchronous: a missing or slow server never holds up the app.
  auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(m), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
    w->deleteLater();
    const QDBusPendingReply<uint> reply = *w;
    if (reply.isValid()) replaces_id_ = reply.value();
  });
}
