#include "transcript_history.h"

#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

#include "app_settings.h"

namespace {

QByteArray line(const TranscriptHistory::Entry& e) {
  const QJsonObject o{{QStringLiteral("time"), e.time.toString(Qt::ISODateWithMs)},
                      {QStringLiteral("text"), e.text}};
  return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}

bool parse(const QByteArray& bytes, TranscriptHistory::Entry* e) {
  const QJsonDocument doc = QJsonDocument::fromJson(bytes);
  const QJsonValue text = doc.object().value(QStringLiteral("text"));
  const QJsonValue time = doc.object().value(QStringLiteral("time"));
  if (!doc.isObject() || !text.isString() || !time.isString()) return false;
  e->text = text.toString();
  e->time = QDateTime::fromString(time.toString(), Qt::ISODateWithMs);
  return e->time.isValid();
}

}  // namespace

TranscriptHistory::TranscriptHistory(QString path, QObject* parent)
    : QObject(parent), path_(path.isEmpty() ? defaultPath() : std::move(path)) {
  reload();
}

QString TranscriptHistory::defaultPath() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
         QStringLiteral("/OrvaneApp/history.jsonl");
}

int TranscriptHistory::limit() const {
  return settingInt(kHistoryLengthKey, kDefaultHistoryLength, 1, kMaxHistoryLength);
}

void TranscriptHistory::reload() {
  entries_.clear();
  unreadable_ = 0;
  file_lines_ = 0;
  QFile file(path_);
  if (file.open(QIODevice::ReadOnly)) {
    const qint64 size = file.size();
    const bool tail = size > kTailBytes;
    if (tail) file.seek(size - kTailBytes);
    QByteArray bytes = file.readAll();
    if (tail) bytes.remove(0, bytes.indexOf('\n') + 1);  // the cut line's end
    for (const QByteArray& l : bytes.split('\n')) {
      if (l.trimmed().isEmpty()) continue;
      Entry e;
      if (parse(l, &e)) {
        entries_.append(e);
        file_lines_++;
      } else {
        unreadable_++;
      }
    }
  }
  if (unreadable_ > 0)
    qWarning("orvane-app: skipped %d unreadable lines of %s", unreadable_, qPrintable(path_));
  const int keep = limit();
  if (entries_.size() > keep) entries_.remove(0, entries_.size() - keep);
  emit entriesChanged();
}

QVariantList TranscriptHistory::entries() const {
  QVariantList out;
  for (auto it = entries_.crbegin(); it != entries_.crend(); ++it)
    out.append(QVariantMap{{QStringLiteral("text"), it->text}, {QStringLiteral("time"), it->time}});
  return out;
}

void TranscriptHistory::add(const QString& text, const QDateTime& time) {
  if (text.isEmpty() || !settingBool(kKeepHistoryKey, true)) return;
  const Entry e{time, text};
  entries_.append(e);
  const int keep = limit();
  if (entries_.size() > keep) entries_.remove(0, entries_.size() - keep);
  emit entriesChanged();

  // Old entries pile up in the file: once it holds twice the kept number (and nothing it could
  // not read), it is replaced by the kept ones.
  if (++file_lines_ > 2 * keep && unreadable_ == 0 && rewrite()) return;
  QDir().mkpath(QFileInfo(path_).path());
  QFile file(path_);
  if (!file.open(QIODevice::ReadWrite | QIODevice::Append)) {
    qWarning("orvane-app: cannot write %s: %s", qPrintable(path_), qPrintable(file.errorString()));
    return;
  }
  // A line torn by an earlier crash is ended first, so it cannot swallow this one.
  QByteArray bytes = line(e);
  if (file.size() > 0 && file.seek(file.size() - 1) && file.peek(1) != "\n") bytes.prepend('\n');
  if (file.write(bytes) != bytes.size() || !file.flush())
    qWarning("orvane-app: cannot write %s: %s", qPrintable(path_), qPrintable(file.errorString()));
}

void TranscriptHistory::copy(int index) const {
  if (index < 0 || index >= entries_.size()) return;
  const QString& text = entries_[entries_.size() - 1 - index].text;
  QClipboard* clipboard = QGuiApplication::clipboard();
  clipboard->setText(text, QClipboard::Clipboard);
  if (clipboard->supportsSelection()) clipboard->setText(text, QClipboard::Selection);
}

void TranscriptHistory::remove(int index) {
  if (index < 0 || index >= entries_.size()) return;
  entries_.removeAt(entries_.size() - 1 - index);
  emit entriesChanged();
  rewrite();
}

void TranscriptHistory::clear() {
  entries_.clear();
  file_lines_ = 0;
  unreadable_ = 0;
  emit entriesChanged();
  if (QFile::exists(path_) && !QFile::remove(path_))
    qWarning("orvane-app: cannot delete %s", qPrintable(path_));
}

bool TranscriptHistory::rewrite() {
  QDir().mkpath(QFileInfo(path_).path());
  QSaveFile file(path_);
  if (!file.open(QIODevice::WriteOnly)) return false;
  for (const Entry& e : entries_) file.write(line(e));
  if (!file.commit()) {
    qWarning("orvane-app: cannot write %s: %s", qPrintable(path_), qPrintable(file.errorString()));
    return false;
  }
  file_lines_ = static_cast<int>(entries_.size());
  unreadable_ = 0;
  return true;
}
