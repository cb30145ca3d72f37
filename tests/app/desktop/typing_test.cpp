// Dictation into another program's text field on a private X server: real Alt+Space presses,
// speech into a private sound server, the words typed through XTest while they are decoded. The
// model's vocabulary carries characters that the keyboard layouts lack, so typing them borrows
// keycodes; the keymap must be the user's again afterwards.
#include <QApplication>
#include <QDir>
#include <QPlainTextEdit>
#include <QProcess>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>

#include "app_test_support.h"
#include "desktop_session.h"
#include "output/xtest_typer.h"

namespace {

constexpr int kWaitMs = 60000;

// The text field; it counts the keys that reached it with a modifier other than Shift, which an
// application would take as shortcuts.
class Field : public QPlainTextEdit {
 public:
  int shortcuts = 0;

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    const bool modifier_key = (event->key() >= Qt::Key_Shift && event->key() <= Qt::Key_Alt) ||
                              event->key() == Qt::Key_AltGr;
    if (!modifier_key && event->modifiers() & (Qt::AltModifier | Qt::ControlModifier)) shortcuts++;
    QPlainTextEdit::keyPressEvent(event);
  }
};

}  // namespace

class TypingTest : public DesktopSession {
  Q_OBJECT

  std::unique_ptr<Field> field_;

  // How the user drives one dictation: two short Alt+Space presses, the same with Alt held from
  // the first press until the first words are decoded, or push-to-talk (Alt+Space held until
  // the speech has ended, longer than the typer's wait for held modifiers).
  enum class Press { Taps, AltHeld, PushToTalk };

  void dictate(Press press) {
    QTRY_VERIFY_WITH_TIMEOUT(kind() == Kind::Idle || kind() == Kind::Done, kWaitMs);
    field_->clear();
    field_->shortcuts = 0;
    run("xdotool", {"windowfocus", "--sync", QString::number(field_->winId())});
    QTRY_VERIFY(field_->hasFocus());
    seen_.clear();
    QSignalSpy typed(&shell_->typing(), &TypingController::typingFinished);
    if (press == Press::AltHeld) {
      run("xdotool", {"keydown", "alt", "key", "space"});
    } else if (press == Press::PushToTalk) {
      run("xdotool", {"keydown", "alt+space"});
    } else {
      run("xdotool", {"key", "alt+space"});
    }
    QTRY_COMPARE_WITH_TIMEOUT(kind(), Kind::Recording, kWaitMs);
    QProcess player;
    player.start("paplay", {"--device=virt", dir_.filePath("speech.wav")});
    if (press != Press::Taps) {
      QTRY_VERIFY_WITH_TIMEOUT(!state_->liveText().isEmpty(), kWaitMs);
      QTest::qWait(press == Press::AltHeld ? 300 : XTestTyper::kModifierWaitMs + 200);
    }
    if (press == Press::AltHeld) run("xdotool", {"keyup", "alt"});
    QTRY_COMPARE_WITH_TIMEOUT(player.state(), QProcess::NotRunning, kWaitMs);
    if (press == Press::PushToTalk) {
      QCOMPARE(kind(), Kind::Recording);  // typing released no key of the user's
      QVERIFY(field_->toPlainText().isEmpty());  // the words wait for the key to come up
      run("xdotool", {"keyup", "alt+space"});
    } else {
      run("xdotool", {"key", "alt+space"});
    }
    QTRY_COMPARE_WITH_TIMEOUT(kind(), Kind::Done, kWaitMs);
    // Typed words never reach the hot key: exactly one recording, stopped by the user.
    QCOMPARE(seen_, QList<Kind>({Kind::Recording, Kind::Processing, Kind::Done}));
    if (shell_->typing().way() != TypingController::Way::None)
      QTRY_COMPARE_WITH_TIMEOUT(typed.size(), 1, kWaitMs);
  }

