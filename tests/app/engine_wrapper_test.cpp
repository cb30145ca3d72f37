// The engine wrapper on a generated model: its error values, and text that stays whole when the
// vocabulary's tokens split characters across tokens and across reads.
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include "app_test_support.h"
#include "core/orvane_engine.h"
#include "core/utf8_joiner.h"

namespace {

template <typename F>
OrvaneError::Code thrownCode(F&& f) {
  try {
    f();
  } catch (const OrvaneError& e) {
    return e.code();
  }
  return static_cast<OrvaneError::Code>(-1);
}

// Every text token is the last three bytes of U+1F600, a few letters, then that character's
// first byte: joined in any order the tokens spell whole characters, one token alone none.
bool splitCharacterVocabulary(const QString& modelDir) {
  QFile file(modelDir + QStringLiteral("/tekken.json"));
  if (!file.open(QIODevice::ReadOnly)) return false;
  QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
  file.close();
  QJsonArray vocab = root[QStringLiteral("vocab")].toArray();
  for (qsizetype i = 0; i < vocab.size(); i++) {
    QByteArray piece("\x9F\x98\x80");
    for (qsizetype r = i + 1; r > 0; r /= 26) piece += char('a' + r % 26);
    piece += '\xF0';
    QJsonObject entry = vocab[i].toObject();
    entry[QStringLiteral("token_bytes")] = QString::fromLatin1(piece.toBase64());
    entry.remove(QStringLiteral("token_str"));
    vocab[i] = entry;
  }
  root[QStringLiteral("vocab")] = vocab;
  return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
         file.write(QJsonDocument(root).toJson()) > 0;
}

}  // namespace

class EngineWrapperTest : public QObject {
  Q_OBJECT

 private slots:
  void failuresBecomeTheirErrors() {
    OrvaneEngine engine;
    QCOMPARE(thrownCode([&] { engine.startStream(); }), OrvaneError::modelNotLoaded);
    QCOMPARE(thrownCode([&] { engine.feedAudio({}); }), OrvaneError::noActiveStream);
    QCOMPARE(thrownCode([&] { engine.finishStream(); }), OrvaneError::noActiveStream);
    QCOMPARE(engine.pollTokens(), QString());
    QTemporaryDir empty;
    QCOMPARE(thrownCode([&] { engine.loadModel(empty.path()); }), OrvaneError::modelLoadFailed);
    QVERIFY(!engine.isModelLoaded());

    QTemporaryDir dir;
    QVERIFY(makeTinyModel(dir.path()));
    engine.loadModel(dir.path());
    QVERIFY(engine.isModelLoaded());
    engine.startStream();
    engine.loadModel(dir.path());  // loaded already: the stream stays
    QCOMPARE(thrownCode([&] { engine.feedAudio({}); }), OrvaneError::feedFailed);
    QVERIFY(engine.hasStream());
    // Another directory replaces the model; one that fails leaves none.
    QCOMPARE(thrownCode([&] { engine.loadModel(empty.path()); }), OrvaneError::modelLoadFailed);
    QVERIFY(!engine.isModelLoaded() && !engine.hasStream());
    engine.loadModel(dir.path());
    engine.warmUp();
    QVERIFY(engine.isModelLoaded() && !engine.hasStream());
    engine.unload();
    QVERIFY(!engine.isModelLoaded());
    QCOMPARE(QString::fromUtf8(OrvaneError(OrvaneError::feedFailed).what()),
             QStringLiteral("Failed to feed audio to transcription engine"));
  }

  void joinerHoldsOnlyUnfinishedCharacters() {
    const QByteArray text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // a é € 😀 z
    for (qsizetype cut = 0; cut <= text.size(); cut++) {
      Utf8Joiner joiner;
      QString out = joiner.push(std::string_view(text.constData(), cut));
      out += joiner.push(std::string_view(text.constData() + cut, text.size() - cut));
      QCOMPARE(out, QString::fromUtf8(text));
      QCOMPARE(joiner.flush(), QString());
    }
    Utf8Joiner joiner;  // a stray continuation byte is not held back; a dangling lead is at the end
    QCOMPARE(joiner.push("\x80" "b\xE2\x82"), QStringLiteral("\uFFFD" "b"));
    QCOMPARE(joiner.flush(), QString::fromUtf8("\xE2\x82"));
  }

  // Polled after every feed, or drained only at the finish (more than one read's worth of
  // tokens), the text equals the engine's bytes decoded in one piece.
  void charactersSplitAcrossTokensAndReadsStayWhole() {
    QTemporaryDir dir;
    QVERIFY(makeTinyModel(dir.path()));
    QVERIFY(splitCharacterVocabulary(dir.path()));
    const QString wav = dir.filePath(QStringLiteral("speech.wav"));
    QVERIFY(speak(QStringLiteral("The quick brown fox jumps over the lazy dog, then rests for a "
                                 "while in the warm afternoon sun."), wav));
    const auto pieces = cutInPieces(loadWav(wav), 1600);
    int tokens = 0;
    const bool cpu = orv_gpu_init() == 0;  // the wrapper decodes with 8-bit weights on the CPU
    const QString expected = QString::fromUtf8(engineTranscript(dir.path(), pieces, cpu, &tokens));
    QVERIFY2(tokens > 64, qPrintable(QString::number(tokens)));
    QCOMPARE(expected.count(QStringLiteral("\U0001F600")), tokens - 1);  // one at each junction

    for (const bool pollEachFeed : {true, false}) {
      OrvaneEngine engine;
      engine.loadModel(dir.path());
      engine.startStream();
      QString text;
      for (const auto& piece : pieces) {
        engine.feedAudio(piece);
        if (pollEachFeed) text += engine.pollTokens();
      }
      text += engine.finishStream();
      QCOMPARE(text, expected);
    }
  }
};

QTEST_GUILESS_MAIN(EngineWrapperTest)
#include "engine_wrapper_test.moc"
