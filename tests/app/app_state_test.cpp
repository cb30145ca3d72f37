// The recording state machine without a sound server: start-up, presses while busy, and the
// errors a user meets first (no model and no address to fetch it from, a broken model, no
// microphone).
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "app_test_support.h"
#include "core/app_settings.h"
#include "core/app_state.h"
#include "core/model_directory.h"

using Kind = RecordingState::Kind;

class AppStateTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { useFreshSettings("app_state_test"); }

  void startupStoresDefaultDirectoryAndRemovesPartialFiles() {
    QDir().mkpath(defaultModelDirectory());
    QFile part(defaultModelDirectory() + QStringLiteral("/consolidated.safetensors.part"));
    QVERIFY(part.open(QIODevice::WriteOnly));
    part.close();
    AppState state;
    QCOMPARE(state.modelDirectoryPath(), defaultModelDirectory());
    QCOMPARE(appSettings().value(kModelDirectoryKey).toString(), defaultModelDirectory());
    QVERIFY(!part.exists());
    QCOMPARE(state.recordingState(), RecordingState::idle());
    QCOMPARE(state.waveformLevels(), QList<float>(AppState::kLevelCount, 0.0f));
  }

  void missingModelWithoutAddressExplainsWhatToDo() {
    QTemporaryDir dir;
    AppState state;
    state.setModelDirectoryPath(dir.path());
    state.toggleRecording();
    QCOMPARE(state.recordingState(), RecordingState::downloading(QStringLiteral("Starting download...")));
    QCOMPARE(state.downloadProgress(), 0.0);
    state.toggleRecording();  // no cancel while downloading
    QCOMPARE(state.recordingState().kind(), Kind::Downloading);
    QTRY_COMPARE(state.recordingState().kind(), Kind::Error);
    const QString message = state.recordingState().text();
    QVERIFY2(message.startsWith(QStringLiteral("Download failed: ")) &&
                 message.contains(QStringLiteral("ORVANE_MODEL_URL")) && message.contains(dir.path()),
             qPrintable(message));
    QCOMPARE(state.statusIcon(), QStringLiteral("exclamationmark.triangle"));
  }

  void brokenModelFailsEachAttempt() {
    QTemporaryDir dir;
    for (const QString& name : requiredModelFiles()) {
      QFile f(dir.filePath(name));
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write("not a model");
    }
    AppState state;
    state.setModelDirectoryPath(dir.path());
    // Without a sound server the microphone fails first; the load's failure is what stays.
    for (int attempt = 0; attempt < 2; attempt++) {
      state.toggleRecording();
      QTRY_COMPARE(state.recordingState(), RecordingState::error(QStringLiteral("Failed to load orvane model")));
      QVERIFY(!state.modelLoaded());
    }
  }

  // Runs with no sound server: the model loads, the microphone does not open.
  void missingMicrophoneAfterLoad() {
    QTemporaryDir dir;
    QVERIFY(makeTinyModel(dir.path()));
    AppState state;
    state.setModelDirectoryPath(dir.path());
    state.toggleRecording();
    QTRY_VERIFY(state.modelLoaded());
    QCOMPARE(state.recordingState(), RecordingState::error(QStringLiteral("No microphone found")));
    QVERIFY(state.runsOnCpu());
    // A directory chosen after the load is what later recordings check.
    QTemporaryDir other;
    state.setModelDirectoryPath(other.path());
    state.toggleRecording();
    QCOMPARE(state.recordingState().kind(), Kind::Downloading);
  }

  // A hand-edited settings file: each wrong value falls back to its default with a warning.
  void settingsOfTheWrongTypeFallBack() {
    {
      QFile conf(appSettings().fileName());
      QVERIFY(conf.open(QIODevice::WriteOnly | QIODevice::Truncate));
      conf.write("[General]\ninputDevice=a, b\nhistoryLength=-3\nunloadAfterIdleSeconds=abc\n"
                 "keepHistory=maybe\nnotifications=false\nloadAtStart=0\n");
    }
    for (const char* key : {"inputDevice", "historyLength", "unloadAfterIdleSeconds", "keepHistory"})
      QTest::ignoreMessage(QtWarningMsg,
                           QRegularExpression(QStringLiteral("setting %1=.* is not valid").arg(key)));
    QCOMPARE(settingString(kInputDeviceKey), QString());
    QCOMPARE(settingInt(kHistoryLengthKey, 50, 1, 1000), 50);
    QCOMPARE(settingInt(kUnloadAfterIdleKey, 900, 0, 100000), 900);
    QCOMPARE(settingBool(kKeepHistoryKey, true), true);
    QCOMPARE(settingBool(kNotificationsKey, true), false);
    QCOMPARE(settingBool(kLoadAtStartKey, true), false);
    QVERIFY(QFile::remove(appSettings().fileName()));
  }
};

QTEST_MAIN(AppStateTest)
#include "app_state_test.moc"
