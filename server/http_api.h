// The OpenAI-style HTTP API: POST /v1/audio/transcriptions (multipart upload, whole answers in
// five formats or server-sent events while decoding), GET /v1/models and GET /health.
#ifndef ORVANE_SERVER_HTTP_API_H
#define ORVANE_SERVER_HTTP_API_H

#include <httplib.h>

#include <string>
#include <thread>

#include "engine_host.h"
#include "server_info.h"

struct HttpConfig {
  size_t max_upload = 200u * 1000 * 1000;  // bytes of request body
  int read_timeout_s = 30;  // a read that waits this long fails; slower uploads are cut off too
  int threads = 32;         // connections served at once
};

class HttpApi {
 public:
  HttpApi(EngineHost& engine, const ServerInfo& info, const HttpConfig& config);
  ~HttpApi() { stop(); }
  HttpApi(const HttpApi&) = delete;
  HttpApi& operator=(const HttpApi&) = delete;

  // Binds HOST:PORT and starts serving; false with *ERROR set when it cannot.
  bool start(const std::string& host, int port, std::string* error);
  int port() const { return port_; }
  void stop();

 private:
  void transcribe(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader);

  EngineHost& engine_;
  const ServerInfo& info_;
  const HttpConfig config_;
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
};

#endif
