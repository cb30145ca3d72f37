// The transcript history file: kept across restarts, trimmed, edited, switched off, and never
// lost or truncated because of a torn, foreign or huge file.
#include <QFile>
#include <QGuiApplication>
#include <QClipboard>
#include <QRegularExpression>
#include <QtTest>

#include "app_test_support.h"
#include "core/app_settings.h"
#include "core/transcript_history.h"

namespace {

QStringList texts(const TranscriptHistory& h) {
  QStringList out;
  for (const QVariant& e : h.entries()) out << e.toMap().value(QStringLiteral("text")).toString();
  return out;
}

void append(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  QVERIFY(f.open(QIODevice::Append));
  QCOMPARE(f.write(bytes), bytes.size());
}

}  // namespace

class HistoryTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    useFreshSettings("history_test");
    QFile::remove(TranscriptHistory::defaultPath());
  }

  void keptAcrossRestartsTrimmedEditedAndCleared() {
    appSettings().setValue(kHistoryLengthKey, 3);
    {
      TranscriptHistory h;
      const QDateTime t0 = QDateTime::currentDateTime();
      for (int i = 1; i <= 8; i++) h.add(QStringLiteral("entry %1").arg(i), t0.addSecs(i));
      h.add(QString());  // an empty transcript is not kept
      QCOMPARE(texts(h), QStringList({"entry 8", "entry 7", "entry 6"}));
    }
    TranscriptHistory h;  // a restart
    QCOMPARE(texts(h), QStringList({"entry 8", "entry 7", "entry 6"}));
    QCOMPARE(h.entries().first().toMap().value("time").toDateTime(), h.list().last().time);
    h.copy(1);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("entry 7"));
    h.remove(1);
    QCOMPARE(texts(TranscriptHistory()), QStringList({"entry 8", "entry 6"}));
    h.clear();
    QVERIFY(!QFile::exists(h.path()));
    QVERIFY(texts(TranscriptHistory()).isEmpty());

    appSettings().setValue(kKeepHistoryKey, false);
    h.add(QStringLiteral("private"));
    QVERIFY(!QFile::exists(h.path()));
  }

  // A crash left a torn line; other programs left foreign ones: each is skipped with one
  // warning, the file keeps every byte, and the next entry is not glued to the torn line.
  void damagedFileIsReadAroundAndKept() {
    const QString path = TranscriptHistory::defaultPath();
    QDir().mkpath(QFileInfo(path).path());
    TranscriptHistory(path).add(QStringLiteral("first"));
    QByteArray noise(300, '\0');
    for (int i = 0; i < noise.size(); i++) noise[i] = char((i * 37 + 11) % 256);
    append(path, noise + "\nnot json\n[1,2]\n{\"text\": 3, \"time\": \"x\"}\n{\"time\":\"2026-12-07T0");
    const qint64 size = QFileInfo(path).size();

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("skipped [0-9]+ unreadable lines"));
    TranscriptHistory h(path);
    QCOMPARE(texts(h), QStringList{"first"});
    QCOMPARE(QFileInfo(path).size(), size);
    h.add(QStringLiteral("second"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("skipped [0-9]+ unreadable lines"));
    QCOMPARE(texts(TranscriptHistory(path)), QStringList({"second", "first"}));
    QVERIFY(QFileInfo(path).size() > size);
  }

  // A 2 GB file (sparse: zero bytes) is not read whole, and is appended to, not replaced.
  void hugeFileOnlyItsEndIsRead() {
    const QString path = TranscriptHistory::defaultPath();
    QDir().mkpath(QFileInfo(path).path());
    {
      QFile f(path);
      QVERIFY(f.open(QIODevice::WriteOnly));
      QVERIFY(f.resize(qint64(2) << 30));
    }
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("skipped 1 unreadable lines"));
    TranscriptHistory h(path);
    h.add(QStringLiteral("after the zeros"));
    QCOMPARE(texts(TranscriptHistory(path)), QStringList{"after the zeros"});
    QVERIFY(QFileInfo(path).size() > (qint64(2) << 30));
    QFile::remove(path);
  }
};

QTEST_MAIN(HistoryTest)
#include "history_test.moc"
