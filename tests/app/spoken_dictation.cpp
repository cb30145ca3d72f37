#include "spoken_dictation.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QTest>

#include "app_test_support.h"

using Kind = RecordingState::Kind;

bool SpokenDictation::setUp(const char* test_name) {
  useFreshSettings(test_name);
  if (!makeTinyModel(dir_.path()) || !addNonAsciiPieces(dir_.path()) ||
      !speak(QStringLiteral("Sentence one. Sentence two, and a few more words."),
             dir_.filePath(QStringLiteral("speech.wav"))))
    return false;
  state_ = std::make_unique<AppState>();
  state_->setModelDirectoryPath(dir_.path());
  typing_ = std::make_unique<TypingController>(*state_);
  return true;
}

void SpokenDictation::tearDown() {
  typing_.reset();
  state_.reset();
}

void SpokenDictation::start(const std::function<void()>& before) {
  QTRY_VERIFY_WITH_TIMEOUT(kind() == Kind::Idle || kind() == Kind::Done, kWaitMs);
  if (before) before();
  state_->toggleRecording();
  QTRY_COMPARE_WITH_TIMEOUT(kind(), Kind::Recording, kWaitMs);
  QCOMPARE(typing_->way(), TypingController::Way::InputMethod);
  player_.start(QStringLiteral("paplay"),
                {QStringLiteral("--device=virt"), dir_.filePath(QStringLiteral("speech.wav"))});
}

void SpokenDictation::finish() {
  QTRY_COMPARE_WITH_TIMEOUT(player_.state(), QProcess::NotRunning, kWaitMs);
  state_->toggleRecording();
  QTRY_COMPARE_WITH_TIMEOUT(kind(), Kind::Done, kWaitMs);
  QVERIFY(!state_->liveText().isEmpty());
  QCOMPARE(QGuiApplication::clipboard()->text(), state_->liveText());
}
