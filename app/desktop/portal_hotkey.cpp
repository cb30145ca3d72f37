#include "portal_hotkey.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QRandomGenerator>
#include <algorithm>
#include <climits>

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");

struct Shortcut {
  QString id;
  QVariantMap properties;
};
using ShortcutList = QList<Shortcut>;

}  // namespace

Q_DECLARE_METATYPE(Shortcut)

namespace {

QDBusArgument& operator<<(QDBusArgument& arg, const Shortcut& s) {
  arg.beginStructure();
  arg << s.id << s.properties;
  arg.endStructure();
  return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, Shortcut& s) {
  arg.beginStructure();
  arg >> s.id >> s.properties;
  arg.endStructure();
  return arg;
}

constexpr int kTimeoutMs = 5000;

QString newToken() {
  return QStringLiteral("orvane%1").arg(QRandomGenerator::global()->generate());
}

}  // namespace

PortalHotKey::PortalHotKey(std::function<void()> on_press, std::function<void(int)> on_release,
                           std::function<void(const QString&)> on_failed, QObject* parent)
    : QObject(parent),
      on_press_(std::move(on_press)),
      on_release_(std::move(on_release)),
      on_failed_(std::move(on_failed)) {
  qDBusRegisterMetaType<Shortcut>();
  qDBusRegisterMetaType<ShortcutList>();
}

PortalHotKey::~PortalHotKey() {
  if (!session_.isEmpty())
    QDBusConnection::sessionBus().call(
        QDBusMessage::createMethodCall(kService, session_, kSession, QStringLiteral("Close")),
        QDBus::NoBlock);
}

void PortalHotKey::start() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return fail(QStringLiteral("no session bus"));
  QDBusMessage get = QDBusMessage::createMethodCall(
      kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
  get << kInterface << QStringLiteral("version");
  call(get, [this](const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ReplyMessage)
      return fail(QStringLiteral("the desktop portal offers no global shortcuts"));
    const QString token = newToken();
    const QVariantMap options{{QStringLiteral("handle_token"), token},
                              {QStringLiteral("session_handle_token"), newToken()}};
    request(QStringLiteral("CreateSession"), {options}, token,
            SLOT(sessionCreated(uint, QVariantMap)));
  });
}

// Asynchronous, so that a slow or absent portal never holds up the panel.
void PortalHotKey::call(const QDBusMessage& message,
                        std::function<void(const QDBusMessage&)> on_reply) {
  auto* watcher = new QDBusPendingCallWatcher(
      QDBusConnection::sessionBus().asyncCall(message, kTimeoutMs), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [on_reply = std::move(on_reply)](QDBusPendingCallWatcher* done) {
            done->deleteLater();
            on_reply(done->reply());
          });
}

void PortalHotKey::request(const QString& method, const QVariantList& args, const QString& token,
                           const char* slot) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  QString sender = bus.baseService().mid(1);
  sender.replace(QLatin1Char('.'), QLatin1Char('_'));
  const QString path =
      QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
  pending_request_ = path;
  bus.connect(kService, path, kRequest, QStringLiteral("Response"), this, slot);

  QDBusMessage message = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
  message.setArguments(args);
  call(message, [this, path, slot](const QDBusMessage& reply) {
    if (reply.type() == QDBusMessage::ReplyMessage) return;
    QDBusConnection::sessionBus().disconnect(kService, path, kRequest, QStringLiteral("Response"),
                                             this, slot);
    fail(reply.errorMessage());
  });
}

void PortalHotKey::sessionCreated(uint response, const QVariantMap& results) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  bus.disconnect(kService, pending_request_, kRequest, QStringLiteral("Response"), this,
                 SLOT(sessionCreated(uint, QVariantMap)));
  session_ = results.value(QStringLiteral("session_handle")).toString();
  if (response != 0 || session_.isEmpty())
    return fail(QStringLiteral("the portal refused a shortcut session"));

  bus.connect(kService, kPath, kInterface, QStringLiteral("Activated"), this,
              SLOT(activated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
  bus.connect(kService, kPath, kInterface, QStringLiteral("Deactivated"), this,
              SLOT(deactivated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
  const ShortcutList shortcuts{
      {QString::fromLatin1(kShortcutId),
       {{QStringLiteral("description"), QStringLiteral("Start/stop recording")},
        {QStringLiteral("preferred_trigger"), QStringLiteral("ALT+space")}}}};
  const QString token = newToken();
  request(QStringLiteral("BindShortcuts"),
          {QVariant::fromValue(QDBusObjectPath(session_)), QVariant::fromValue(shortcuts),
           QString(), QVariantMap{{QStringLiteral("handle_token"), token}}},
          token, SLOT(shortcutsBound(uint, QVariantMap)));
}

void PortalHotKey::shortcutsBound(uint response, const QVariantMap&) {
  QDBusConnection::sessionBus().disconnect(kService, pending_request_, kRequest,
                                           QStringLiteral("Response"), this,
                                           SLOT(shortcutsBound(uint, QVariantMap)));
  if (response != 0) fail(QStringLiteral("the shortcut was not allowed"));
}

void PortalHotKey::activated(const QDBusObjectPath& session, const QString& shortcut_id,
                             qulonglong timestamp, const QVariantMap&) {
  if (session.path() != session_ || shortcut_id != QLatin1String(kShortcutId)) return;
  activated_at_ = timestamp;
  if (on_press_) on_press_();
}

void PortalHotKey::deactivated(const QDBusObjectPath& session, const QString& shortcut_id,
                               qulonglong timestamp, const QVariantMap&) {
  if (session.path() != session_ || shortcut_id != QLatin1String(kShortcutId) || !on_release_)
    return;
  const qulonglong held = timestamp >= activated_at_ ? timestamp - activated_at_ : 0;
  on_release_(static_cast<int>(std::min<qulonglong>(held, INT32_MAX)));
}

void PortalHotKey::fail(const QString& why) {
  if (failed_) return;
  failed_ = true;
  if (on_failed_) on_failed_(why);
}
