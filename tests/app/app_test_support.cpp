#include "app_test_support.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <cstdlib>
#include <memory>

#include "orvane.h"

void useFreshSettings(const char* testName) {
  const QString root = QStringLiteral(ORVANE_TEST_WORK_DIR "/") + QString::fromLatin1(testName);
  QDir(root).removeRecursively();
  QDir().mkpath(root);
  qputenv("XDG_CONFIG_HOME", (root + QStringLiteral("/config")).toUtf8());
  qputenv("XDG_DATA_HOME", (root + QStringLiteral("/data")).toUtf8());
  qunsetenv("ORVANE_MODEL_URL");
}

static bool runTool(const QString& program, const QStringList& args) {
  QProcess p;
  p.setProcessChannelMode(QProcess::ForwardedChannels);
  p.start(program, args);
  return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool makeTinyModel(const QString& dir) {
  return runTool(QStringLiteral(ORVANE_MKMODEL), {QStringLiteral("--shape"), QStringLiteral("tiny"),
                                                  QStringLiteral("--seed"), QStringLiteral("1"), dir});
}

bool addNonAsciiPieces(const QString& dir) {
  QFile file(dir + QStringLiteral("/tekken.json"));
  if (!file.open(QIODevice::ReadOnly)) return false;
  QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
  file.close();
  const QStringList extra = {QStringLiteral("é"), QStringLiteral("ß"), QStringLiteral("日本"),
                            QStringLiteral("🎤"), QStringLiteral("ü")};
  QJsonArray vocab = root[QStringLiteral("vocab")].toArray();
  for (qsizetype i = 0x7f - 0x20; i < vocab.size(); i++) {
    QJsonObject entry = vocab[i].toObject();
    const QString key = QStringLiteral("token_bytes");
    QByteArray bytes = QByteArray::fromBase64(entry[key].toString().toLatin1());
    bytes += extra[i % extra.size()].toUtf8();
    entry[key] = QString::fromLatin1(bytes.toBase64());
    vocab[i] = entry;
  }
  root[QStringLiteral("vocab")] = vocab;
  return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
         file.write(QJsonDocument(root).toJson()) > 0;
}

bool speak(const QString& text, const QString& path) {
  return runTool(QStringLiteral("espeak-ng"), {QStringLiteral("-w"), path, text});
}

std::vector<float> loadWav(const QString& path) {
  int n = 0;
  std::unique_ptr<float, decltype(&std::free)> samples(orv_load_wav(path.toUtf8().constData(), &n), &std::free);
  if (!samples) return {};
  return std::vector<float>(samples.get(), samples.get() + n);
}

QByteArray engineTranscript(const QString& modelDir, const std::vector<std::vector<float>>& pieces,
                            bool int8, int* tokens) {
  std::unique_ptr<orv_ctx_t, decltype(&orv_free)> ctx(orv_load(modelDir.toUtf8().constData()), &orv_free);
  if (!ctx || (int8 && orv_set_int8(ctx.get(), 1) != 0)) return {};
  std::unique_ptr<orv_stream_t, decltype(&orv_stream_free)> s(orv_stream_create(ctx.get()), &orv_stream_free);
  if (!s) return {};
  for (const auto& piece : pieces)
    if (!piece.empty()) orv_stream_feed(s.get(), piece.data(), static_cast<int>(piece.size()));
  orv_stream_finish(s.get());
  QByteArray bytes;
  int count = 0;
  const char* out[64];
  for (int got; (got = orv_stream_get(s.get(), out, 64)) > 0; count += got)
    for (int i = 0; i < got; i++) bytes += out[i];
  if (tokens) *tokens = count;
  return bytes;
}

QString run(const QString& program, const QStringList& args, int* exit_code) {
  QProcess process;
  process.start(program, args);
  if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 60000)) {
    process.kill();
    process.waitForFinished();
  }
  if (exit_code)
    *exit_code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  return QString::fromUtf8(process.readAllStandardOutput());
}

std::vector<std::vector<float>> cutInPieces(const std::vector<float>& samples, size_t piece) {
  std::vector<std::vector<float>> pieces;
  for (size_t at = 0; at < samples.size(); at += piece)
    pieces.emplace_back(samples.begin() + static_cast<long>(at),
                        samples.begin() + static_cast<long>(std::min(samples.size(), at + piece)));
  return pieces;
}
