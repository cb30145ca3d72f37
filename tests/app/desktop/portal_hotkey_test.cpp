// Alt+Space through the desktop portal's GlobalShortcuts interface, against a stand-in portal on
// a private session bus (run under dbus-run-session): Debian 12's portal predates the interface.
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QSignalSpy>
#include <QTest>

#include "desktop/hotkey_service.h"

namespace {

const QString kService = "org.freedesktop.portal.Desktop";
const QString kPath = "/org/freedesktop/portal/desktop";
const QString kInterface = "org.freedesktop.portal.GlobalShortcuts";
const QString kSessionPath = "/org/freedesktop/portal/desktop/session/test/1";

// Answers the portal's requests the way the portal documents them: a request object path in the
// reply, then a Response signal on that path.
class Portal : public QDBusVirtualObject {
 public:
  explicit Portal(QDBusConnection bus) : bus_(bus) {}

  uint bind_response = 0;  // 0 allows the shortcut, 1 or 2 refuses it
  QStringList bound;       // "id trigger" of each shortcut asked for

  QString introspect(const QString&) const override { return {}; }

  bool handleMessage(const QDBusMessage& m, const QDBusConnection&) override {
    if (m.member() == "Get") {
      bus_.send(m.createReply(QVariant::fromValue(QDBusVariant(1u))));
    } else if (m.member() == "CreateSession") {
      respond(m, m.arguments()[0], 0, {{"session_handle", kSessionPath}});
    } else if (m.member() == "BindShortcuts") {
      const QDBusArgument shortcuts = m.arguments()[1].value<QDBusArgument>();
      shortcuts.beginArray();
      while (!shortcuts.atEnd()) {
        QString id;
        QVariantMap properties;
        shortcuts.beginStructure();
        shortcuts >> id >> properties;
        shortcuts.endStructure();
        bound << id + " " + properties.value("preferred_trigger").toString();
      }
      shortcuts.endArray();
      respond(m, m.arguments()[3], bind_response, {});
    } else {
      return false;
    }
    return true;
  }

  // SIGNAL: "Activated" (key down) or "Deactivated" (key up).
  void activate(const QString& session, const QString& id, const char* signal = "Activated",
                qulonglong timestamp = 1) {
    QDBusMessage message = QDBusMessage::createSignal(kPath, kInterface, signal);
    message << QVariant::fromValue(QDBusObjectPath(session)) << id << timestamp
            << QVariantMap();
    bus_.send(message);
  }

 private:
  void respond(const QDBusMessage& m, const QVariant& options, uint response,
               const QVariantMap& results) {
    QString sender = m.service().mid(1).replace('.', '_');
    const QString token = qdbus_cast<QVariantMap>(options).value("handle_token").toString();
    const QString request = QString("%1/request/%2/%3").arg(kPath, sender, token);
    bus_.send(m.createReply(QVariant::fromValue(QDBusObjectPath(request))));
    QDBusMessage message =
        QDBusMessage::createSignal(request, "org.freedesktop.portal.Request", "Response");
    message << response << results;
    bus_.send(message);
  }

  QDBusConnection bus_;
};

}  // namespace

class PortalHotKeyTest : public QObject {
  Q_OBJECT

  QDBusConnection portal_bus_ =
      QDBusConnection::connectToBus(QDBusConnection::SessionBus, "portal");
  Portal portal_{portal_bus_};

 private slots:
  void initTestCase() {
    qputenv("WAYLAND_DISPLAY", "wayland-test");  // a Wayland session: the portal, not an X grab
    QVERIFY(portal_bus_.registerService(kService));
    QVERIFY(portal_bus_.registerVirtualObject(kPath, &portal_));
  }

  void theBoundShortcutTogglesOnItsOwnActivations() {
    int presses = 0, releases = 0;
    HotKeyService service;
    service.onToggle = [&] { presses++; };
    int held_ms = 0;
    service.onRelease = [&](int ms) {
      releases++;
      held_ms = ms;
    };
    service.registerHotKey();
    QTRY_COMPARE(portal_.bound, QStringList{"toggle-recording ALT+space"});

    portal_.activate(kSessionPath, "toggle-recording");
    QTRY_COMPARE(presses, 1);
    portal_.activate(kSessionPath, "toggle-recording", "Deactivated", 501);
    QTRY_COMPARE(releases, 1);
    QCOMPARE(held_ms, 500);
    // Another session's or another shortcut's activation is not ours; ours still is.
    portal_.activate(kPath + "/session/other/2", "toggle-recording");
    portal_.activate(kSessionPath, "something-else");
    portal_.activate(kSessionPath, "toggle-recording");
    QTRY_COMPARE(presses, 2);
    QTest::qWait(200);
    QCOMPARE(presses, 2);
    QCOMPARE(releases, 1);
    QVERIFY(service.notice().isEmpty());
  }

  void aRefusedShortcutLeavesTheFallbackNotice() {
    portal_.bind_response = 2;
    HotKeyService service;
    service.registerHotKey();
    QTRY_VERIFY(service.notice().contains("orvane-app --toggle"));
    portal_.bind_response = 0;
  }

  void withoutAPortalTheNoticeComes() {
    QVERIFY(portal_bus_.unregisterService(kService));
    HotKeyService service;
    service.registerHotKey();
    QTRY_VERIFY(service.notice().contains("orvane-app --toggle"));
  }
};

QTEST_GUILESS_MAIN(PortalHotKeyTest)
#include "portal_hotkey_test.moc"
