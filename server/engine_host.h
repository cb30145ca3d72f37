// The one loaded model shared by every request: loaded in the background while the server already
// answers, and handed out as streams, a few running at once and a bounded number waiting.
#ifndef ORVANE_SERVER_ENGINE_HOST_H
#define ORVANE_SERVER_ENGINE_HOST_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "orvane.h"

struct EngineConfig {
  std::string model_dir;
  int streams = 2;   // transcriptions running at once
  int queue = 16;    // transcriptions waiting for one of them
  bool int8 = false;
  bool cpu = false;
  int threads = 0;   // every core
  std::chrono::milliseconds load_wait{30000};  // how long a request waits for the model
};

class EngineHost;

enum class Refusal { none, queue_full, loading, failed, stopping, cancelled };

// How a refusal is told to a client.
struct RefusalAnswer {
  int http_status;       // 429 or 503
  int retry_after_s;
  const char* code;      // a short machine-readable name
  const char* message;
};
RefusalAnswer answer_for(Refusal why);

// One running transcription's stream; gives its place back when destroyed.
class StreamLease {
 public:
  StreamLease(EngineHost& host, orv_stream_t* stream) : host_(&host), stream_(stream) {}
  ~StreamLease();
  StreamLease(const StreamLease&) = delete;
  StreamLease& operator=(const StreamLease&) = delete;
  orv_stream_t* stream() const { return stream_; }
  // True once the server is told to stop and the grace time has run out.
  bool abandoned() const;

 private:
  EngineHost* host_;
  orv_stream_t* stream_;
};

class EngineHost {
 public:
  enum class State { loading, ready, failed };

  explicit EngineHost(EngineConfig config);
  ~EngineHost();
  EngineHost(const EngineHost&) = delete;
  EngineHost& operator=(const EngineHost&) = delete;

  State state() const;
  const std::string& model_name() const { return model_name_; }

  // Waits for the model and a free place, asking CANCELLED every tenth of a second whether the
  // caller is still there. Null with the reason when none is given.
  std::unique_ptr<StreamLease> acquire(const std::function<bool()>& cancelled, Refusal& why);

  // Refuses new work, waits up to GRACE for the running transcriptions, then tells the rest to
  // stop and gives them a few seconds more.
  void drain(std::chrono::milliseconds grace);

 private:
  friend class StreamLease;
  void load();
  void release(orv_stream_t* stream);

  const EngineConfig config_;
  const std::string model_name_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  State state_ = State::loading;
  orv_ctx_t* ctx_ = nullptr;
  int running_ = 0, waiting_ = 0;
  bool stopping_ = false, abandoned_ = false;
  std::thread loader_;
};

#endif
