// The app's only gateway to the inference engine: one loaded model and at most one stream,
// engine failures turned into OrvaneError, token bytes turned into text. It does no locking;
// the caller runs every stream operation on one thread (AppState's inference queue).
#ifndef ORVANE_APP_ORVANE_ENGINE_H
#define ORVANE_APP_ORVANE_ENGINE_H

#include <QString>
#include <memory>
#include <span>

#include "orvane.h"
#include "orvane_error.h"
#include "utf8_joiner.h"

class OrvaneEngine {
 public:
  OrvaneEngine();
  ~OrvaneEngine();  // releases the stream before the context
  OrvaneEngine(const OrvaneEngine&) = delete;
  OrvaneEngine& operator=(const OrvaneEngine&) = delete;

  // Starts the GPU backend when one is usable (the CPU path runs otherwise) and loads the model
  // in PATH. Does nothing while the model of PATH is loaded; another directory replaces the
  // loaded model. A failed load leaves the wrapper unloaded.
  void loadModel(const QString& path);
  bool isModelLoaded() const { return ctx_ != nullptr; }
  // Runs a short stream of silence, so the engine computes the start every stream shares now
  // rather than in the first dictation. Throws like startStream.
  void warmUp();
  // Frees the stream and the model, and hands the freed memory back to the system.
  void unload();
  // Whether the loaded model runs on the GPU (false before the first load).
  bool usesGpu() const { return uses_gpu_; }

  void startStream();                        // throws modelNotLoaded, streamInitFailed
  bool hasStream() const { return stream_ != nullptr; }
  void feedAudio(std::span<const float> samples);  // throws noActiveStream, feedFailed
  // Text of up to 64 queued tokens; characters split across reads come out whole.
  QString pollTokens();
  // Ends the audio and returns all text still to come. The stream stays until freeStream.
  QString finishStream();  // throws noActiveStream, finishFailed
  void freeStream();

 private:
  struct CtxFree {
    void operator()(orv_ctx_t* c) const { orv_free(c); }
  };
  struct StreamFree {
    void operator()(orv_stream_t* s) const { orv_stream_free(s); }
  };

  // Reads up to 64 queued token strings and appends their complete text; returns the count.
  int readTokens(QString& text);

  std::unique_ptr<orv_ctx_t, CtxFree> ctx_;
  std::unique_ptr<orv_stream_t, StreamFree> stream_;  // declared after ctx_: released first
  Utf8Joiner joiner_;
  QString loaded_path_;
  bool uses_gpu_ = false;
  bool gpu_checked_ = false;
};

#endif
