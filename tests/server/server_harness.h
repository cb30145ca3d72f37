// Running orvane-server in tests: the daemon started on free ports and stopped by SIGTERM, a
// Wyoming client written from the protocol, and shell commands (curl, orvane) with their output.
#ifndef ORVANE_TEST_SERVER_HARNESS_H
#define ORVANE_TEST_SERVER_HARNESS_H

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "temp_dir.h"

class ServerProcess {
 public:
  // Starts the server on the tiny model with EXTRA arguments and waits until both ports listen.
  explicit ServerProcess(const std::vector<std::string>& extra = {});
  ~ServerProcess();  // kills it if it still runs
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  int http_port() const { return http_port_; }
  int wyoming_port() const { return wyoming_port_; }
  std::string url(const std::string& path) const;
  // Sends SIGTERM.
  void terminate();
  // Waits for the exit: its status, or -1 when it did not exit normally within LIMIT_S.
  int wait_exit(int limit_s = 60);
  int stop(int limit_s = 60) {
    terminate();
    return wait_exit(limit_s);
  }
  std::string log() const;

 private:
  TempDir dir_;
  int pid_ = -1, http_port_ = 0, wyoming_port_ = 0;
};

struct WyomingEventIn {
  std::string type;
  nlohmann::json data;
  std::string payload;
};

class WyomingClient {
 public:
  explicit WyomingClient(int port);
  ~WyomingClient();
  WyomingClient(const WyomingClient&) = delete;
  WyomingClient& operator=(const WyomingClient&) = delete;

  // Sends an event with its data inline in the header (INLINE_DATA) or in the extra block.
  void send(const std::string& type, const nlohmann::json& data = nlohmann::json::object(),
            const std::string& payload = {}, bool inline_data = false);
  void send_raw(const std::string& bytes);
  // The next event; type "" when the connection ended or 30 s passed.
  WyomingEventIn read();
  // Reads events until one of type TYPE (which it returns); the others go to SKIPPED.
  WyomingEventIn read_until(const std::string& type, std::vector<WyomingEventIn>* skipped = nullptr);
  void close();
  int fd() const { return fd_; }
  // Everything the server sends until it closes the connection (or 30 s pass).
  std::string read_to_end();

 private:
  bool fill();
  bool read_exact(std::string& out, size_t n);
  int fd_ = -1;
  std::string buffer_;
};

// Result of a shell command: exit status and standard output.
struct Command {
  int status = -1;
  std::string out;
};
Command run(const std::string& command);

// Sends BYTES on a new connection to PORT, pausing PAUSE_MS after every byte past the first
// SLOW_FROM (never, by default), and returns everything the server sends back.
std::string raw_exchange(int port, const std::string& bytes, size_t slow_from = std::string::npos, int pause_ms = 0);

// The transcript `orvane --format FORMAT` prints for FILE on the tiny model.
std::string cli_output(const std::string& file, const std::string& format);

// Transcribes the raw PCM (RATE, WIDTH, CHANNELS) over Wyoming in chunks of CHUNK bytes; with
// READ_WHILE_SENDING the transcript-chunk texts are read as they come. Returns the transcript
// and puts the joined chunk texts into *CHUNKS when given.
std::string wyoming_transcribe(int port, const std::string& pcm, int rate, int width, int channels,
                               size_t chunk = 4096, bool read_while_sending = false, std::string* chunks = nullptr);

#endif
