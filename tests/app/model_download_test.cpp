// Model download against a real HTTP server on loopback (model_server.py): files fetched in
// order with progress, refusals and short bodies reported as failures with nothing saved, and
// dropped connections resumed.
#include <optional>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "core/model_directory.h"
#include "core/model_download.h"

namespace {

struct Outcome {
  QStringList statuses;
  QList<double> progress;
  QString failure;
  bool finished = false;
};

QByteArray readFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

class ModelDownloadTest : public QObject {
  Q_OBJECT

  QTemporaryDir source_;
  QProcess server_;
  QString base_;  // http://127.0.0.1:PORT

  QStringList requestLog() const {
    return QString::fromUtf8(readFile(source_.filePath(QStringLiteral("requests.log"))))
        .split(u'\n', Qt::SkipEmptyParts);
  }

  // FREE_SPACE stands in for the file system's answer; unset, the real one is asked.
  Outcome download(const QString& dir, const QString& mode, std::optional<qint64> freeSpace = {}) {
    ModelDownloader downloader;
    downloader.setRetryPause(10);
    if (freeSpace) downloader.setFreeSpaceProbe([space = *freeSpace](const QString&) { return space; });
    Outcome out;
    connect(&downloader, &ModelDownloader::statusChanged, [&](const QString& s) { out.statuses << s; });
    connect(&downloader, &ModelDownloader::progressChanged, [&](double p) { out.progress << p; });
    connect(&downloader, &ModelDownloader::failed, [&](const QString& r) { out.failure = r; });
    connect(&downloader, &ModelDownloader::finished, [&] { out.finished = true; });
    downloader.start(dir, base_ + u'/' + mode + u'/');
    if (!QTest::qWaitFor([&] { return !downloader.isRunning(); }, 60000)) out.failure = QStringLiteral("timed out");
    return out;
  }

  void expectModel(const QString& dir) {
    for (const QString& name : requiredModelFiles())
      QCOMPARE(readFile(QDir(dir).filePath(name)), readFile(source_.filePath(name)));
    QCOMPARE(QDir(dir).entryList({QStringLiteral("*.part")}, QDir::Files), QStringList());
  }

 private slots:
  void initTestCase() {
    // A weight file of a few hundred kilobytes arrives in many pieces, so progress is seen.
    QByteArray weights(600 * 1024, Qt::Uninitialized);
    QRandomGenerator rng(7);
    for (char& c : weights) c = static_cast<char>(rng.bounded(256));
    const QList<QPair<QString, QByteArray>> files = {
        {QStringLiteral("consolidated.safetensors"), weights},
        {QStringLiteral("params.json"), "{\"dim\": 3072}\n"},
        {QStringLiteral("tekken.json"), QByteArray(20000, 'v')}};
    for (const auto& [name, bytes] : files) {
      QFile f(source_.filePath(name));
      QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
    }
    server_.start(QStringLiteral("python3"), {QStringLiteral(ORVANE_APP_TEST_DIR "/model_server.py"),
                                              source_.path(), source_.filePath(QStringLiteral("requests.log"))});
    QVERIFY(server_.waitForReadyRead(30000));
    base_ = QStringLiteral("http://127.0.0.1:") + QString::fromLatin1(server_.readLine().trimmed());
  }

  void cleanupTestCase() {
    server_.kill();
    server_.waitForFinished();
  }

  void fetchesMissingFilesInOrderWithProgress() {
    QTemporaryDir dir;
    QFile::copy(source_.filePath(QStringLiteral("params.json")), dir.filePath(QStringLiteral("params.json")));
    const qsizetype before = requestLog().size();
    // -1: a file system that cannot say how much is free (a chroot without its root mount) is
    // not refused for it.
    const Outcome out = download(dir.path(), QStringLiteral("ok"), -1);
    QVERIFY2(out.finished, qPrintable(out.failure));
    expectModel(dir.path());
    QCOMPARE(requestLog().mid(before), QStringList({QStringLiteral("/ok/consolidated.safetensors "),
                                                    QStringLiteral("/ok/tekken.json ")}));
    QCOMPARE(out.statuses.first(), QStringLiteral("Downloading consolidated.safetensors..."));
    QVERIFY(out.statuses.contains(QRegularExpression(QStringLiteral("^Downloading consolidated.safetensors... [1-9][0-9]?%$"))));
    QCOMPARE(out.statuses.last(), QStringLiteral("Downloading tekken.json... 100%"));
    QVERIFY(std::is_sorted(out.progress.begin(), out.progress.end()));
    for (double third : {1.0 / 3, 2.0 / 3}) QVERIFY(out.progress.contains(third));
    QCOMPARE(out.progress.last(), 1.0);

    const Outcome again = download(dir.path(), QStringLiteral("ok"));  // complete: no request
    QVERIFY(again.finished);
    QCOMPARE(again.progress.last(), 1.0);
    QCOMPARE(requestLog().size(), before + 2);
  }

  void droppedConnectionIsResumed_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<std::optional<qint64>>("freeSpace");
    QTest::newRow("server resumes") << QStringLiteral("cut") << std::optional<qint64>();
    QTest::newRow("server ignores the range") << QStringLiteral("cutfull") << std::optional<qint64>();
  }
  void droppedConnectionIsResumed() {
    QFETCH(QString, mode);
    QFETCH(std::optional<qint64>, freeSpace);
    QTemporaryDir dir;
    const qsizetype before = requestLog().size();
    const Outcome out = download(dir.path(), mode, freeSpace);
    QVERIFY2(out.finished, qPrintable(out.failure));
    expectModel(dir.path());
    // The weight file was cut once and asked for again from where its .part file ended.
    const QString resumed = QStringLiteral("/%1/consolidated.safetensors bytes=%2-").arg(mode).arg(600 * 1024 / 2);
    QVERIFY2(requestLog().mid(before).contains(resumed), qPrintable(requestLog().mid(before).join(u'|')));
  }

  void refusalsAndShortBodiesSaveNothing_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<std::optional<qint64>>("freeSpace");
    QTest::addColumn<QString>("reason");
    QTest::newRow("not found") << QStringLiteral("ok/elsewhere") << std::optional<qint64>()
                               << QStringLiteral("HTTP 404 Not Found for consolidated.safetensors");
    QTest::newRow("always cut") << QStringLiteral("alwayscut") << std::optional<qint64>()
                                << QStringLiteral("consolidated.safetensors");
    QTest::newRow("disk full") << QStringLiteral("ok") << std::optional<qint64>(100 * 1024)
                               << QStringLiteral("not enough free space");
  }
  void refusalsAndShortBodiesSaveNothing() {
    QFETCH(QString, mode);
    QFETCH(std::optional<qint64>, freeSpace);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    const Outcome out = download(dir.path(), mode, freeSpace);
    QVERIFY(!out.finished);
    QVERIFY2(out.failure.contains(reason), qPrintable(out.failure));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("consolidated.safetensors"))));
  }
};

QTEST_GUILESS_MAIN(ModelDownloadTest)
#include "model_download_test.moc"
