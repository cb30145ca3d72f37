#include "app_state.h"

#include <QClipboard>
#include <QGuiApplication>

#include "app_settings.h"
#include "model_directory.h"

AppState::AppState(QObject* parent) : QObject(parent), levels_(kLevelCount, 0.0f) {
  model_dir_ = appSettings().value(kModelDirectoryKey).toString();
  if (model_dir_.isEmpty()) setModelDirectoryPath(defaultModelDirectory());
  removePartialDownloads(model_dir_);

  poll_timer_.setInterval(kPollIntervalMs);
  connect(&poll_timer_, &QTimer::timeout, this, &AppState::poll);
  // Restarted by every "done", so a newer recording's "done" is shown for the full time too.
  done_timer_.setSingleShot(true);
  done_timer_.setInterval(kDoneHoldMs);
  connect(&done_timer_, &QTimer::timeout, this, [this] {
    if (state_.kind() == RecordingState::Kind::Done) setState(RecordingState::idle());
  });
  idle_timer_.setSingleShot(true);
  connect(&idle_timer_, &QTimer::timeout, this, &AppState::unloadModel);

  connect(&downloader_, &ModelDownloader::statusChanged, this,
          [this](const QString& text) { setState(RecordingState::downloading(text)); });
  connect(&downloader_, &ModelDownloader::progressChanged, this, &AppState::setDownloadProgress);
  connect(&downloader_, &ModelDownloader::finished, this, [this] {
    if (record_after_download_) return beginRecording();
    setState(RecordingState::idle());
    if (settingBool(kLoadAtStartKey, true)) preloadModel();
  });
  connect(&downloader_, &ModelDownloader::failed, this, [this](const QString& reason) {
    setState(RecordingState::error(QStringLiteral("Download failed: ") + reason));
  });

  audio_.onAudioBuffer = [this](std::vector<float> samples) {
    queue_.post([this, samples = std::move(samples)] {
      try {
        engine_.feedAudio(samples);
      } catch (const OrvaneError&) {
        // A buffer the engine refuses is lost; the recording goes on. Without a stream (the
        // load failed) the failure has been reported already.
      }
    });
  };
  connect(&audio_, &AudioCaptureService::failed, this, [this](const QString& message) {
    if (!isCapturing()) return;
    capture_failure_ = message;
    stopRecording();
  });
}

AppState::~AppState() {
  // The capture hands its last audio to the queue when it stops; the queue is gone by then.
  audio_.onAudioBuffer = nullptr;
  audio_.onAudioLevels = nullptr;
  audio_.stop();
}

bool AppState::isCapturing() const {
  return state_.kind() == RecordingState::Kind::Recording ||
         state_.kind() == RecordingState::Kind::Loading;
}

void AppState::setModelDirectoryPath(const QString& path) {
  if (path == model_dir_) return;
  model_dir_ = path;
  appSettings().setValue(kModelDirectoryKey, path);
  emit modelDirectoryPathChanged();
}

void AppState::toggleRecording() {
  switch (state_.kind()) {
    case RecordingState::Kind::Idle:
    case RecordingState::Kind::Done:
    case RecordingState::Kind::Error: startRecording(); break;
    case RecordingState::Kind::Loading:
    case RecordingState::Kind::Recording: stopRecording(); break;
    case RecordingState::Kind::Downloading:
    case RecordingState::Kind::Processing: break;
  }
}

void AppState::endRecording() {
  if (isCapturing()) stopRecording();
}

void AppState::startRecording() {
  live_text_.clear();
  emit liveTextChanged();
  levels_ = QList<float>(kLevelCount, 0.0f);
  emit waveformLevelsChanged();
  capture_failure_.clear();
  if (firstMissingModelFile(model_dir_).isEmpty()) return beginRecording();
  startDownload(true);
}

void AppState::downloadModel() {
  using Kind = RecordingState::Kind;
  const Kind k = state_.kind();
  if (k != Kind::Idle && k != Kind::Done && k != Kind::Error) return;
  if (!firstMissingModelFile(model_dir_).isEmpty()) startDownload(false);
}

void AppState::startDownload(bool record_after) {
  record_after_download_ = record_after;
  setDownloadProgress(0);
  setState(RecordingState::downloading(QStringLiteral("Starting download...")));
  downloader_.start(model_dir_, modelBaseUrl());
}

void AppState::preloadModel() {
  const QString dir = model_dir_;
  if (dir == loaded_dir_ || dir == preloading_ || !firstMissingModelFile(dir).isEmpty()) return;
  preloading_ = dir;
  queue_.post([this, dir] {
    try {
      engine_.loadModel(dir);
      engine_.warmUp();
      onGuiThread([this, dir, gpu = engine_.usesGpu()] { modelReady(dir, gpu); });
    } catch (const OrvaneError& e) {
      // Not shown now: the next dictation loads again and reports the failure.
      qWarning("orvane-app: loading the model in %s failed: %s", qPrintable(dir), e.what());
      onGuiThread([this] { preloading_.clear(); });
    }
  });
}

