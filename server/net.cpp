// Socket helpers over the POSIX API.
#include "net.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

bool split_host_port(std::string_view text, std::string* host, int* port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  std::string_view h = text.substr(0, colon), p = text.substr(colon + 1);
  if (h.front() == '[') {
    if (h.size() < 3 || h.back() != ']') return false;
    h = h.substr(1, h.size() - 2);
  } else if (h.find(':') != std::string_view::npos) {
    return false;
  }
  int value = -1;
  const auto [end, ec] = std::from_chars(p.data(), p.data() + p.size(), value);
  if (ec != std::errc() || end != p.data() + p.size() || value < 0 || value > 65535) return false;
  *host = std::string(h);
  *port = value;
  return true;
}

int listen_tcp(const std::string& host, int port, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
    *error = host + ": " + gai_strerror(rc);
    return -1;
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, &freeaddrinfo);
  for (const addrinfo* a = found; a; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, 64) == 0) return fd;
    *error = host + ":" + service + ": " + std::strerror(errno);
    close(fd);
  }
  if (error->empty()) *error = host + ": no address to listen on";
  return -1;
}

int bound_port(int fd) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return -1;
  return ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&a)->sin6_port
                                       : reinterpret_cast<sockaddr_in*>(&a)->sin_port);
}

bool peer_gone(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL));
}

bool send_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void drain_before_close(int fd) {
  shutdown(fd, SHUT_WR);
  char sink[65536];
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  for (pollfd p{fd, POLLIN, 0}; std::chrono::steady_clock::now() < until && poll(&p, 1, 100) >= 0;) {
    if (p.revents && recv(fd, sink, sizeof sink, 0) <= 0) return;
  }
}

namespace {

bool address_is(const sockaddr_storage& a, const std::string& addr, int port) {
  char text[INET6_ADDRSTRLEN] = {};
  int p = -1;
  if (a.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(a);
    inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    p = ntohs(v4.sin_port);
  } else if (a.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
    inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    p = ntohs(v6.sin6_port);
  }
  return p == port && addr == text;
}

}  // namespace

int find_connection(const std::string& local_addr, int local_port, const std::string& peer_addr, int peer_port) {
  struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
  };
  std::unique_ptr<DIR, DirCloser> dir(opendir("/proc/self/fd"));
  if (!dir) return -1;
  while (const dirent* e = readdir(dir.get())) {
    const int fd = std::atoi(e->d_name);
    if (fd <= 2) continue;
    sockaddr_storage local{}, peer{};
    socklen_t llen = sizeof local, plen = sizeof peer;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &llen) == 0 &&
        getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &plen) == 0 && address_is(local, local_addr, local_port) &&
        address_is(peer, peer_addr, peer_port))
      return fd;
  }
  return -1;
}
