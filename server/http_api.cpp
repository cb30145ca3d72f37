// The HTTP routes. cpp-httplib reads requests and writes responses; each transcription runs on
// the connection's own thread, on its own stream.
#include "http_api.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <memory>

#include "audio_source.h"
#include "net.h"
#include "stream_text.h"
#include "transcription_form.h"
#include "upload.h"

using nlohmann::json;

namespace {

std::string dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

void send_error(httplib::Response& res, int status, const std::string& message, const std::string& code,
                const std::string& param = {}) {
  const char* type = status == 429 ? "rate_limit_error" : status >= 500 ? "server_error" : "invalid_request_error";
  res.status = status;
  res.set_content(dump({{"error",
                         {{"message", message},
                          {"type", type},
                          {"param", param.empty() ? json(nullptr) : json(param)},
                          {"code", code.empty() ? json(nullptr) : json(code)}}}}),
                  "application/json");
}

void send_refusal(httplib::Response& res, Refusal why) {
  const RefusalAnswer a = answer_for(why);
  res.set_header("Retry-After", std::to_string(a.retry_after_s));
  send_error(res, a.http_status, a.message, a.code);
}

std::string sse(const json& event) { return "data: " + dump(event) + "\n\n"; }

// The whole answer in the requested format, from the same timing as the command line's output.
void send_transcript(httplib::Response& res, const StreamText& text, const TranscriptionForm& form) {
  const Transcript& t = text.transcript();
  const std::string& f = form.response_format;
  if (f == "json")
    res.set_content(dump({{"text", t.text()}}), "application/json");
  else if (f == "verbose_json")
    res.set_content(format_verbose_json(t, text.duration_ms(), form.language.empty() ? "unknown" : form.language,
                                        form.words),
                    "application/json");
  else if (f == "srt")
    res.set_content(format_cues(t, text.duration_ms(), false), "application/x-subrip; charset=utf-8");
  else if (f == "vtt")
    res.set_content(format_cues(t, text.duration_ms(), true), "text/vtt; charset=utf-8");
  else
    res.set_content(t.text() + "\n", "text/plain; charset=utf-8");
}

// A transcription after its request was read: the audio, the stream and the connection to watch.
struct Job {
  std::unique_ptr<AudioSource> audio;
  std::unique_ptr<StreamLease> lease;
  std::unique_ptr<StreamText> text;
  int fd = -1;  // the client's connection, -1 when it could not be found
  // False, after a line in the log, once the client has left or the server gives up on it.
  bool keep_going() const {
    const bool left = fd >= 0 && peer_gone(fd), abandoned = lease->abandoned();
    if (left || abandoned)
      std::fprintf(stderr, "orvane-server: transcription stopped: %s\n",
                   left ? "the client left" : "the server is stopping");
    return !left && !abandoned;
  }

  // Runs the audio through the stream, handing on the text as it is decoded; false when the
  // client left or the audio could not be read.
  bool run(const std::function<bool(const std::string&)>& on_text) {
    const float* x = nullptr;
    int n = 0;
    while ((n = audio->read(&x)) > 0) {
      if (!keep_going()) return false;
      if (const std::string t = text->feed({x, static_cast<size_t>(n)}); !t.empty() && !on_text(t)) return false;
    }
    if (n < 0 || !keep_going()) return false;
    const std::string tail = text->finish();
    return tail.empty() || on_text(tail);
  }
};

}  // namespace

