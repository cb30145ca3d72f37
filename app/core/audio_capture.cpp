#include "audio_capture.h"

#include <QAudioSource>
#include <QMediaDevices>
#include <QProcess>
#include <cmath>

namespace {
// Audio is handed on a tenth of a second at a time.
constexpr qint64 kDeliveryMicroseconds = 100'000;
constexpr size_t kDeliverySamples = SampleConverter::kOutputRate / 10;
constexpr int kPresenceCheckMs = 500;
}

QAudioDevice defaultInputDevice() {
  const QList<QAudioDevice> inputs = QMediaDevices::audioInputs();
  // Qt's own default does not always follow the server's default source; ask the server.
  QProcess pactl;
  pactl.start(QStringLiteral("pactl"), {QStringLiteral("get-default-source")});
  if (pactl.waitForFinished(3000) && pactl.exitStatus() == QProcess::NormalExit && pactl.exitCode() == 0) {
    const QByteArray name = pactl.readAllStandardOutput().trimmed();
    for (const QAudioDevice& d : inputs)
      if (d.id() == name) return d;
  }
  const QAudioDevice fallback = QMediaDevices::defaultAudioInput();
  if (!fallback.isNull()) return fallback;
  return inputs.isEmpty() ? QAudioDevice() : inputs.first();
}

AudioCaptureService::AudioCaptureService(QObject* parent) : QObject(parent) {
  presence_timer_.setInterval(kPresenceCheckMs);
  connect(&presence_timer_, &QTimer::timeout, this, &AudioCaptureService::checkDevicePresent);
}

AudioCaptureService::~AudioCaptureService() { stop(); }

void AudioCaptureService::start(const QString& device_id) {
  stop();
  QAudioDevice device;
  for (const QAudioDevice& d : QMediaDevices::audioInputs())
    if (!device_id.isEmpty() && d.id() == device_id.toUtf8()) device = d;
  notice_.clear();
  if (device.isNull()) {
    if (!device_id.isEmpty())
      notice_ = QStringLiteral("The chosen microphone is not connected; using the default one.");
    device = defaultInputDevice();
  }
  if (device.isNull()) throw AudioError("No microphone found");
  const QAudioFormat format = device.preferredFormat();
  converter_ = std::make_unique<SampleConverter>(format);
  source_ = std::make_unique<QAudioSource>(device, format);
  source_->setBufferSize(format.bytesForDuration(kDeliveryMicroseconds));
  input_ = source_->start();
  if (!input_ || source_->error() != QAudio::NoError) {
    source_.reset();
    converter_.reset();
    input_ = nullptr;
    throw AudioError("Cannot open the microphone \"" + device.description().toStdString() + "\"");
  }
  device_ = device;
  presence_timer_.start();
  connect(input_, &QIODevice::readyRead, this, &AudioCaptureService::readInput);
  connect(source_.get(), &QAudioSource::stateChanged, this, [this](QAudio::State state) {
    if (state == QAudio::StoppedState && source_ && source_->error() != QAudio::NoError)
      emit failed(QStringLiteral("The microphone stopped working"));
  });
}

void AudioCaptureService::stop() {
  if (!source_) return;
  presence_timer_.stop();
  readInput();
  const std::vector<float> tail = converter_->finish();
  converted_.insert(converted_.end(), tail.begin(), tail.end());
  deliverBlocks();
  if (!converted_.empty()) deliver(converted_.size());
  source_->disconnect(this);
  source_->stop();
  source_.reset();
  input_ = nullptr;
  converter_.reset();
}

void AudioCaptureService::checkDevicePresent() {
  if (!source_) return;
  for (const QAudioDevice& d : QMediaDevices::audioInputs())
    if (d.id() == device_.id()) return;
  emit failed(QStringLiteral("The microphone \"%1\" was disconnected").arg(device_.description()));
}

void AudioCaptureService::readInput() {
  const std::vector<float> samples = converter_->convert(input_->readAll());
  converted_.insert(converted_.end(), samples.begin(), samples.end());
  deliverBlocks();
}

void AudioCaptureService::deliverBlocks() {
  while (converted_.size() >= kDeliverySamples) deliver(kDeliverySamples);
}

void AudioCaptureService::deliver(size_t n) {
  std::vector<float> samples(converted_.begin(), converted_.begin() + static_cast<long>(n));
  converted_.erase(converted_.begin(), converted_.begin() + static_cast<long>(n));
  if (onAudioLevels) onAudioLevels(levels(samples));
  if (onAudioBuffer) onAudioBuffer(std::move(samples));
}

QList<float> AudioCaptureService::levels(std::span<const float> samples) {
  const size_t n = samples.size();
  const size_t chunk = n < 4 ? 1 : n / 4;
  QList<float> out;
  for (size_t i = 0; i < 4 && i * chunk < n; i++) {
    const auto part = samples.subspan(i * chunk, std::min(chunk, n - i * chunk));
    float sum = 0;
    for (float s : part) sum += s * s;
    out.append(std::sqrt(sum / static_cast<float>(part.size())));
  }
  return out;
}
