// Wyoming over TCP: one thread per connection, events read with a size limit and an idle timeout.
#include "wyoming_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "net.h"
#include "wyoming_session.h"

namespace {

constexpr int kIdleTimeoutS = 120;   // a connection silent this long is closed
constexpr size_t kMaxConnections = 64;

}  // namespace

bool WyomingServer::start(const std::string& host, int port, std::string* error) {
  listen_fd_ = listen_tcp(host, port, error);
  if (listen_fd_ < 0) return false;
  port_ = bound_port(listen_fd_);
  acceptor_ = std::thread([this] { accept_loop(); });
  return true;
}

void WyomingServer::stop() {
  if (stopping_.exchange(true)) return;
  if (listen_fd_ >= 0) shutdown(listen_fd_, SHUT_RDWR);
  if (acceptor_.joinable()) acceptor_.join();
  if (listen_fd_ >= 0) close(listen_fd_);
  std::lock_guard lock(mutex_);
  for (Connection& c : connections_) shutdown(c.fd, SHUT_RDWR);
  for (Connection& c : connections_) {
    c.thread.join();
    close(c.fd);
  }
  connections_.clear();
}

void WyomingServer::accept_loop() {
  while (!stopping_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (poll(&p, 1, 500) <= 0) continue;
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    reap_finished();
    std::lock_guard lock(mutex_);
    if (stopping_ || connections_.size() >= kMaxConnections) {
      send_all(fd, encode_wyoming_event("error", {{"text", "too many connections"}, {"code", "busy"}}));
      close(fd);
      continue;
    }
    timeval idle{kIdleTimeoutS, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &idle, sizeof idle);
    Connection& c = connections_.emplace_back();
    c.fd = fd;
    c.thread = std::thread([this, &c] {
      serve(c);
      c.done = true;
    });
  }
}

void WyomingServer::reap_finished() {
  std::lock_guard lock(mutex_);
  for (auto it = connections_.begin(); it != connections_.end();) {
    if (!it->done) {
      ++it;
      continue;
    }
    it->thread.join();
    close(it->fd);
    it = connections_.erase(it);
  }
}

void WyomingServer::serve(Connection& c) {
  const int fd = c.fd;
  WyomingSession session(engine_, info_, [fd](const std::string& bytes) { return send_all(fd, bytes); },
                         [fd] { return peer_gone(fd); });
  std::string buffer;
  for (;;) {
    WyomingEvent event;
    size_t used = 0;
    std::string problem;
    switch (parse_wyoming_event(buffer, &event, &used, &problem)) {
      case WyomingParse::event:
        buffer.erase(0, used);
        if (!session.handle(event)) return;
        continue;
      case WyomingParse::error:
        session.error(problem, "bad-event");
        drain_before_close(fd);
        return;
      case WyomingParse::need_more:
        break;
    }
    char chunk[65536];
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (!buffer.empty() && n == 0) session.error("the connection ended inside an event", "truncated-event");
      return;
    }
    buffer.append(chunk, static_cast<size_t>(n));
  }
}
