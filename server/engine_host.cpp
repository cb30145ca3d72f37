// Model loading in the background and the admission of transcriptions to the shared context.
#include "engine_host.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <utility>

namespace {

std::string name_of(const std::string& dir) {
  const std::filesystem::path p = std::filesystem::path(dir).lexically_normal();
  const std::string name = (p.has_filename() ? p.filename() : p.parent_path().filename()).string();
  return name.empty() ? "orvane" : name;
}

}  // namespace

RefusalAnswer answer_for(Refusal why) {
  switch (why) {
    case Refusal::queue_full:
      return {429, 1, "queue_full", "too many transcriptions are waiting; try again shortly"};
    case Refusal::loading:
      return {503, 5, "loading", "the model is still loading; try again shortly"};
    case Refusal::failed:
      return {503, 60, "model_unavailable", "the model could not be loaded; see the server's log"};
    case Refusal::stopping:
      return {503, 5, "shutting_down", "the server is shutting down"};
    case Refusal::none:
    case Refusal::cancelled:
      break;
  }
  return {503, 1, "unavailable", "no transcription could be started"};
}

StreamLease::~StreamLease() { host_->release(stream_); }

bool StreamLease::abandoned() const {
  std::lock_guard lock(host_->mutex_);
  return host_->abandoned_;
}

EngineHost::EngineHost(EngineConfig config)
    : config_(std::move(config)), model_name_(name_of(config_.model_dir)), loader_([this] { load(); }) {}

EngineHost::~EngineHost() {
  if (loader_.joinable()) loader_.join();
  orv_free(ctx_);
}

void EngineHost::load() {
  orv_set_threads(config_.threads);
  if (!config_.cpu) orv_gpu_init();
  orv_ctx_t* ctx = orv_load(config_.model_dir.c_str());
  if (ctx && config_.int8 && orv_set_int8(ctx, 1) != 0) {
    orv_free(ctx);
    ctx = nullptr;
  }
  if (!ctx) std::fprintf(stderr, "orvane-server: cannot load the model in %s\n", config_.model_dir.c_str());
  {
    std::lock_guard lock(mutex_);
    ctx_ = ctx;
    state_ = ctx ? State::ready : State::failed;
  }
  changed_.notify_all();
}

EngineHost::State EngineHost::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

std::unique_ptr<StreamLease> EngineHost::acquire(const std::function<bool()>& cancelled, Refusal& why) {
  std::unique_lock lock(mutex_);
  why = Refusal::none;
  if (stopping_) why = Refusal::stopping;
  else if (state_ == State::failed) why = Refusal::failed;
  else if (running_ + waiting_ >= config_.streams + config_.queue) why = Refusal::queue_full;
  if (why != Refusal::none) return nullptr;
  waiting_++;
  const auto load_deadline = std::chrono::steady_clock::now() + config_.load_wait;
  while (!stopping_ && state_ != State::failed && !(state_ == State::ready && running_ < config_.streams)) {
    if (state_ == State::loading && std::chrono::steady_clock::now() >= load_deadline) break;
    changed_.wait_for(lock, std::chrono::milliseconds(100));
    if (cancelled && cancelled()) {
      why = Refusal::cancelled;
      break;
    }
  }
  waiting_--;
  if (why == Refusal::none) {
    if (stopping_) why = Refusal::stopping;
    else if (state_ == State::failed) why = Refusal::failed;
    else if (state_ == State::loading) why = Refusal::loading;
  }
  if (why != Refusal::none) return nullptr;
  running_++;  // the place is taken; the stream is made outside the lock
  lock.unlock();
  orv_stream_t* s = orv_stream_create(ctx_);
  if (!s) {
    why = Refusal::failed;
    release(nullptr);
    return nullptr;
  }
  return std::make_unique<StreamLease>(*this, s);
}

void EngineHost::release(orv_stream_t* stream) {
  orv_stream_free(stream);
  {
    std::lock_guard lock(mutex_);
    running_--;
  }
  changed_.notify_all();
}

void EngineHost::drain(std::chrono::milliseconds grace) {
  std::unique_lock lock(mutex_);
  stopping_ = true;
  changed_.notify_all();
  if (!changed_.wait_for(lock, grace, [&] { return running_ == 0; })) {
    std::fprintf(stderr, "orvane-server: %d transcriptions still running after the grace time; stopping them\n",
                 running_);
    abandoned_ = true;  // the transcriptions stop at their next block; an idle one ends with its connection
    changed_.wait_for(lock, std::chrono::seconds(5), [&] { return running_ == 0; });
  }
}
