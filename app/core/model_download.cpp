#include "model_download.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QStorageInfo>
#include <QTimer>
#include <QUrl>

#include "model_directory.h"

namespace {

constexpr int kTries = 4;                  // tries per file in a row without receiving a byte
constexpr int kStallTimeoutMs = 60 * 1000; // a transfer silent this long counts as dropped

QString megabytes(qint64 bytes) { return QString::number((bytes + (1 << 20) - 1) >> 20) + QStringLiteral(" MB"); }

}  // namespace

ModelDownloader::ModelDownloader(QObject* parent)
    : QObject(parent), free_space_([](const QString& dir) { return QStorageInfo(dir).bytesAvailable(); }) {}

QString ModelDownloader::fileName() const { return requiredModelFiles()[index_]; }

void ModelDownloader::start(const QString& dir, const QString& baseUrl) {
  if (running_) return;
  running_ = true;
  dir_ = dir;
  base_url_ = baseUrl;
  while (base_url_.endsWith(u'/')) base_url_.chop(1);
  index_ = 0;
  if (!QDir().mkpath(dir_)) return fail(QStringLiteral("cannot create the model directory ") + dir_);
  // Later steps run from the event loop, so the caller has connected before the first signal.
  QTimer::singleShot(0, this, &ModelDownloader::nextFile);
}

void ModelDownloader::nextFile() {
  const int count = static_cast<int>(requiredModelFiles().size());
  while (index_ < count && QFileInfo::exists(QDir(dir_).filePath(fileName()))) {
    index_++;
    emit progressChanged(double(index_) / count);
  }
  if (index_ == count) {
    running_ = false;
    emit finished();
    return;
  }
  if (base_url_.isEmpty())
    return fail(QStringLiteral(
                    "no download address is set. Set ORVANE_MODEL_URL to the model repository's "
                    "address (ending in /resolve/main), or place %1 in %2")
                    .arg(requiredModelFiles().join(QStringLiteral(", ")), dir_));
  const QUrl url(base_url_ + u'/' + fileName(), QUrl::StrictMode);
  if (!url.isValid() || (url.scheme() != u"http" && url.scheme() != u"https") || url.host().isEmpty())
    return fail(QStringLiteral("invalid download address ") + base_url_);
  emit statusChanged(QStringLiteral("Downloading ") + fileName() + QStringLiteral("..."));
  tries_ = 0;
  last_percent_ = -1;
  part_.setFileName(QDir(dir_).filePath(fileName()) + QStringLiteral(".part"));
  request();
}

void ModelDownloader::request() {
  const qint64 have = QFileInfo(part_.fileName()).size();  // 0 when there is no .part
  QNetworkRequest req(QUrl(base_url_ + u'/' + fileName()));
  req.setTransferTimeout(kStallTimeoutMs);
  if (have > 0) req.setRawHeader("Range", "bytes=" + QByteArray::number(have) + '-');
  had_before_try_ = have;
  expected_ = -1;
  headers_checked_ = false;
  reply_ = network_.get(req);
  connect(reply_, &QNetworkReply::readyRead, this, &ModelDownloader::receive);
  connect(reply_, &QNetworkReply::finished, this, &ModelDownloader::transferEnded);
}

