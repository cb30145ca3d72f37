// Capture from a real sound server: speech played into the null sink comes back through the
// default source as 16 kHz mono in tenth-of-a-second buffers that match the file.
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <cmath>
#include <numeric>

#include "app_test_support.h"
#include "core/audio_capture.h"

namespace {

size_t firstLoud(const std::vector<float>& x) {
  for (size_t i = 0; i < x.size(); i++)
    if (std::fabs(x[i]) > 0.05f) return i;
  return x.size();
}

// Normalised correlation of B against A shifted by LAG samples, over A's length.
double correlation(const std::vector<float>& a, const std::vector<float>& b, long lag) {
  double ab = 0, aa = 0, bb = 0;
  for (size_t i = 0; i < a.size(); i++) {
    const long j = static_cast<long>(i) + lag;
    const double y = j >= 0 && j < static_cast<long>(b.size()) ? b[static_cast<size_t>(j)] : 0.0;
    ab += a[i] * y;
    aa += double(a[i]) * a[i];
    bb += y * y;
  }
  return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}

}  // namespace

class AudioCaptureTest : public QObject {
  Q_OBJECT

 private slots:
  void levelsAreRmsOfFourChunks() {
    std::vector<float> samples(1601, 0.5f);
    samples.back() = 100.0f;  // past the four chunks: left out
    QCOMPARE(AudioCaptureService::levels(samples), QList<float>(4, 0.5f));
    const float two[] = {-0.3f, 0.4f};
    QCOMPARE(AudioCaptureService::levels(two), QList<float>({0.3f, 0.4f}));
    QCOMPARE(AudioCaptureService::levels({}), QList<float>());
  }

  void capturesPlayedSpeech() {
    QTemporaryDir dir;
    const QString wav = dir.filePath(QStringLiteral("speech.wav"));
    QVERIFY(speak(QStringLiteral("Testing the microphone, one two three."), wav));
    const std::vector<float> reference = loadWav(wav);

    AudioCaptureService audio;
    std::vector<std::vector<float>> buffers;
    QList<float> levels;
    audio.onAudioBuffer = [&](std::vector<float> s) { buffers.push_back(std::move(s)); };
    audio.onAudioLevels = [&](QList<float> l) { levels += l; };
    audio.start();
    QTRY_VERIFY_WITH_TIMEOUT(buffers.size() >= 3, 20000);
    QVERIFY(QProcess::execute(QStringLiteral("paplay"), {QStringLiteral("--device=virt"), wav}) == 0);
    QTest::qWait(1500);  // the tail of the speech still on its way
    audio.stop();
    audio.stop();

    QVERIFY(buffers.size() > 20);
    for (size_t i = 0; i + 1 < buffers.size(); i++)  // the last one is what stop() found
      QCOMPARE(buffers[i].size(), size_t{1600});
    QVERIFY(!buffers.back().empty() && buffers.back().size() <= 1600);
    QVERIFY(levels.size() >= 4 * static_cast<qsizetype>(buffers.size() - 1));
    QCOMPARE(levels.first(), 0.0f);  // nothing playing yet
    QVERIFY(*std::max_element(levels.begin(), levels.end()) > 0.05f);

    std::vector<float> captured;
    for (const auto& b : buffers) captured.insert(captured.end(), b.begin(), b.end());
    // Line the recording up by the first loud sample, then look for the best lag nearby: a
    // wrong rate or channel mix would smear the match.
    const long coarse = static_cast<long>(firstLoud(captured)) - static_cast<long>(firstLoud(reference));
    double best = 0;
    for (long lag = coarse - 400; lag <= coarse + 400; lag++) best = std::max(best, correlation(reference, captured, lag));
    QVERIFY2(best > 0.9, qPrintable(QString::number(best)));

    buffers.clear();  // a second start opens the input afresh
    audio.start();
    QTRY_VERIFY_WITH_TIMEOUT(!buffers.empty(), 20000);
    audio.stop();
  }

  // The same tone on both channels of the stereo microphone (a stereo file, so the server does
  // not mix it) keeps its level in the mono mix:
  // a sine of amplitude 0.5 has an RMS of 0.354 (summing the channels would double it).
  void stereoToneKeepsItsLevel() {
    QCOMPARE(defaultInputDevice().preferredFormat().channelCount(), 2);
    QTemporaryDir dir;
    const QString wav = dir.filePath(QStringLiteral("tone.wav"));
    QCOMPARE(QProcess::execute(QStringLiteral("sox"), {QStringLiteral("-n"), QStringLiteral("-r"), QStringLiteral("16000"),
                                                    QStringLiteral("-c"), QStringLiteral("2"), wav, QStringLiteral("synth"),
                                                    QStringLiteral("1"), QStringLiteral("sine"), QStringLiteral("440"),
                                                    QStringLiteral("vol"), QStringLiteral("0.5")}),
             0);
    AudioCaptureService audio;
    float loudest = 0;
    int buffers = 0;
    audio.onAudioBuffer = [&](std::vector<float> s) {
      buffers++;
      loudest = std::max(loudest, AudioCaptureService::levels(s).value(0));
    };
    audio.start();
    QTRY_VERIFY_WITH_TIMEOUT(buffers >= 3, 20000);
    QProcess player;
    player.start(QStringLiteral("paplay"), {QStringLiteral("--device=virt"), wav});
    QTRY_COMPARE_WITH_TIMEOUT(player.state(), QProcess::NotRunning, 20000);
    QTest::qWait(500);
    audio.stop();
    QVERIFY2(std::fabs(loudest - 0.3536f) < 0.03f, qPrintable(QString::number(loudest)));
  }
};

ORVANE_AUDIO_QTEST_MAIN(QCoreApplication, AudioCaptureTest)
#include "audio_capture_test.moc"
