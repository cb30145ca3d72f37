#include "recording_state.h"

QString RecordingState::name() const {
  switch (kind_) {
    case Kind::Downloading: return QStringLiteral("downloading");
    case Kind::Error: return QStringLiteral("error");
    case Kind::Idle: return QStringLiteral("idle");
    case Kind::Loading: return QStringLiteral("loading");
    case Kind::Recording: return QStringLiteral("recording");
    case Kind::Processing: return QStringLiteral("processing");
    case Kind::Done: return QStringLiteral("done");
  }
  return {};
}

QString RecordingState::statusIcon() const {
  switch (kind_) {
    case Kind::Downloading: return QStringLiteral("arrow.down.circle");
    case Kind::Error: return QStringLiteral("exclamationmark.triangle");
    case Kind::Idle: return QStringLiteral("mic");
    case Kind::Loading: return QStringLiteral("hourglass");
    case Kind::Recording: return QStringLiteral("mic.fill");
    case Kind::Processing: return QStringLiteral("ellipsis.circle");
    case Kind::Done: return QStringLiteral("checkmark.circle.fill");
  }
  return {};
}
