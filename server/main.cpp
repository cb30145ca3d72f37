// orvane-server: one loaded model serving transcriptions over Wyoming and an OpenAI-style HTTP
// API. SIGTERM or SIGINT lets the running transcriptions finish (up to the grace time) and exits 0.
#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <memory>

#include "engine_host.h"
#include "http_api.h"
#include "options.h"
#include "wyoming_server.h"

int main(int argc, char** argv) {
  const ServerOptions o = parse_server_options(argc, argv);
  orv_verbose = o.verbose;
  // The signals are taken by sigwait below; every thread started from here inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  ServerInfo info;
  info.languages = o.languages;
  EngineHost engine(o.engine);
  HttpApi http(engine, info, o.http);
  WyomingServer wyoming(engine, info);
  std::string error;
  if (o.http_on) {
    if (!http.start(o.http_host, o.http_port, &error)) {
      std::fprintf(stderr, "orvane-server: %s\n", error.c_str());
      return 1;
    }
    std::fprintf(stderr, "orvane-server: HTTP on %s:%d\n", o.http_host.c_str(), http.port());
  }
  if (o.wyoming_on) {
    if (!wyoming.start(o.wyoming_host, o.wyoming_port, &error)) {
      std::fprintf(stderr, "orvane-server: Wyoming: %s\n", error.c_str());
      return 1;
    }
    std::fprintf(stderr, "orvane-server: Wyoming on tcp://%s:%d\n", o.wyoming_host.c_str(), wyoming.port());
  }

  int signal = 0;
  sigwait(&stop_signals, &signal);
  std::fprintf(stderr, "orvane-server: stopping\n");
  engine.drain(std::chrono::seconds(o.grace_s));
  http.stop();
  wyoming.stop();
  return 0;
}
