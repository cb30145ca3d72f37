// The last transcripts with their time, newest first, kept in a JSON-lines file (one object
// {"time": ISO 8601, "text": ...} per line). New entries are appended as whole lines and
// flushed, so a crash or a full disk can cost at most the line being written: a torn or foreign
// line is skipped when reading (one warning), and the file is never truncated by reading it.
#ifndef ORVANE_APP_TRANSCRIPT_HISTORY_H
#define ORVANE_APP_TRANSCRIPT_HISTORY_H

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariantList>

class TranscriptHistory : public QObject {
  Q_OBJECT
  // [{text, time}] newest first, for the panel.
  Q_PROPERTY(QVariantList entries READ entries NOTIFY entriesChanged)

 public:
  static constexpr qint64 kTailBytes = 4 << 20;  // only the file's end is read: N entries fit

  struct Entry {
    QDateTime time;
    QString text;
  };

  // PATH empty: $XDG_DATA_HOME/OrvaneApp/history.jsonl. Reads the file's last entries.
  explicit TranscriptHistory(QString path = {}, QObject* parent = nullptr);

  static QString defaultPath();
  QString path() const { return path_; }
  const QList<Entry>& list() const { return entries_; }  // oldest first
  QVariantList entries() const;
  // Lines of the file that could not be read at the last reading.
  int unreadableLines() const { return unreadable_; }

  // Keeps TEXT (when history is on and TEXT is not empty), appending it to the file.
  void add(const QString& text, const QDateTime& time = QDateTime::currentDateTime());
  Q_INVOKABLE void copy(int index) const;  // INDEX counts from the newest
  Q_INVOKABLE void remove(int index);
  Q_INVOKABLE void clear();  // forgets every entry and deletes the file
  void reload();

 signals:
  void entriesChanged();

 private:
  int limit() const;
  bool rewrite();  // the file replaced by the kept entries, in one step

  QString path_;
  QList<Entry> entries_;
  int unreadable_ = 0;
  int file_lines_ = 0;  // readable lines in the file, kept ones and older
};

#endif
