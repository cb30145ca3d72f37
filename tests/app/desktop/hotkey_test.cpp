// Alt+Space on a real X server (Xvfb), pressed through XTEST by xdotool.
#include <xcb/xcb.h>

#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include "desktop/hotkey_service.h"
#include "desktop/x11_hotkey.h"

namespace {

void xdotool(const QStringList& args) { QCOMPARE(QProcess::execute("xdotool", args), 0); }

// The modifier state of the core keyboard, as the server sees it.
uint16_t modifierState() {
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  xcb_query_pointer_reply_t* reply =
      xcb_query_pointer_reply(c, xcb_query_pointer(c, root), nullptr);
  const uint16_t mask = reply ? reply->mask : 0;
  free(reply);
  xcb_disconnect(c);
  return mask;
}

}  // namespace

class HotKeyTest : public QObject {
  Q_OBJECT

 private slots:
  void eachPressTogglesOnceWhateverTheLockKeys() {
    int presses = 0;
    X11HotKey key([&] { presses++; });
    QCOMPARE(key.grab(), X11HotKey::Result::Grabbed);

    xdotool({"key", "alt+space"});
    QTRY_COMPARE_WITH_TIMEOUT(presses, 1, 10000);
    // Space alone and other Alt combinations are not the shortcut; the next real press counts
    // exactly once more, so nothing before it was taken for one.
    xdotool({"key", "space", "alt+a", "ctrl+space", "alt+space"});
    QTRY_COMPARE_WITH_TIMEOUT(presses, 2, 10000);

    // NumLock alone, both, CapsLock alone, then neither again: each grab variant is pressed.
    const struct {
      const char* key;
      uint16_t on;
    } locks[] = {{"Num_Lock", XCB_MOD_MASK_2}, {"Caps_Lock", XCB_MOD_MASK_2 | XCB_MOD_MASK_LOCK},
                 {"Num_Lock", XCB_MOD_MASK_LOCK}, {"Caps_Lock", 0}};
    for (const auto& lock : locks) {
      xdotool({"key", lock.key});
      QCOMPARE(modifierState() & (XCB_MOD_MASK_2 | XCB_MOD_MASK_LOCK), lock.on);
      const int before = presses;
      xdotool({"key", "alt+space"});
      QTRY_COMPARE_WITH_TIMEOUT(presses, before + 1, 10000);
    }
    QTest::qWait(300);
    QCOMPARE(presses, 6);
  }

  // Held down past the server's auto-repeat delay: one press, and one release when it comes up.
  void aHeldKeyIsOnePressAndOneRelease() {
    int presses = 0, releases = 0;
    int held_ms = 0;
    X11HotKey key([&] { presses++; }, [&](int ms) {
      releases++;
      held_ms = ms;
    });
    QCOMPARE(key.grab(), X11HotKey::Result::Grabbed);
    xdotool({"keydown", "alt+space"});
    QTRY_COMPARE_WITH_TIMEOUT(presses, 1, 10000);
    QTest::qWait(1200);
    QCOMPARE(releases, 0);
    xdotool({"keyup", "alt+space"});
    QTRY_COMPARE_WITH_TIMEOUT(releases, 1, 10000);
    QVERIFY2(held_ms >= 1200, qPrintable(QString::number(held_ms)));
    xdotool({"key", "alt+space"});
    QTRY_COMPARE_WITH_TIMEOUT(releases, 2, 10000);
    QCOMPARE(presses, 2);
  }

  void aKeyTakenByAnotherProgramIsReportedWithTheFallback() {
    X11HotKey first([] {});
    QCOMPARE(first.grab(), X11HotKey::Result::Grabbed);

    HotKeyService service;
    QSignalSpy noticed(&service, &HotKeyService::noticeChanged);
    service.registerHotKey();
    QCOMPARE(noticed.count(), 1);
    QVERIFY(service.notice().contains("orvane-app --toggle"));
  }

  void theKeyIsFreeAgainAfterUnregistering() {
    HotKeyService service;
    service.registerHotKey();
    QVERIFY(service.notice().isEmpty());
    service.unregisterHotKey();

    X11HotKey next([] {});
    QCOMPARE(next.grab(), X11HotKey::Result::Grabbed);
  }
};

QTEST_GUILESS_MAIN(HotKeyTest)
#include "hotkey_test.moc"
