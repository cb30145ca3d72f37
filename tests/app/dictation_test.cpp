// Whole dictations through a real sound server on the small model: the live text grows while
// recording, and the clipboard ends up holding exactly what the engine makes of the captured
// audio. A second recording right after the first keeps its own stream and its own "done".
#include <QClipboard>
#include <QGuiApplication>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <cmath>

#include "app_test_support.h"
#include "core/app_settings.h"
#include "core/app_state.h"

using Kind = RecordingState::Kind;

class DictationTest : public QObject {
  Q_OBJECT

  QTemporaryDir dir_;
  std::vector<std::vector<float>> captured_;

  // Records everything the capture hands to the engine.
  void tapCapture(AppState& state) {
    auto forward = state.audioService().onAudioBuffer;
    state.audioService().onAudioBuffer = [this, forward](std::vector<float> s) {
      captured_.push_back(s);
      forward(std::move(s));
    };
  }

  // Starts a recording; the capture opens within the call, so the tap holds this one's audio.
  void start(AppState& state) {
    captured_.clear();
    state.toggleRecording();
  }

  void expectEngineTextOnClipboard(const AppState& state) {
    QCOMPARE(QGuiApplication::clipboard()->text(), state.liveText());
    QCOMPARE(state.liveText(), QString::fromUtf8(engineTranscript(dir_.path(), captured_, state.runsOnCpu())));
  }

 private slots:
  void initTestCase() {
    useFreshSettings("dictation_test");
    QVERIFY(makeTinyModel(dir_.path()));
  }

