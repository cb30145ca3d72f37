// Dictation through Orvane's IBus engine: a private IBus daemon starts the engine from its
// component file, the engine reads the words from this process's controller, and an IBus client
// with two fields reports the preedit and the commits each field gets.
#include <QClipboard>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "app_test_support.h"
#include "core/app_state.h"
#include "output/typing_controller.h"

namespace {

constexpr int kWaitMs = 60000;

using Kind = RecordingState::Kind;

// The IBus client: commands go to it, what its fields got comes back.
class Fields {
 public:
  Fields() {
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QObject::connect(&process_, &QProcess::readyReadStandardOutput, [this] {
      while (process_.canReadLine())
        events_ << QJsonDocument::fromJson(process_.readLine()).array();
    });
    process_.start("/usr/bin/python3", {ORVANE_IBUS_FIELDS});
  }
  ~Fields() {
    process_.closeWriteChannel();
    if (!process_.waitForFinished(5000)) process_.kill();
  }
  bool ready() const { return !events_.isEmpty() && events_[0][0] == "ready"; }
  void send(const QString& command) { process_.write(command.toUtf8() + '\n'); }
  void clear() { events_.clear(); }

  // Everything committed into FIELD since the last clear().
  QString committed(const QString& field) const {
    QString text;
    for (const QJsonArray& e : events_)
      if (e[0] == "commit" && e[1] == field) text += e[2].toString();
    return text;
  }
  // The preedit texts FIELD showed, in order.
  QStringList preedits(const QString& field) const {
    QStringList shown;
    for (const QJsonArray& e : events_)
      if (e[0] == "preedit" && e[1] == field && e[3].toBool()) shown << e[2].toString();
    return shown;
  }
  // What FIELD shows as preedit now (empty when hidden).
  QString lastPreedit(const QString& field) const {
    for (auto e = events_.crbegin(); e != events_.crend(); ++e)
      if ((*e)[0] == "preedit" && (*e)[1] == field)
        return (*e)[3].toBool() ? (*e)[2].toString() : QString();
    return {};
  }
  QString engine() {
    events_.removeIf([](const QJsonArray& e) { return e[0] == "engine"; });
    send("engine");
    if (!QTest::qWaitFor([this] { return std::ranges::any_of(events_, isEngine); }, kWaitMs))
      return {};
    return (*std::ranges::find_if(events_, isEngine))[1].toString();
  }

 private:
  static bool isEngine(const QJsonArray& e) { return e[0] == "engine"; }
  QProcess process_;
  QList<QJsonArray> events_;
};

}  // namespace

class IBusTest : public QObject {
  Q_OBJECT

  QTemporaryDir dir_;
  std::unique_ptr<AppState> state_;
  std::unique_ptr<TypingController> typing_;
  std::unique_ptr<Fields> fields_;
  QProcess player_;

  Kind kind() const { return state_->recordingState().kind(); }

  void startDictation() {
    QTRY_VERIFY_WITH_TIMEOUT(kind() == Kind::Idle || kind() == Kind::Done, kWaitMs);
    fields_->clear();
    state_->toggleRecording();
    QTRY_COMPARE_WITH_TIMEOUT(kind(), Kind::Recording, kWaitMs);
    QCOMPARE(typing_->way(), TypingController::Way::InputMethod);
    player_.start("paplay", {"--device=virt", dir_.filePath("speech.wav")});
  }

  void endDictation() {
    QTRY_COMPARE_WITH_TIMEOUT(player_.state(), QProcess::NotRunning, kWaitMs);
    state_->toggleRecording();
    QTRY_COMPARE_WITH_TIMEOUT(kind(), Kind::Done, kWaitMs);
    QVERIFY(!state_->liveText().isEmpty());
    QCOMPARE(QGuiApplication::clipboard()->text(), state_->liveText());
  }

 private slots:
  void initTestCase() {
    useFreshSettings("ibus_test");
    QVERIFY(makeTinyModel(dir_.path()));
    QVERIFY(addNonAsciiPieces(dir_.path()));
    QVERIFY(speak("Sentence one. Sentence two, and a few more words.", dir_.filePath("speech.wav")));
    state_ = std::make_unique<AppState>();
    state_->setModelDirectoryPath(dir_.path());
    typing_ = std::make_unique<TypingController>(*state_);
    fields_ = std::make_unique<Fields>();
    QTRY_VERIFY_WITH_TIMEOUT(fields_->ready(), kWaitMs);
    fields_->send("focus a");
  }

  void cleanupTestCase() {
    fields_.reset();
    typing_.reset();
    state_.reset();
  }

  // The user picked Orvane as the input source: words show as preedit while the speech plays,
  // and the field gets the transcript, byte for byte.
  void chosenEngineTypesTheTranscript() {
    fields_->send("use orvane");
    QTRY_VERIFY_WITH_TIMEOUT(typing_->inputMethods().ready(), kWaitMs);
    startDictation();
    QTRY_VERIFY_WITH_TIMEOUT(!fields_->preedits("a").isEmpty(), kWaitMs);
    QVERIFY(player_.state() != QProcess::NotRunning);
    endDictation();
    QTRY_COMPARE_WITH_TIMEOUT(fields_->committed("a"), state_->liveText(), kWaitMs);
  }

  // Escape discards the words not yet committed; the rest of the dictation is not typed.
  void escapeDiscardsThePreedit() {
    startDictation();
    QTRY_VERIFY_WITH_TIMEOUT(!fields_->preedits("a").isEmpty(), kWaitMs);
    fields_->send("escape");
    QTRY_COMPARE_WITH_TIMEOUT(fields_->lastPreedit("a"), QString(), kWaitMs);
    const QString before = fields_->committed("a");
    endDictation();
    QTest::qWait(500);
    QCOMPARE(fields_->committed("a"), before);
    QVERIFY(state_->liveText().startsWith(before));
    QVERIFY(state_->liveText().size() > before.size());
  }

  // Focus moves to field b mid-dictation: a keeps what it showed, b gets nothing.
  void focusChangeCommitsWhatIsThere() {
    startDictation();
    QTRY_VERIFY_WITH_TIMEOUT(!fields_->preedits("a").isEmpty(), kWaitMs);
    fields_->send("focus b");
    endDictation();
    QTest::qWait(500);
    const QString a = fields_->committed("a");
    QVERIFY(a.endsWith(fields_->preedits("a").last()));
    QVERIFY(state_->liveText().startsWith(a));
    QCOMPARE(fields_->committed("b"), QString());
    fields_->send("focus a");
  }

  // Another input source is in use: the engine switches to itself for the dictation and back.
  void engineSwitchesToItselfAndBack() {
    fields_->send("use xkb:us::eng");
    QCOMPARE(fields_->engine(), "xkb:us::eng");
    QTRY_VERIFY_WITH_TIMEOUT(typing_->inputMethods().ready(), kWaitMs);  // switchable
    startDictation();
    endDictation();
    QTRY_COMPARE_WITH_TIMEOUT(fields_->committed("a"), state_->liveText(), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(fields_->engine(), "xkb:us::eng", kWaitMs);
  }
};

ORVANE_AUDIO_QTEST_MAIN(QGuiApplication, IBusTest)
#include "ibus_test.moc"
