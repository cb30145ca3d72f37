// orvane-server's command line.
#ifndef ORVANE_SERVER_OPTIONS_H
#define ORVANE_SERVER_OPTIONS_H

#include <string>
#include <vector>

#include "engine_host.h"
#include "http_api.h"

struct ServerOptions {
  EngineConfig engine;
  HttpConfig http;
  std::string http_host = "127.0.0.1";
  int http_port = 8080;
  std::string wyoming_host = "127.0.0.1";
  int wyoming_port = 10300;
  bool http_on = true, wyoming_on = true;
  std::vector<std::string> languages = {"en"};
  int grace_s = 30;  // how long SIGTERM waits for running transcriptions
  int verbose = 0;
};

// Parses ARGV; prints help or a usage error and exits where it must.
ServerOptions parse_server_options(int argc, char** argv);

#endif
