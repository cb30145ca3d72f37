// The Wyoming speech-to-text conversation.
#include "wyoming_session.h"


using nlohmann::json;

namespace {

// An integer field of an audio event, DEFAULT_VALUE when absent; false when it is not an integer.
bool int_field(const json& data, const char* key, int default_value, int* out) {
  const auto it = data.find(key);
  if (it == data.end() || it->is_null()) {
    *out = default_value;
    return true;
  }
  if (!it->is_number_integer() || it->get<int64_t>() < 0 || it->get<int64_t>() > 1 << 24) return false;
  *out = it->get<int>();
  return true;
}

std::string read_format(const json& data, PcmFormat* f) {
  if (!int_field(data, "rate", 16000, &f->rate) || !int_field(data, "width", 2, &f->width) ||
      !int_field(data, "channels", 1, &f->channels))
    return "rate, width and channels must be integers";
  return pcm_format_problem(*f);
}

}  // namespace

bool WyomingSession::handle(const WyomingEvent& event) {
  const std::string& type = event.type;
  if (type == "describe") return describe();
  if (type == "ping") return send("pong", event.data);
  if (type == "transcribe") {
    const auto it = event.data.find("language");
    language_ = it != event.data.end() && it->is_string() ? it->get<std::string>() : "";
    return true;
  }
  if (type == "audio-start") return start_audio(event.data);
  if (type == "audio-chunk") return audio_chunk(event);
  if (type == "audio-stop") return stop_audio();
  return true;  // events for other services are not ours to answer
}

bool WyomingSession::error(const std::string& text, const std::string& code) {
  return send("error", {{"text", text}, {"code", code}});
}

bool WyomingSession::describe() {
  const ServerInfo& info = info_;
  const json attribution = {{"name", info.attribution}, {"url", info.url}};
  const json model = {{"name", engine_.model_name()},      {"attribution", attribution},
                      {"installed", true},                  {"description", info.model_description},
                      {"version", info.version},            {"languages", info.languages}};
  const json asr = {{"name", "orvane"},
                    {"attribution", attribution},
                    {"installed", true},
                    {"description", info.description},
                    {"version", info.version},
                    {"models", json::array({model})},
                    {"supports_transcript_streaming", true}};
  return send("info", {{"asr", json::array({asr})},
                       {"tts", json::array()},
                       {"handle", json::array()},
                       {"intent", json::array()},
                       {"wake", json::array()}});
}

bool WyomingSession::start_audio(const json& data) {
  text_.reset();
  lease_.reset();
  pcm_.reset();
  PcmFormat format;
  if (const std::string problem = read_format(data, &format); !problem.empty())
    return error("audio format refused: " + problem, "bad-audio-format");
  Refusal why;
  lease_ = engine_.acquire(gone_, why);
  if (!lease_) return why != Refusal::cancelled && error(answer_for(why).message, answer_for(why).code);
  text_.emplace(lease_->stream());
  pcm_.emplace(format);
  return send("transcript-start", language_.empty() ? json::object() : json{{"language", language_}});
}

bool WyomingSession::audio_chunk(const WyomingEvent& event) {
  if (!text_) {  // audio without audio-start: it starts here
    if (!start_audio(event.data)) return false;
    if (!text_) return true;
  }
  PcmFormat format;
  if (const std::string problem = read_format(event.data, &format); !problem.empty())
    return error("audio format refused: " + problem, "bad-audio-format");
  std::vector<float> samples;
  if (!(pcm_->format() == format)) {
    pcm_->finish(samples);
    pcm_.emplace(format);
  }
  pcm_->convert(event.payload, samples);
  return feed(samples);
}

bool WyomingSession::feed(const std::vector<float>& samples) {
  if (lease_->abandoned()) {
    error("the server is shutting down", "shutting-down");
    return false;
  }
  const std::string delta = text_->feed(samples);
  return delta.empty() || send("transcript-chunk", {{"text", delta}});
}

bool WyomingSession::stop_audio() {
  if (!text_) return send("transcript", {{"text", ""}});
  std::vector<float> tail;
  pcm_->finish(tail);
  if (!feed(tail)) return false;
  const std::string delta = text_->finish();
  if (!delta.empty() && !send("transcript-chunk", {{"text", delta}})) return false;
  json transcript = {{"text", text_->transcript().text()}};
  if (!language_.empty()) transcript["language"] = language_;
  text_.reset();
  lease_.reset();
  pcm_.reset();
  return send("transcript", transcript) && send("transcript-stop", json::object());
}