 private slots:
  void initTestCase() {
    QVERIFY(start("typing_test", "Sentence one. Sentence two, and a few more words.", false,
                  addNonAsciiPieces));
    QCOMPARE(shell_->typing().outputMode(), "type");
    // Loaded at launch, as the app does: every dictation starts recording at once.
    state_->preloadModel();
    QTRY_VERIFY_WITH_TIMEOUT(state_->modelLoaded(), kWaitMs);
    field_ = std::make_unique<Field>();
    field_->setWindowTitle("field");
    field_->show();
    QVERIFY(QTest::qWaitForWindowExposed(field_.get()));
  }

  void cleanupTestCase() {
    run("setxkbmap", {"us"});
    field_.reset();
    stop();
  }

  void wordsAreTypedIntoTheFocusedField_data() {
    QTest::addColumn<QString>("layout");
    QTest::addColumn<Press>("press");
    QTest::addColumn<bool>("capsLock");
    QTest::newRow("us, Alt held through the first words") << "us" << Press::AltHeld << false;
    QTest::newRow("de, Caps Lock on") << "de" << Press::Taps << true;
    QTest::newRow("us, push-to-talk") << "us" << Press::PushToTalk << false;
  }

  void wordsAreTypedIntoTheFocusedField() {
    QFETCH(QString, layout);
    QFETCH(Press, press);
    QFETCH(bool, capsLock);
    run("setxkbmap", {layout});
    if (capsLock) run("xdotool", {"key", "Caps_Lock"});
    const QString keymap = run("xmodmap", {"-pke"});
    QVERIFY(keymap.contains("keycode"));

    dictate(press);
    if (capsLock) {
      QVERIFY(run("xset", {"q"}).contains("Caps Lock:   on"));  // as the user left it
      run("xdotool", {"key", "Caps_Lock"});
    }
    QCOMPARE(shell_->typing().way(), TypingController::Way::Xtest);
    const QString transcript = state_->liveText();
    QVERIFY(std::ranges::any_of(transcript, [](QChar c) { return c.unicode() > 0x7f; }));
    QCOMPARE(field_->toPlainText(), transcript);
    QCOMPARE(field_->shortcuts, 0);
    QCOMPARE(run("xclip", {"-o", "-selection", "clipboard"}), transcript);
    QCOMPARE(run("xmodmap", {"-pke"}), keymap);
    QVERIFY(shell_->typing().notice().isEmpty());
  }

  // The settings window turns typing off: the next transcript goes to the clipboard only.
  void clipboardModeTypesNothing() {
    shell_->views().openSettings();
    QQuickWindow* settings = shell_->views().settings();
    QVERIFY(QTest::qWaitForWindowExposed(settings));
    auto* button = settings->findChild<QQuickItem*>("outputClipboardButton");
    QVERIFY(button);
    QTest::mouseClick(settings, Qt::LeftButton, {},
                      button->mapToScene(QPointF(button->width() / 2, button->height() / 2)).toPoint());
    QCOMPARE(shell_->typing().outputMode(), "clipboard");
    settings->close();

    dictate(Press::Taps);
    QCOMPARE(shell_->typing().way(), TypingController::Way::None);
    QVERIFY(!state_->liveText().isEmpty());
    QCOMPARE(field_->toPlainText(), QString());
    QCOMPARE(run("xclip", {"-o", "-selection", "clipboard"}), state_->liveText());
    QVERIFY(shell_->typing().notice().isEmpty());
    shell_->typing().setOutputMode("type");
  }

  // Neither an input method of ours nor an X11 session (a Wayland one here): the panel says what
  // to set up, and the transcript is on the clipboard.
  void withoutAWayToTypeThePanelSaysSo() {
    qputenv("WAYLAND_DISPLAY", "wayland-none");
    dictate(Press::Taps);
    qunsetenv("WAYLAND_DISPLAY");
    QCOMPARE(shell_->typing().way(), TypingController::Way::None);
    QCOMPARE(field_->toPlainText(), QString());
    QCOMPARE(run("xclip", {"-o", "-selection", "clipboard"}), state_->liveText());
    QVERIFY(shell_->typing().notice().contains("input method"));
    auto* notice = shell_->views().panel()->findChild<QQuickItem*>("typingNotice");
    QVERIFY(notice && notice->isVisible());
  }
};

ORVANE_AUDIO_QTEST_MAIN(QApplication, TypingTest)
#include "typing_test.moc"