// Checks the status, settles where the body goes (appended to the .part file for a range
// answer, over it otherwise) and whether it fits on the disk.
bool ModelDownloader::acceptHeaders() {
  if (headers_checked_) return true;
  const int status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  if (status == 0) return false;  // no answer at all: a network error, handled when it ends
  headers_checked_ = true;
  if (status < 200 || status > 299) {
    const QString reason = reply_->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
    fail(QStringLiteral("HTTP %1 %2 for %3").arg(status).arg(reason, fileName()));
    return false;
  }
  const qint64 length = reply_->header(QNetworkRequest::ContentLengthHeader).toLongLong();
  const bool has_length = reply_->header(QNetworkRequest::ContentLengthHeader).isValid();
  qint64 offset = 0;
  if (status == 206) {
    static const QRegularExpression range(QStringLiteral("^bytes (\\d+)-\\d+/(\\d+|\\*)$"));
    const auto m = range.match(QString::fromLatin1(reply_->rawHeader("Content-Range")));
    if (!m.hasMatch() || m.captured(1).toLongLong() != had_before_try_) {
      fail(QStringLiteral("the server sent the wrong part of ") + fileName());
      return false;
    }
    offset = had_before_try_;
    if (m.captured(2) != QStringLiteral("*")) expected_ = m.captured(2).toLongLong();
  }
  if (expected_ < 0 && has_length) expected_ = offset + length;
  // A full answer to a range request: the server ignored the range, start the file over.
  if (!part_.open(offset > 0 ? QIODevice::Append : QIODevice::WriteOnly | QIODevice::Truncate)) {
    fail(QStringLiteral("cannot write ") + part_.fileName() + QStringLiteral(": ") + part_.errorString());
    return false;
  }
  if (expected_ >= 0) {
    const qint64 needed = expected_ - offset;
    // A file system that cannot say how much is free (-1) is not refused for it.
    const qint64 available = free_space_(dir_);
    if (available >= 0 && needed > available) {
      fail(QStringLiteral("not enough free space in %1: %2 needs %3 more, %4 free")
               .arg(dir_, fileName(), megabytes(needed), megabytes(available)));
      return false;
    }
  }
  return true;
}

void ModelDownloader::receive() {
  if (!reply_ || !acceptHeaders()) return;
  const QByteArray data = reply_->readAll();
  if (part_.write(data) != data.size()) {
    fail(QStringLiteral("cannot write ") + part_.fileName() + QStringLiteral(": ") + part_.errorString());
    return;
  }
  reportProgress();
}

void ModelDownloader::reportProgress() {
  if (expected_ < 1) return;
  const double f = double(part_.size()) / double(expected_);
  const int percent = static_cast<int>(f * 100);
  if (percent == last_percent_) return;
  last_percent_ = percent;
  const int count = static_cast<int>(requiredModelFiles().size());
  emit statusChanged(QStringLiteral("Downloading %1... %2%").arg(fileName()).arg(percent));
  emit progressChanged((index_ + f) / count);
}

void ModelDownloader::transferEnded() {
  if (!reply_) return;  // failed already
  QNetworkReply* reply = reply_;
  reply->deleteLater();
  if (acceptHeaders()) receive();  // the rest of the body
  if (!reply_) return;             // refused, or the body could not be written
  reply_ = nullptr;
  const qint64 size = part_.isOpen() ? part_.size() : -1;
  part_.close();
  if (size > had_before_try_) tries_ = 0;
  if (reply->error() != QNetworkReply::NoError || !headers_checked_)
    return retryOrFail(reply->errorString() + QStringLiteral(" while fetching ") + fileName());
  if (expected_ >= 0 && size < expected_)
    return retryOrFail(QStringLiteral("the server sent %1 of the %2 bytes of %3")
                           .arg(size).arg(expected_).arg(fileName()));
  if (expected_ >= 0 && size > expected_)
    return fail(QStringLiteral("the server sent more than the %1 bytes of %2").arg(expected_).arg(fileName()));
  if (!QFile::rename(part_.fileName(), QDir(dir_).filePath(fileName())))
    return fail(QStringLiteral("cannot move ") + part_.fileName() + QStringLiteral(" into place"));
  index_++;
  emit progressChanged(double(index_) / static_cast<double>(requiredModelFiles().size()));
  nextFile();
}

void ModelDownloader::retryOrFail(const QString& reason) {
  if (++tries_ >= kTries) return fail(reason);
  QTimer::singleShot(retry_pause_ms_, this, [this] {
    if (running_) request();
  });
}

void ModelDownloader::fail(const QString& reason) {
  if (reply_) {
    QNetworkReply* reply = reply_;
    reply_ = nullptr;
    if (!reply->isFinished()) reply->abort();
    reply->deleteLater();
  }
  part_.close();
  running_ = false;
  emit failed(reason);
}
