// Dictation through Orvane's IBus engine: a private IBus daemon starts the engine from its
// component file, the engine reads the words from this process's controller, and an IBus client
// with two fields reports the preedit and the commits each field gets.
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTest>

#include "app_test_support.h"
#include "spoken_dictation.h"

namespace {

constexpr int kWaitMs = SpokenDictation::kWaitMs;

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

  SpokenDictation dictation_;
  std::unique_ptr<Fields> fields_;

  QString transcript() { return dictation_.state().liveText(); }

 private slots:
  void initTestCase() {
    QVERIFY(dictation_.setUp("ibus_test"));
    fields_ = std::make_unique<Fields>();
    QTRY_VERIFY_WITH_TIMEOUT(fields_->ready(), kWaitMs);
    fields_->send("focus a");
  }

  void cleanupTestCase() {
    fields_.reset();
    dictation_.tearDown();
  }

  // The user picked Orvane as the input source: words show as preedit while the speech plays,
  // and the field gets the transcript, byte for byte.
  void chosenEngineTypesTheTranscript() {
    fields_->send("use orvane");
    QTRY_VERIFY_WITH_TIMEOUT(dictation_.typing().inputMethods().ready(), kWaitMs);
    dictation_.start([this] { fields_->clear(); });
    QTRY_VERIFY_WITH_TIMEOUT(!fields_->preedits("a").isEmpty(), kWaitMs);
    dictation_.finish();
    QTRY_COMPARE_WITH_TIMEOUT(fields_->committed("a"), transcript(), kWaitMs);
  }

  // Escape discards the words not yet committed; the rest of the dictation is not typed.
  void escapeDiscardsThePreedit() {
    dictation_.start([this] { fields_->clear(); });
    QTRY_VERIFY_WITH_TIMEOUT(!fields_->preedits("a").isEmpty(), kWaitMs);
    fields_->send("escape");
    QTRY_COMPARE_WITH_TIMEOUT(fields_->lastPreedit("a"), QString(), kWaitMs);
    const QString before = fields_->committed("a");
    dictation_.finish();
    QTest::qWait(500);
    QCOMPARE(fields_->committed("a"), before);
    QVERIFY(transcript().startsWith(before) && transcript().size() > before.size());
  }

  // Focus moves to field b mid-dictation: a keeps what it showed, b gets nothing.
  void focusChangeCommitsWhatIsThere() {
    dictation_.start([this] { fields_->clear(); });
    QTRY_VERIFY_WITH_TIMEOUT(!fields_->preedits("a").isEmpty(), kWaitMs);
    fields_->send("focus b");
    dictation_.finish();
    QTest::qWait(500);
    const QString a = fields_->committed("a");
    QVERIFY(a.endsWith(fields_->preedits("a").last()));
    QVERIFY(transcript().startsWith(a));
    QCOMPARE(fields_->committed("b"), QString());
    fields_->send("focus a");
  }

  // Another input source is in use: the engine switches to itself for the dictation and back.
  void engineSwitchesToItselfAndBack() {
    fields_->send("use xkb:us::eng");
    QCOMPARE(fields_->engine(), "xkb:us::eng");
    QTRY_VERIFY_WITH_TIMEOUT(dictation_.typing().inputMethods().ready(), kWaitMs);  // switchable
    dictation_.start([this] { fields_->clear(); });
    dictation_.finish();
    QTRY_COMPARE_WITH_TIMEOUT(fields_->committed("a"), transcript(), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(fields_->engine(), "xkb:us::eng", kWaitMs);
  }
};

ORVANE_AUDIO_QTEST_MAIN(QGuiApplication, IBusTest)
#include "ibus_test.moc"
