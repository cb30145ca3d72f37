// One Wyoming connection's conversation: events in, events out.
#ifndef ORVANE_SERVER_WYOMING_SESSION_H
#define ORVANE_SERVER_WYOMING_SESSION_H

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine_host.h"
#include "pcm_converter.h"
#include "server_info.h"
#include "stream_text.h"
#include "wyoming_event.h"

class WyomingSession {
 public:
  // SEND writes an event to the client (false when it is gone); GONE says whether it has left.
  WyomingSession(EngineHost& engine, const ServerInfo& info, std::function<bool(const std::string&)> send,
                 std::function<bool()> gone)
      : engine_(engine), info_(info), send_(std::move(send)), gone_(std::move(gone)) {}

  // Answers one event; false when the connection should close.
  bool handle(const WyomingEvent& event);
  // Sends an error event.
  bool error(const std::string& text, const std::string& code);

 private:
  bool describe();
  bool start_audio(const nlohmann::json& data);
  bool audio_chunk(const WyomingEvent& event);
  bool stop_audio();
  bool feed(const std::vector<float>& samples);
  bool send(std::string_view type, const nlohmann::json& data) { return send_(encode_wyoming_event(type, data)); }

  EngineHost& engine_;
  const ServerInfo& info_;
  std::function<bool(const std::string&)> send_;
  std::function<bool()> gone_;
  std::string language_;
  std::unique_ptr<StreamLease> lease_;
  std::optional<StreamText> text_;
  std::optional<PcmConverter> pcm_;
};

#endif