// The capture starts at once; its audio queues behind the load and the new stream.
void AppState::beginRecording() {
  idle_timer_.stop();
  const QString dir = model_dir_;
  queue_.post([this, dir] {
    try {
      engine_.loadModel(dir);
      engine_.startStream();
      onGuiThread([this, dir, gpu = engine_.usesGpu()] { modelReady(dir, gpu); });
    } catch (const OrvaneError& e) {
      onGuiThread([this, message = QString::fromUtf8(e.what()), loaded = engine_.isModelLoaded()] {
        recordingFailed(message, loaded);
      });
    }
  });
  audio_.onAudioLevels = [this](QList<float> levels) { appendLevels(levels); };
  try {
    audio_.start(settingString(kInputDeviceKey));
  } catch (const std::exception& e) {
    queue_.post([this] { engine_.freeStream(); });
    setState(RecordingState::error(QString::fromUtf8(e.what())));
    return restartIdleTimer();
  }
  if (notice_ != audio_.notice()) {
    notice_ = audio_.notice();
    emit noticeChanged();
  }
  setState(dir == loaded_dir_ ? RecordingState::recording() : RecordingState::loading());
  poll_timer_.start();
}

void AppState::modelReady(const QString& dir, bool gpu) {
  if (dir == preloading_) preloading_.clear();
  const bool was_loaded = modelLoaded();
  loaded_dir_ = dir;
  if (!was_loaded) emit modelLoadedChanged();
  if (runs_on_cpu_ != !gpu) {
    runs_on_cpu_ = !gpu;
    emit runsOnCpuChanged();
  }
  if (state_.kind() == RecordingState::Kind::Loading) setState(RecordingState::recording());
  if (!isCapturing() && state_.kind() != RecordingState::Kind::Processing) restartIdleTimer();
}

void AppState::recordingFailed(const QString& message, bool model_loaded) {
  if (isCapturing()) {
    poll_timer_.stop();
    audio_.onAudioLevels = nullptr;
    audio_.stop();
  }
  if (!model_loaded && modelLoaded()) {  // a load that replaced the model failed
    loaded_dir_.clear();
    emit modelLoadedChanged();
  }
  setState(RecordingState::error(message));
  restartIdleTimer();
}

void AppState::restartIdleTimer() {
  const int seconds =
      settingInt(kUnloadAfterIdleKey, kDefaultUnloadAfterIdleSeconds, 0, kMaxIdleSeconds);
  idle_timer_.stop();
  if (seconds > 0 && modelLoaded()) idle_timer_.start(seconds * 1000);
}

void AppState::unloadModel() {
  if (isCapturing() || state_.kind() == RecordingState::Kind::Processing) return;
  queue_.post([this] {
    engine_.unload();
    onGuiThread([this] {
      if (!modelLoaded() || isCapturing() || state_.kind() == RecordingState::Kind::Processing)
        return;
      loaded_dir_.clear();
      emit modelLoadedChanged();
    });
  });
}

void AppState::poll() {
  queue_.post([this] {
    const QString text = engine_.pollTokens();
    if (!text.isEmpty()) onGuiThread([this, text] { appendText(text); });
  });
}

void AppState::stopRecording() {
  setState(RecordingState::processing());
  poll_timer_.stop();
  audio_.onAudioLevels = nullptr;
  audio_.stop();  // its last audio is queued before the finish below
  // The finished stream is released in the same job, so a recording started after "done" is
  // published can never have its new stream released by this one.
  queue_.post([this] {
    if (!engine_.hasStream()) return;  // the load failed, and said so
    try {
      const QString text = engine_.finishStream();
      engine_.freeStream();
      onGuiThread([this, text] { finishRecording(text); });
    } catch (const OrvaneError& e) {
      engine_.freeStream();
      onGuiThread([this, message = QString::fromUtf8(e.what())] {
        setState(RecordingState::error(message));
        restartIdleTimer();
      });
    }
  });
}

void AppState::finishRecording(const QString& text) {
  appendText(text);
  QClipboard* clipboard = QGuiApplication::clipboard();
  clipboard->setText(live_text_, QClipboard::Clipboard);
  if (clipboard->supportsSelection()) clipboard->setText(live_text_, QClipboard::Selection);
  restartIdleTimer();
  emit transcriptFinished(live_text_);
  if (!capture_failure_.isEmpty()) return setState(RecordingState::error(capture_failure_));
  setState(RecordingState::done());
  done_timer_.start();
}

void AppState::appendText(const QString& text) {
  if (text.isEmpty()) return;
  live_text_ += text;
  emit liveTextChanged();
}

void AppState::appendLevels(const QList<float>& levels) {
  if (levels.isEmpty()) return;
  levels_ += levels;
  if (levels_.size() > kLevelCount) levels_.remove(0, levels_.size() - kLevelCount);
  emit waveformLevelsChanged();
}

void AppState::setState(const RecordingState& state) {
  if (state == state_) return;
  state_ = state;
  emit recordingStateChanged();
}

void AppState::setDownloadProgress(double progress) {
  if (progress == download_progress_) return;
  download_progress_ = progress;
  emit downloadProgressChanged();
}
