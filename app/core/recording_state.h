// The recording state machine's value: one of seven kinds, two of which carry a text (the
// download progress line, the error message). QML reads `name`, `kind` and `text`.
#ifndef ORVANE_APP_RECORDING_STATE_H
#define ORVANE_APP_RECORDING_STATE_H

#include <QMetaType>
#include <QObject>
#include <QString>

class RecordingState {
  Q_GADGET
  Q_PROPERTY(Kind kind READ kind CONSTANT)
  Q_PROPERTY(QString name READ name CONSTANT)
  Q_PROPERTY(QString text READ text CONSTANT)

 public:
  enum class Kind { Downloading, Error, Idle, Loading, Recording, Processing, Done };
  Q_ENUM(Kind)

  RecordingState() = default;  // idle
  static RecordingState downloading(const QString& text) { return {Kind::Downloading, text}; }
  static RecordingState error(const QString& message) { return {Kind::Error, message}; }
  static RecordingState idle() { return {Kind::Idle, {}}; }
  static RecordingState loading() { return {Kind::Loading, {}}; }
  static RecordingState recording() { return {Kind::Recording, {}}; }
  static RecordingState processing() { return {Kind::Processing, {}}; }
  static RecordingState done() { return {Kind::Done, {}}; }

  Kind kind() const { return kind_; }
  QString name() const;  // "downloading", "error", "idle", ...
  QString text() const { return text_; }
  // Icon key of the tray icon for this state ("mic", "hourglass", ...).
  QString statusIcon() const;

  bool operator==(const RecordingState& other) const = default;

 private:
  RecordingState(Kind kind, QString text) : kind_(kind), text_(std::move(text)) {}

  Kind kind_ = Kind::Idle;
  QString text_;
};

Q_DECLARE_METATYPE(RecordingState)

#endif
