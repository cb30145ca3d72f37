// Wyoming events on a byte stream: a JSON header line (type, data, data_length, payload_length,
// version), then data_length bytes of JSON merged over the header's data, then the payload.
#ifndef ORVANE_SERVER_WYOMING_EVENT_H
#define ORVANE_SERVER_WYOMING_EVENT_H

#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

struct WyomingEvent {
  std::string type;
  nlohmann::json data = nlohmann::json::object();
  std::string payload;
};

// Limits on what one event may carry; longer ones are refused rather than buffered.
constexpr size_t kWyomingMaxHeader = 64 * 1024;
constexpr size_t kWyomingMaxData = 1024 * 1024;
constexpr size_t kWyomingMaxPayload = 16 * 1024 * 1024;

enum class WyomingParse { event, need_more, error };

// Reads one event from the start of BYTES. On `event`, *CONSUMED is its length; on `error`,
// *ERROR says why (the stream cannot be resynchronised after one).
WyomingParse parse_wyoming_event(std::string_view bytes, WyomingEvent* event, size_t* consumed, std::string* error);

// The event as bytes, its data in the extra block.
std::string encode_wyoming_event(std::string_view type, const nlohmann::json& data, std::string_view payload = {});

#endif
