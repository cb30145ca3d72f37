// Fetches the missing model files into the model directory, one after the other, each first
// into NAME.part and renamed when complete. A dropped connection is resumed from the .part
// file with a range request; a refusal (any HTTP status but success), a short body or a full
// disk fails the download with a reason the user can act on.
#ifndef ORVANE_APP_MODEL_DOWNLOAD_H
#define ORVANE_APP_MODEL_DOWNLOAD_H

#include <QFile>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>

class QNetworkReply;

class ModelDownloader : public QObject {
  Q_OBJECT

 public:
  explicit ModelDownloader(QObject* parent = nullptr);

  // Starts fetching the files of DIR that are missing from BASE_URL + "/" + name. Ends with
  // finished() or failed(); nothing happens while a download runs.
  void start(const QString& dir, const QString& baseUrl);
  bool isRunning() const { return running_; }

  // Free bytes on the file system holding a directory (tests give a figure of their own).
  void setFreeSpaceProbe(std::function<qint64(const QString& dir)> probe) { free_space_ = std::move(probe); }
  // Pause before another try after a dropped connection.
  void setRetryPause(int ms) { retry_pause_ms_ = ms; }

 signals:
  void statusChanged(const QString& text);  // "Downloading tekken.json... 25%"
  void progressChanged(double fraction);    // 0 to 1 over all files, a third each
  void finished();
  void failed(const QString& reason);

 private:
  void nextFile();
  void request();
  bool acceptHeaders();  // false after failing
  void receive();
  void transferEnded();
  void retryOrFail(const QString& reason);
  void fail(const QString& reason);
  void reportProgress();
  QString fileName() const;

  QNetworkAccessManager network_;
  QPointer<QNetworkReply> reply_;
  QFile part_;
  QString dir_;
  QString base_url_;
  int index_ = 0;              // file being fetched, in requiredModelFiles()
  int tries_ = 0;              // tries of this file without progress
  qint64 expected_ = -1;       // size of the whole file, -1 while unknown
  qint64 had_before_try_ = 0;  // .part size when this try began
  int last_percent_ = -1;
  bool headers_checked_ = false;
  bool running_ = false;
  int retry_pause_ms_ = 2000;
  std::function<qint64(const QString&)> free_space_;
};

#endif
