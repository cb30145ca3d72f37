// Captures a chosen microphone (else the default one) in its own format and hands on about a
// tenth of a second at a time as 16 kHz mono float samples, with four loudness levels per
// buffer. The callbacks run on the thread that started the capture; they are read afresh for
// every buffer.
#ifndef ORVANE_APP_AUDIO_CAPTURE_H
#define ORVANE_APP_AUDIO_CAPTURE_H

#include <QAudioDevice>
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <vector>

#include "sample_converter.h"

class QAudioSource;
class QIODevice;

// A microphone that is missing or cannot be opened; what() is the text shown to the user.
class AudioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class AudioCaptureService : public QObject {
  Q_OBJECT

 public:
  explicit AudioCaptureService(QObject* parent = nullptr);
  ~AudioCaptureService() override;  // stops

  std::function<void(std::vector<float> samples)> onAudioBuffer;
  std::function<void(QList<float> levels)> onAudioLevels;

  // Opens the input whose id is DEVICE_ID, or the sound server's default input when DEVICE_ID
  // is empty or names no present input (notice() then says so). Throws AudioError when there is
  // no input or it cannot be opened (the service then stays stopped).
  void start(const QString& device_id = {});
  // Empty, or why the last start took another input than the one asked for.
  QString notice() const { return notice_; }
  // Hands on the audio captured so far, then closes the input. Harmless when stopped.
  void stop();
  bool isCapturing() const { return source_ != nullptr; }

  // Root-mean-square levels of four equal chunks of SAMPLES (fewer for under four samples;
  // a remainder past the four chunks is left out).
  static QList<float> levels(std::span<const float> samples);

 signals:
  // The input failed or went away while capturing.
  void failed(const QString& message);

 private:
  void readInput();
  void checkDevicePresent();
  void deliverBlocks();    // every whole tenth of a second converted so far
  void deliver(size_t n);  // the first N converted samples

  std::unique_ptr<QAudioSource> source_;
  QIODevice* input_ = nullptr;  // owned by source_
  std::unique_ptr<SampleConverter> converter_;
  std::vector<float> converted_;  // 16 kHz samples short of a whole delivery
  QAudioDevice device_;  // the input being captured
  // The sound server moves a capture whose device went away to another one without a word, so
  // the device's presence is checked while capturing.
  QTimer presence_timer_;
  QString notice_;
};

// The input the sound server names as its default, else Qt's default input; null when the
// system has no input at all.
QAudioDevice defaultInputDevice();

#endif
