#include "single_instance.h"

#include <unistd.h>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QThread>

namespace {

constexpr int kAnswerMs = 3000;
// A starting first instance holds the lock a moment before it listens.
constexpr int kFirstInstanceStartMs = 5000;

bool sendOnce(const QString& request) {
  QLocalSocket socket;
  socket.connectToServer(SingleInstance::socketPath());
  if (!socket.waitForConnected(kAnswerMs)) return false;
  socket.write(request.toUtf8() + '\n');
  if (!socket.waitForBytesWritten(kAnswerMs)) return false;
  while (!socket.canReadLine())
    if (!socket.waitForReadyRead(kAnswerMs)) return false;
  return socket.readLine().trimmed() == "ok";
}

}  // namespace

SingleInstance::SingleInstance(QObject* parent) : QObject(parent) {
  connect(&server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* client = server_.nextPendingConnection()) serve(client);
  });
}

SingleInstance::~SingleInstance() { server_.close(); }

QString SingleInstance::socketPath() {
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && QDir(runtime).exists())
    return runtime + QStringLiteral("/orvane-app.sock");
  return QDir::tempPath() + QStringLiteral("/orvane-app-%1.sock").arg(getuid());
}

bool SingleInstance::claim() {
  lock_ = std::make_unique<QLockFile>(socketPath() + QStringLiteral(".lock"));
  lock_->setStaleLockTime(0);  // only a dead owner makes the lock stale, never its age
  if (!lock_->tryLock(0)) {
    lock_.reset();
    return false;
  }
  // We hold the lock, so a socket file left behind is from an instance that died.
  QLocalServer::removeServer(socketPath());
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_.listen(socketPath())) {
    qWarning("orvane-app: cannot listen on %s: %s", qPrintable(socketPath()),
             qPrintable(server_.errorString()));
  }
  return true;
}

bool SingleInstance::send(const QString& request) {
  QDeadlineTimer deadline(kFirstInstanceStartMs);
  while (!sendOnce(request)) {
    if (deadline.hasExpired()) return false;
    // No instance at all: nobody holds the lock, so there is nothing to wait for.
    QLockFile probe(socketPath() + QStringLiteral(".lock"));
    probe.setStaleLockTime(0);
    if (probe.tryLock(0)) return false;
    QThread::msleep(100);
  }
  return true;
}

void SingleInstance::serve(QLocalSocket* client) {
  client->setParent(this);
  connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
  connect(client, &QLocalSocket::readyRead, client, [this, client] {
    while (client->canReadLine()) {
      const QString request = QString::fromUtf8(client->readLine().trimmed());
      const bool known = request == QLatin1String("toggle") || request == QLatin1String("show");
      client->write(known ? "ok\n" : "unknown request\n");
      if (known && onRequest) onRequest(request);
    }
  });
}
