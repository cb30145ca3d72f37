#include "server_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "tiny_model.h"

using nlohmann::json;

extern char** environ;

ServerProcess::ServerProcess(const std::vector<std::string>& extra) {
  std::vector<std::string> args = {ORVANE_TEST_BIN_DIR "/server/orvane-server", "-d", tiny_model_dir(), "--cpu",
                                   "--http", "127.0.0.1:0", "--wyoming", "tcp://127.0.0.1:0"};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string log = dir_.file("log");
  posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start orvane-server");
  const std::regex http(R"(HTTP on [^ ]+:(\d+))"), wyoming(R"(Wyoming on tcp://[^ ]+:(\d+))");
  for (int i = 0; i < 300 && (!http_port_ || !wyoming_port_); i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::string text = read_file(log);
    std::smatch m;
    if (std::regex_search(text, m, http)) http_port_ = std::stoi(m[1]);
    if (std::regex_search(text, m, wyoming)) wyoming_port_ = std::stoi(m[1]);
  }
  if (!http_port_ || !wyoming_port_) throw std::runtime_error("orvane-server did not listen: " + read_file(log));
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

std::string ServerProcess::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(http_port_) + path;
}

std::string ServerProcess::log() const { return read_file(dir_.file("log")); }

void ServerProcess::terminate() { kill(pid_, SIGTERM); }

int ServerProcess::wait_exit(int limit_s) {
  for (int i = 0; i < limit_s * 20; i++) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return -1;
}

WyomingClient::WyomingClient(int port) {
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("cannot connect");
}

WyomingClient::~WyomingClient() { close(); }

void WyomingClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void WyomingClient::send(const std::string& type, const json& data, const std::string& payload, bool inline_data) {
  json header = {{"type", type}, {"version", "1.0.0"}};
  std::string extra;
  if (inline_data) {
    header["data"] = data;
  } else if (!data.empty()) {
    extra = data.dump();
    header["data_length"] = extra.size();
  }
  if (!payload.empty()) header["payload_length"] = payload.size();
  send_raw(header.dump() + "\n" + extra + payload);
}

void WyomingClient::send_raw(const std::string& bytes) {
  for (size_t at = 0; at < bytes.size();) {
    const ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return;
    at += static_cast<size_t>(n);
  }
}

bool WyomingClient::fill() {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, 30000) <= 0) return false;
  char chunk[65536];
  const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
  if (got <= 0) return false;
  buffer_.append(chunk, static_cast<size_t>(got));
  return true;
}

bool WyomingClient::read_exact(std::string& out, size_t n) {
  while (buffer_.size() < n)
    if (!fill()) return false;
  out = buffer_.substr(0, n);
  buffer_.erase(0, n);
  return true;
}

std::string WyomingClient::read_to_end() {
  while (fill()) {
  }
  return std::exchange(buffer_, std::string());
}

WyomingEventIn WyomingClient::read() {
  while (buffer_.find('\n') == std::string::npos)
    if (!fill()) return {};
  const size_t eol = buffer_.find('\n');
  const json header = json::parse(buffer_.substr(0, eol));
  buffer_.erase(0, eol + 1);
  WyomingEventIn e{header.at("type").get<std::string>(), header.value("data", json::object()), {}};
  std::string extra;
  if (!read_exact(extra, header.value("data_length", size_t{0}))) return {};
  if (!extra.empty()) e.data.update(json::parse(extra));
  if (!read_exact(e.payload, header.value("payload_length", size_t{0}))) return {};
  return e;
}

WyomingEventIn WyomingClient::read_until(const std::string& type, std::vector<WyomingEventIn>* skipped) {
  for (;;) {
    WyomingEventIn e = read();
    if (e.type == type || e.type.empty()) return e;
    if (skipped) skipped->push_back(e);
  }
}

namespace {

bool peer_closed(int fd) {
  pollfd p{fd, POLLIN | POLLRDHUP, 0};
  return poll(&p, 1, 0) > 0;
}

}  // namespace

Command run(const std::string& command) {
  Command c;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return c;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) c.out.append(buf, n);
  const int status = pclose(p);
  c.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return c;
}

std::string cli_output(const std::string& file, const std::string& format) {
  return run(ORVANE_TEST_BIN_DIR "/cli/orvane --cpu -d '" + tiny_model_dir() + "' --format " + format + " '" + file +
             "'")
      .out;
}

std::string wyoming_transcribe(int port, const std::string& pcm, int rate, int width, int channels, size_t chunk,
                               bool read_while_sending, std::string* chunks) {
  WyomingClient c(port);
  const json format = {{"rate", rate}, {"width", width}, {"channels", channels}};
  c.send("transcribe", {{"language", "en"}});
  c.send("audio-start", format);
  std::string joined;
  auto take = [&](const WyomingEventIn& e) {
    if (e.type == "transcript-chunk") joined += e.data.value("text", "");
  };
  for (size_t at = 0; at < pcm.size(); at += chunk) {
    c.send("audio-chunk", format, pcm.substr(at, chunk), at % (2 * chunk) == 0);
    if (!read_while_sending) continue;
    pollfd p{c.fd(), POLLIN, 0};
    while (poll(&p, 1, 0) > 0) take(c.read());
  }
  c.send("audio-stop");
  std::vector<WyomingEventIn> before;
  const WyomingEventIn t = c.read_until("transcript", &before);
  for (const WyomingEventIn& e : before) take(e);
  if (chunks) *chunks = joined;
  if (c.read().type != "transcript-stop") return "<no transcript-stop>";
  return t.type == "transcript" ? t.data.value("text", "") : "<" + t.type + ">";
}

std::string raw_exchange(int port, const std::string& bytes, size_t slow_from, int pause_ms) {
  WyomingClient c(port);
  const size_t fast = std::min(slow_from, bytes.size());
  c.send_raw(bytes.substr(0, fast));
  for (size_t at = fast; at < bytes.size() && !peer_closed(c.fd()); at++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    c.send_raw(bytes.substr(at, 1));
  }
  return c.read_to_end();
}
