// The whole dictation driven as a user drives it: the app running on a private X server with a
// private sound server, Alt+Space pressed through XTEST, speech played into the microphone, the
// transcript read back from the clipboard by another program. Later instances of orvane-app hand
// their requests to this one.
#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QDir>
#include <QProcess>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>
#include <algorithm>

#include "app_test_support.h"
#include "desktop_session.h"

namespace {

constexpr int kWaitMs = 60000;  // generous: CI machines are slow and busy

void pressAltSpace() { QCOMPARE(run("xdotool", {"key", "alt+space"}), QString()); }

// A notification server on the private session bus, keeping "summary: body" of each Notify.
class NotificationServer : public QDBusVirtualObject {
 public:
  explicit NotificationServer(QDBusConnection bus) : bus_(bus) {}
  QStringList shown;
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& m, const QDBusConnection&) override {
    if (m.member() != "Notify") return false;
    shown << m.arguments()[3].toString() + ": " + m.arguments()[4].toString();
    bus_.send(m.createReply(QVariant::fromValue(uint(shown.size()))));
    return true;
  }

 private:
  QDBusConnection bus_;
};

}  // namespace

class DesktopDictationTest : public DesktopSession {
  Q_OBJECT

  QDBusConnection notification_bus_ =
      QDBusConnection::connectToBus(QDBusConnection::SessionBus, "notifications");
  NotificationServer notifications_{notification_bus_};

 private slots:
  void initTestCase() {
    QVERIFY(notification_bus_.registerService("org.freedesktop.Notifications"));
    QVERIFY(notification_bus_.registerVirtualObject("/org/freedesktop/Notifications", &notifications_));
    QVERIFY(QDir().mkpath(ORVANE_SCREENSHOT_DIR));
    QVERIFY(start("desktop_dictation_test", "Hello from the desktop.", true));
    QVERIFY(shell_->hotKey().notice().isEmpty());
  }

  void cleanupTestCase() { stop(); }

  void keyPressesTakeSpeechOntoTheClipboard() {
    pressAltSpace();
    QTRY_COMPARE_WITH_TIMEOUT(kind(), Kind::Recording, kWaitMs);

    QProcess player;
    player.start("paplay", {"--device=virt", dir_.filePath("speech.wav")});
    QTRY_VERIFY_WITH_TIMEOUT(
        std::ranges::any_of(state_->waveformLevels(), [](float l) { return l > 0.05f; }), kWaitMs);
    QVERIFY(shell_->views().panel()->grabWindow().save(ORVANE_SCREENSHOT_DIR
                                                       "/dictation-recording.png"));
    QTRY_COMPARE_WITH_TIMEOUT(player.state(), QProcess::NotRunning, kWaitMs);
    QCOMPARE(player.exitCode(), 0);

    pressAltSpace();
    QTRY_COMPARE_WITH_TIMEOUT(kind(), Kind::Done, kWaitMs);
    QCOMPARE(seen_, QList<Kind>({Kind::Loading, Kind::Recording, Kind::Processing, Kind::Done}));
    QTest::qWait(400);  // the level meter fades out
    QVERIFY(
        shell_->views().panel()->grabWindow().save(ORVANE_SCREENSHOT_DIR "/dictation-done.png"));

    // Another program pastes what the panel shows, from the clipboard and the primary selection.
    QVERIFY(!state_->liveText().isEmpty());
    QCOMPARE(run("xclip", {"-o", "-selection", "clipboard"}), state_->liveText());
    QCOMPARE(run("xclip", {"-o", "-selection", "primary"}), state_->liveText());
    QVERIFY(shell_->clipboard().notice().isEmpty());
    QVERIFY(notifications_.shown.isEmpty());  // the panel was open
  }

  // Push-to-talk: Alt+Space held records until it comes up. With the panel closed, a
  // notification says the transcript was copied.
  void holdingTheKeyRecordsUntilItIsReleased() {
    shell_->views().panel()->hide();
    QCOMPARE(run("xdotool", {"keydown", "alt+space"}), QString());
    QTRY_COMPARE_WITH_TIMEOUT(kind(), Kind::Recording, kWaitMs);
    QProcess player;
    player.start("paplay", {"--device=virt", dir_.filePath("speech.wav")});
    QTRY_COMPARE_WITH_TIMEOUT(player.state(), QProcess::NotRunning, kWaitMs);
    QTest::qWait(DesktopShell::kHoldMs);
    QCOMPARE(kind(), Kind::Recording);
    QCOMPARE(run("xdotool", {"keyup", "alt+space"}), QString());
    QTRY_COMPARE_WITH_TIMEOUT(kind(), Kind::Done, kWaitMs);
    QVERIFY(!state_->liveText().isEmpty());
    QTRY_COMPARE(notifications_.shown, QStringList{"Copied: " + state_->liveText().left(200)});
  }

  void laterInstancesHandTheirRequestsOver() {
    QTRY_COMPARE_WITH_TIMEOUT(kind(), Kind::Idle, kWaitMs);  // "done" lasts 3 s
    seen_.clear();
    int code = -1;
    run(ORVANE_APP_BINARY, {"--toggle"}, &code);
    QCOMPARE(code, 0);
    QTRY_COMPARE_WITH_TIMEOUT(kind(), Kind::Recording, kWaitMs);

    // NumLock on: the key still reaches the app.
    QCOMPARE(run("xdotool", {"key", "Num_Lock"}), QString());
    pressAltSpace();
    QCOMPARE(run("xdotool", {"key", "Num_Lock"}), QString());
    QTRY_COMPARE_WITH_TIMEOUT(kind(), Kind::Done, kWaitMs);
    // The model stayed loaded: recording began at once.
    QCOMPARE(seen_, QList<Kind>({Kind::Recording, Kind::Processing, Kind::Done}));

    // A second app does not start: it shows this one's panel and leaves.
    QQuickWindow* panel = shell_->views().panel();
    panel->hide();
    run(ORVANE_APP_BINARY, {}, &code);
    QCOMPARE(code, 0);
    QTRY_VERIFY_WITH_TIMEOUT(panel->isVisible(), kWaitMs);
  }
};

ORVANE_AUDIO_QTEST_MAIN(QApplication, DesktopDictationTest)
#include "desktop_dictation_test.moc"
