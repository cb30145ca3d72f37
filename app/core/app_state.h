// The app's one observable model: the recording state machine, the live transcript, the level
// meter and the download progress, and the road of one dictation from the first toggle to the
// clipboard. Views only read its properties; the services know nothing of the views. Every
// property changes on the GUI thread; engine work runs on the inference queue.
//
// The model is loaded in the background at launch (setting loadAtStart) and freed after
// unloadAfterIdleSeconds without a dictation. A press while it is not loaded starts the capture
// at once ("loading" state): the audio waits on the inference queue behind the load, so no word
// is lost.
#ifndef ORVANE_APP_APP_STATE_H
#define ORVANE_APP_APP_STATE_H

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include "audio_capture.h"
#include "inference_queue.h"
#include "model_download.h"
#include "orvane_engine.h"
#include "recording_state.h"

class AppState : public QObject {
  Q_OBJECT
  Q_PROPERTY(RecordingState recordingState READ recordingState NOTIFY recordingStateChanged)
  Q_PROPERTY(QString statusIcon READ statusIcon NOTIFY recordingStateChanged)
  Q_PROPERTY(QString liveText READ liveText NOTIFY liveTextChanged)
  Q_PROPERTY(QList<float> waveformLevels READ waveformLevels NOTIFY waveformLevelsChanged)
  Q_PROPERTY(double downloadProgress READ downloadProgress NOTIFY downloadProgressChanged)
  Q_PROPERTY(QString modelDirectoryPath READ modelDirectoryPath WRITE setModelDirectoryPath
                 NOTIFY modelDirectoryPathChanged)
  // True once a model runs without GPU acceleration (transcription on the CPU).
  Q_PROPERTY(bool runsOnCpu READ runsOnCpu NOTIFY runsOnCpuChanged)
  // Empty, or a passing remark on the last recording (the chosen microphone was missing).
  Q_PROPERTY(QString notice READ notice NOTIFY noticeChanged)
  // True while a model is loaded and ready for the next dictation.
  Q_PROPERTY(bool modelLoaded READ modelLoaded NOTIFY modelLoadedChanged)

 public:
  static constexpr int kLevelCount = 50;      // levels shown by the meter
  static constexpr int kPollIntervalMs = 100;  // how often new text is read while recording
  static constexpr int kDoneHoldMs = 3000;     // how long "done" shows before "idle"

  explicit AppState(QObject* parent = nullptr);
  ~AppState() override;

  RecordingState recordingState() const { return state_; }
  QString statusIcon() const { return state_.statusIcon(); }
  QString liveText() const { return live_text_; }
  QList<float> waveformLevels() const { return levels_; }
  double downloadProgress() const { return download_progress_; }
  QString modelDirectoryPath() const { return model_dir_; }
  void setModelDirectoryPath(const QString& path);
  bool runsOnCpu() const { return runs_on_cpu_; }
  bool modelLoaded() const { return !loaded_dir_.isEmpty(); }
  QString notice() const { return notice_; }
  // Whether the microphone is open (loading or recording).
  bool isCapturing() const;

  // Starts a recording (idle, done, error), stops it (loading, recording), or does nothing
  // (downloading, processing).
  Q_INVOKABLE void toggleRecording();
  // Stops the recording if one is capturing; does nothing otherwise.
  Q_INVOKABLE void endRecording();
  // Fetches the model files missing from the model directory, without recording afterwards
  // (the settings window's Download button). Does nothing while busy.
  Q_INVOKABLE void downloadModel();
  // Loads the model of the model directory in the background, when its files are there.
  void preloadModel();

  ModelDownloader& downloader() { return downloader_; }
  AudioCaptureService& audioService() { return audio_; }

 signals:
  void recordingStateChanged();
  void liveTextChanged();
  void waveformLevelsChanged();
  void downloadProgressChanged();
  void modelDirectoryPathChanged();
  void runsOnCpuChanged();
  void modelLoadedChanged();
  void noticeChanged();
  // A dictation ended with TEXT (possibly empty) on the clipboard.
  void transcriptFinished(const QString& text);

 private:
  void startRecording();
  void beginRecording();
  void modelReady(const QString& dir, bool gpu);
  // MODEL_LOADED: whether the engine still holds a model after the failure.
  void recordingFailed(const QString& message, bool model_loaded);
  void startDownload(bool record_after);
  void unloadModel();
  void restartIdleTimer();
  void stopRecording();
  void finishRecording(const QString& text);
  void poll();
  void appendText(const QString& text);
  void appendLevels(const QList<float>& levels);
  void setState(const RecordingState& state);
  void setDownloadProgress(double progress);
  // Runs F on the GUI thread later, unless this object is gone by then.
  template <typename F>
  void onGuiThread(F&& f) {
    QMetaObject::invokeMethod(this, std::forward<F>(f), Qt::QueuedConnection);
  }

  RecordingState state_;
  QString live_text_;
  QList<float> levels_;
  double download_progress_ = 0;
  QString model_dir_;
  bool runs_on_cpu_ = false;
  QString loaded_dir_;   // the model the engine holds, as last reported to this thread
  QString preloading_;   // the directory of a background load still queued or running
  QString notice_;
  QString capture_failure_;  // why the microphone stopped a recording, shown after it finishes
  bool record_after_download_ = false;

  OrvaneEngine engine_;  // touched only by jobs on queue_
  AudioCaptureService audio_;
  ModelDownloader downloader_;
  QTimer poll_timer_;
  QTimer done_timer_;
  QTimer idle_timer_;
  InferenceQueue queue_;  // declared last: its thread ends before anything it uses goes away
};

#endif