  void dictationThenAnotherWithinThreeSeconds() {
    const QString wav = dir_.filePath(QStringLiteral("speech.wav"));
    QVERIFY(speak(QStringLiteral("Please write this down: the meeting moves to Thursday at ten."), wav));
    AppState state;
    state.setModelDirectoryPath(dir_.path());
    tapCapture(state);

    start(state);
    QCOMPARE(state.recordingState(), RecordingState::loading());
    QTRY_COMPARE_WITH_TIMEOUT(state.recordingState(), RecordingState::recording(), 30000);
    QSignalSpy textGrew(&state, &AppState::liveTextChanged);
    QProcess player;
    player.start(QStringLiteral("paplay"), {QStringLiteral("--device=virt"), wav});
    QTRY_VERIFY_WITH_TIMEOUT(textGrew.size() >= 2, 30000);  // text arrives while still recording
    QVERIFY(player.waitForFinished(30000));
    const QList<float> levels = state.waveformLevels();
    QCOMPARE(levels.size(), AppState::kLevelCount);
    QVERIFY(*std::max_element(levels.begin(), levels.end()) > 0.05f);
    QCOMPARE(state.recordingState(), RecordingState::recording());
    state.toggleRecording();
    QCOMPARE(state.recordingState(), RecordingState::processing());
    QTRY_COMPARE_WITH_TIMEOUT(state.recordingState(), RecordingState::done(), 30000);
    QVERIFY(!state.liveText().isEmpty());
    expectEngineTextOnClipboard(state);

    // Straight away a second recording: the first one's stream release and its 3 s timer must
    // leave it alone. The model is loaded, so it records at once.
    start(state);
    QCOMPARE(state.recordingState(), RecordingState::recording());
    QCOMPARE(state.liveText(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(state.recordingState(), RecordingState::recording(), 30000);
    QTest::qWait(AppState::kDoneHoldMs + 500);
    QCOMPARE(state.recordingState(), RecordingState::recording());
    state.toggleRecording();
    QTRY_COMPARE_WITH_TIMEOUT(state.recordingState(), RecordingState::done(), 30000);
    expectEngineTextOnClipboard(state);
    QTRY_COMPARE_WITH_TIMEOUT(state.recordingState(), RecordingState::idle(), AppState::kDoneHoldMs + 5000);
  }

  // A second microphone chosen in the settings hears the speech while the default one hears
  // nothing; unplugged mid-recording, the words so far are kept and copied.
  void chosenMicrophoneThenUnplugged() {
    auto pactl = [](const QStringList& args) {
      QProcess p;
      p.start(QStringLiteral("pactl"), args);
      p.waitForFinished(10000);
      return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    };
    QVERIFY(!pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"), QStringLiteral("sink_name=virt2")}).isEmpty());
    const QString remap = pactl({QStringLiteral("load-module"), QStringLiteral("module-remap-source"),
                                 QStringLiteral("master=virt2.monitor"), QStringLiteral("source_name=mic2")});
    QVERIFY(!remap.isEmpty());
    AppState state;
    state.setModelDirectoryPath(dir_.path());
    tapCapture(state);
    const QString wav = dir_.filePath(QStringLiteral("speech.wav"));
    auto dictate = [&](int unplug_after_text) {
      start(state);
      QTRY_COMPARE_WITH_TIMEOUT(state.recordingState(), RecordingState::recording(), 30000);
      QProcess player;
      player.start(QStringLiteral("paplay"), {QStringLiteral("--device=virt2"), wav});
      if (unplug_after_text) {
        QTRY_VERIFY_WITH_TIMEOUT(!state.liveText().isEmpty(), 30000);
        pactl({QStringLiteral("unload-module"), remap});
        QTRY_COMPARE_WITH_TIMEOUT(state.recordingState().kind(), Kind::Error, 30000);
        player.waitForFinished(30000);
        return;
      }
      QTRY_COMPARE_WITH_TIMEOUT(player.state(), QProcess::NotRunning, 30000);
      state.toggleRecording();
      QTRY_COMPARE_WITH_TIMEOUT(state.recordingState(), RecordingState::done(), 30000);
    };

    appSettings().setValue(kInputDeviceKey, QStringLiteral("mic2"));
    dictate(false);
    QVERIFY(state.notice().isEmpty());
    QVERIFY(!state.liveText().isEmpty());
    expectEngineTextOnClipboard(state);

    // The same speech into the other sink: the chosen microphone hears silence.
    start(state);
    QTRY_COMPARE_WITH_TIMEOUT(state.recordingState(), RecordingState::recording(), 30000);
    QCOMPARE(QProcess::execute(QStringLiteral("paplay"), {QStringLiteral("--device=virt"), wav}), 0);
    state.toggleRecording();
    QTRY_COMPARE_WITH_TIMEOUT(state.recordingState(), RecordingState::done(), 30000);
    float loudest = 0;
    for (const auto& b : captured_)
      for (float x : b) loudest = std::max(loudest, std::fabs(x));
    QVERIFY2(loudest < 0.01f, qPrintable(QString::number(loudest)));

    dictate(true);
    QVERIFY2(state.recordingState().text().contains(QStringLiteral("disconnected")), qPrintable(state.recordingState().text()));
    QVERIFY(!state.liveText().isEmpty());
    QCOMPARE(QGuiApplication::clipboard()->text(), state.liveText());

    // Gone now: the next recording takes the default microphone and says so.
    start(state);
    QTRY_COMPARE_WITH_TIMEOUT(state.recordingState(), RecordingState::recording(), 30000);
    QVERIFY(state.notice().contains(QStringLiteral("not connected")));
    state.toggleRecording();
    QTRY_COMPARE_WITH_TIMEOUT(state.recordingState(), RecordingState::done(), 30000);
    appSettings().remove(kInputDeviceKey);
  }

  // Loaded at launch, freed when idle, loaded again by the next press: the speech played while
  // that load runs is all transcribed.
  void warmStartAndIdleUnloadLoseNoAudio() {
    appSettings().setValue(kUnloadAfterIdleKey, 1);
    AppState state;
    state.setModelDirectoryPath(dir_.path());
    tapCapture(state);
    state.preloadModel();
    QTRY_VERIFY_WITH_TIMEOUT(state.modelLoaded(), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(!state.modelLoaded(), 5000);

    start(state);
    QCOMPARE(state.recordingState(), RecordingState::loading());
    QProcess player;
    player.start(QStringLiteral("paplay"), {QStringLiteral("--device=virt"), dir_.filePath(QStringLiteral("speech.wav"))});
    QTRY_COMPARE_WITH_TIMEOUT(player.state(), QProcess::NotRunning, 30000);
    QTRY_COMPARE_WITH_TIMEOUT(state.recordingState(), RecordingState::recording(), 30000);
    state.toggleRecording();
    QTRY_COMPARE_WITH_TIMEOUT(state.recordingState(), RecordingState::done(), 30000);
    QVERIFY(!state.liveText().isEmpty());
    expectEngineTextOnClipboard(state);
    QTRY_VERIFY_WITH_TIMEOUT(!state.modelLoaded(), 5000);
    appSettings().remove(kUnloadAfterIdleKey);
  }
};

ORVANE_AUDIO_QTEST_MAIN(QGuiApplication, DictationTest)
#include "dictation_test.moc"
