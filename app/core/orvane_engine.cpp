#include "orvane_engine.h"

#include <malloc.h>

#include <limits>
#include <string>
#include <vector>

namespace {
constexpr int kReadSlots = 64;  // token strings taken from the engine per read
}

OrvaneEngine::OrvaneEngine() = default;
OrvaneEngine::~OrvaneEngine() = default;

void OrvaneEngine::loadModel(const QString& path) {
  if (ctx_ && path == loaded_path_) return;
  unload();
  // Without a usable GPU the CPU path transcribes: slower, but dictation still works.
  if (!gpu_checked_) uses_gpu_ = orv_gpu_init() != 0;
  gpu_checked_ = true;
  ctx_.reset(orv_load(path.toUtf8().constData()));
  if (!ctx_) throw OrvaneError(OrvaneError::modelLoadFailed);
  loaded_path_ = path;
  // On the CPU, 8-bit decoder weights halve the memory read per token; where they cannot be
  // prepared the BF16 weights serve.
  if (!uses_gpu_) orv_set_int8(ctx_.get(), 1);
}

void OrvaneEngine::warmUp() {
  startStream();
  // A second is past the silence every stream starts with and the decoder's first steps.
  const std::vector<float> quiet(16000, 0.0f);
  orv_stream_feed(stream_.get(), quiet.data(), static_cast<int>(quiet.size()));
  freeStream();
}

void OrvaneEngine::unload() {
  stream_.reset();
  ctx_.reset();
  loaded_path_.clear();
  malloc_trim(0);
}

void OrvaneEngine::startStream() {
  if (!ctx_) throw OrvaneError(OrvaneError::modelNotLoaded);
  orv_stream_t* s = orv_stream_create(ctx_.get());
  if (!s) throw OrvaneError(OrvaneError::streamInitFailed);
  stream_.reset(s);
  joiner_ = Utf8Joiner();
}

void OrvaneEngine::feedAudio(std::span<const float> samples) {
  if (!stream_) throw OrvaneError(OrvaneError::noActiveStream);
  if (samples.size() > static_cast<size_t>(std::numeric_limits<int>::max()) ||
      orv_stream_feed(stream_.get(), samples.data(), static_cast<int>(samples.size())) != 0)
    throw OrvaneError(OrvaneError::feedFailed);
}

int OrvaneEngine::readTokens(QString& text) {
  const char* strings[kReadSlots] = {};
  const int got = orv_stream_get(stream_.get(), strings, kReadSlots);
  std::string bytes;
  for (int i = 0; i < got; i++)
    if (strings[i]) bytes += strings[i];
  text += joiner_.push(bytes);
  return got;
}

QString OrvaneEngine::pollTokens() {
  QString text;
  if (stream_) readTokens(text);
  return text;
}

QString OrvaneEngine::finishStream() {
  if (!stream_) throw OrvaneError(OrvaneError::noActiveStream);
  if (orv_stream_finish(stream_.get()) != 0) throw OrvaneError(OrvaneError::finishFailed);
  QString text;
  while (readTokens(text) > 0) {
  }
  return text + joiner_.flush();
}

void OrvaneEngine::freeStream() { stream_.reset(); }
