// The Wyoming speech-to-text service: describe/info, ping/pong, and transcription of the audio
// between audio-start and audio-stop, with the words sent back as transcript-chunk events while
// the audio still arrives.
#ifndef ORVANE_SERVER_WYOMING_SERVER_H
#define ORVANE_SERVER_WYOMING_SERVER_H

#include <atomic>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "engine_host.h"
#include "server_info.h"

class WyomingServer {
 public:
  WyomingServer(EngineHost& engine, const ServerInfo& info) : engine_(engine), info_(info) {}
  ~WyomingServer() { stop(); }
  WyomingServer(const WyomingServer&) = delete;
  WyomingServer& operator=(const WyomingServer&) = delete;

  // Binds HOST:PORT and starts accepting; false with *ERROR set when it cannot.
  bool start(const std::string& host, int port, std::string* error);
  int port() const { return port_; }
  // Stops accepting, ends every connection and waits for their threads.
  void stop();

 private:
  struct Connection {
    int fd;
    std::thread thread;
    std::atomic<bool> done{false};
  };
  void accept_loop();
  void serve(Connection& c);
  void reap_finished();

  EngineHost& engine_;
  const ServerInfo& info_;
  int listen_fd_ = -1, port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::mutex mutex_;
  std::list<Connection> connections_;
};

#endif
