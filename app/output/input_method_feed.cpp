#include "input_method_feed.h"

#include <unistd.h>
#include <QDir>
#include <QLocalSocket>

#include "typing_log.h"

namespace {
constexpr qsizetype kLineMax = 256;  // engines send short lines only; longer ones end the link
}

InputMethodFeed::InputMethodFeed(QObject* parent) : QObject(parent) {
  connect(&server_, &QLocalServer::newConnection, this, &InputMethodFeed::accept);
}

InputMethodFeed::~InputMethodFeed() {
  server_.close();
  for (const Engine& e : std::as_const(engines_)) e.socket->disconnect(this);
}

QString InputMethodFeed::socketPath() {
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && QDir(runtime).exists())
    return runtime + QStringLiteral("/orvane-input.sock");
  return QStringLiteral("/tmp/orvane-input-%1.sock").arg(getuid());
}

bool InputMethodFeed::listen() {
  // Only the first instance of the app gets here, so a socket file left behind is stale.
  QLocalServer::removeServer(socketPath());
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  if (server_.listen(socketPath())) return true;
  qCWarning(lcTyping, "cannot listen for input methods on %s: %s", qPrintable(socketPath()),
            qPrintable(server_.errorString()));
  return false;
}

bool InputMethodFeed::ready() const {
  return std::ranges::any_of(engines_, [](const Engine& e) { return e.active || e.switchable; });
}

QByteArray InputMethodFeed::escape(const QString& piece) {
  QByteArray out;
  for (char c : piece.toUtf8()) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out;
}

void InputMethodFeed::accept() {
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    socket->setParent(this);
    engines_.append({socket});
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] { read(socket); });
    connect(socket, &QLocalSocket::disconnected, this, [this, socket] { drop(socket); });
    qCDebug(lcTyping, "an input-method engine connected");
  }
}

void InputMethodFeed::read(QLocalSocket* socket) {
  auto engine = std::ranges::find(engines_, socket, &Engine::socket);
  if (engine == engines_.end()) return;
  const bool was_ready = ready();
  while (socket->canReadLine()) {
    const QByteArray line = socket->readLine(kLineMax).trimmed();
    if (line == "active 1" || line == "active 0") engine->active = line.endsWith('1');
    else if (line == "switchable 1" || line == "switchable 0") engine->switchable = line.endsWith('1');
    else qCDebug(lcTyping, "an input-method engine sent an unknown line");
  }
  if (socket->bytesAvailable() >= kLineMax) {  // no line end in sight: not one of ours
    socket->abort();
    return;
  }
  if (ready() != was_ready) emit readyChanged();
}

void InputMethodFeed::drop(QLocalSocket* socket) {
  const bool was_ready = ready();
  engines_.removeIf([socket](const Engine& e) { return e.socket == socket; });
  socket->deleteLater();
  if (ready() != was_ready) emit readyChanged();
}

void InputMethodFeed::send(const QByteArray& line) {
  for (const Engine& e : std::as_const(engines_)) e.socket->write(line + '\n');
}