HttpApi::HttpApi(EngineHost& engine, const ServerInfo& info, const HttpConfig& config)
    : engine_(engine), info_(info), config_(config) {
  // cpp-httplib takes ownership of the queue it is given.
  server_.new_task_queue = [n = static_cast<size_t>(config_.threads)] { return new httplib::ThreadPool(n); };
  server_.set_read_timeout(config_.read_timeout_s);
  server_.set_write_timeout(config_.read_timeout_s);
  server_.set_payload_max_length(config_.max_upload);
  // A client that asks first is told before it sends a body that is too large.
  server_.set_expect_100_continue_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (req.has_header("Content-Length") && req.get_header_value<uint64_t>("Content-Length") > config_.max_upload) {
      send_error(res, 413, "the request body is larger than the server accepts", "request_too_large");
      return 413;
    }
    return 100;
  });
  server_.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
    const int status = res.status;
    send_error(res, status,
               status == 404   ? "no such endpoint"
               : status == 413 ? "the request body is larger than the server accepts"
                               : "the request could not be served",
               "");
    return httplib::Server::HandlerResponse::Handled;
  }));

  server_.set_exception_handler([](const httplib::Request& req, httplib::Response& res, std::exception_ptr e) {
    std::string what = "unknown";
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      what = x.what();
    } catch (...) {
    }
    std::fprintf(stderr, "orvane-server: %s %s failed: %s\n", req.method.c_str(), req.path.c_str(), what.c_str());
    send_error(res, 500, "the server failed to answer: " + what, "internal_error");
  });
  server_.Get("/health", [this](const httplib::Request&, httplib::Response& res) {
    const EngineHost::State s = engine_.state();
    const char* status = s == EngineHost::State::ready ? "ok" : s == EngineHost::State::loading ? "loading" : "failed";
    res.status = s == EngineHost::State::ready ? 200 : 503;
    if (s == EngineHost::State::loading) res.set_header("Retry-After", "5");
    res.set_content(dump({{"status", status}, {"model", engine_.model_name()}, {"version", info_.version}}),
                    "application/json");
  });
  server_.Get("/v1/models", [this](const httplib::Request&, httplib::Response& res) {
    const json model = {{"id", engine_.model_name()}, {"object", "model"}, {"created", 0}, {"owned_by", "orvane"}};
    res.set_content(dump({{"object", "list"}, {"data", json::array({model})}}), "application/json");
  });
  server_.Post("/v1/audio/transcriptions",
               [this](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
                 transcribe(req, res, reader);
               });
}

bool HttpApi::start(const std::string& host, int port, std::string* error) {
  port_ = port == 0 ? server_.bind_to_any_port(host) : (server_.bind_to_port(host, port) ? port : -1);
  if (port_ <= 0) {
    *error = "cannot listen on " + host + ":" + std::to_string(port);
    return false;
  }
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  return true;
}

void HttpApi::stop() {
  server_.stop();
  if (thread_.joinable()) thread_.join();
}

void HttpApi::transcribe(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
  Upload upload;
  if (const UploadFault f = read_upload(req, reader, config_.max_upload, config_.read_timeout_s, upload); f.status) {
    res.set_header("Connection", "close");  // what is left of the body is not read
    return send_error(res, f.status, f.message, f.code);
  }
  TranscriptionForm form;
  std::string param;
  if (const std::string problem = read_transcription_form(upload.fields, &form, &param); !problem.empty())
    return send_error(res, 400, problem, "invalid_value", param);

  auto job = std::make_shared<Job>();
  job->audio = open_audio(upload.audio_path);
  if (!job->audio)
    return send_error(res, 415, "the file is not audio the server can read (WAV, FLAC, Ogg, Opus, MP3, AIFF)",
                      "unsupported_audio", "file");
  job->fd = find_connection(req.local_addr, req.local_port, req.remote_addr, req.remote_port);
  Refusal why;
  job->lease = engine_.acquire([fd = job->fd] { return fd >= 0 && peer_gone(fd); }, why);
  if (!job->lease) return send_refusal(res, why);
  job->text = std::make_unique<StreamText>(job->lease->stream());

  if (!form.stream) {
    if (job->run([](const std::string&) { return true; })) send_transcript(res, *job->text, form);
    else send_error(res, 500, "the transcription stopped before its end", "transcription_stopped");
    return;
  }
  // Server-sent events, written while the stream decodes.
  res.set_chunked_content_provider("text/event-stream", [job](size_t, httplib::DataSink& sink) {
    const bool done = job->run([&sink](const std::string& delta) {
      const std::string event = sse({{"type", "transcript.text.delta"}, {"delta", delta}});
      return sink.write(event.data(), event.size());
    });
    if (done) {
      const std::string event = sse({{"type", "transcript.text.done"}, {"text", job->text->transcript().text()}});
      sink.write(event.data(), event.size());
    }
    sink.done();
    job->lease.reset();  // the stream's place goes back before the connection ends
    return done;
  });
}
