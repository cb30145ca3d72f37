// Wyoming framing, both ways.
#include "wyoming_event.h"

#include <limits>

namespace {

using nlohmann::json;

// A length field: absent or null is 0; anything but a non-negative integer is an error.
bool read_length(const json& header, const char* key, size_t* out) {
  *out = 0;
  const auto it = header.find(key);
  if (it == header.end() || it->is_null()) return true;
  if (!it->is_number_integer() || it->get<int64_t>() < 0) return false;
  *out = static_cast<size_t>(std::min<uint64_t>(it->get<uint64_t>(), std::numeric_limits<size_t>::max() / 4));
  return true;
}

WyomingParse fail(std::string* error, std::string message) {
  *error = std::move(message);
  return WyomingParse::error;
}

}  // namespace

WyomingParse parse_wyoming_event(std::string_view bytes, WyomingEvent* event, size_t* consumed, std::string* error) {
  const size_t eol = bytes.find('\n');
  if (eol == std::string_view::npos)
    return bytes.size() > kWyomingMaxHeader ? fail(error, "header line longer than 64 KiB") : WyomingParse::need_more;
  if (eol > kWyomingMaxHeader) return fail(error, "header line longer than 64 KiB");
  const json header = json::parse(bytes.substr(0, eol), nullptr, false);
  if (header.is_discarded() || !header.is_object()) return fail(error, "header is not a JSON object");
  const auto type = header.find("type");
  if (type == header.end() || !type->is_string() || type->get_ref<const std::string&>().empty())
    return fail(error, "header has no type");
  size_t data_length = 0, payload_length = 0;
  if (!read_length(header, "data_length", &data_length) || !read_length(header, "payload_length", &payload_length))
    return fail(error, "data_length and payload_length must be non-negative integers");
  if (data_length > kWyomingMaxData) return fail(error, "data block larger than 1 MiB");
  if (payload_length > kWyomingMaxPayload) return fail(error, "payload larger than 16 MiB");
  json data = json::object();
  if (const auto d = header.find("data"); d != header.end() && !d->is_null()) {
    if (!d->is_object()) return fail(error, "data is not a JSON object");
    data = *d;
  }
  const size_t total = eol + 1 + data_length + payload_length;
  if (bytes.size() < total) return WyomingParse::need_more;
  if (data_length > 0) {
    const json extra = json::parse(bytes.substr(eol + 1, data_length), nullptr, false);
    if (extra.is_discarded() || !extra.is_object()) return fail(error, "data block is not a JSON object");
    for (const auto& [key, value] : extra.items()) data[key] = value;
  }
  event->type = type->get<std::string>();
  event->data = std::move(data);
  event->payload.assign(bytes.substr(eol + 1 + data_length, payload_length));
  *consumed = total;
  return WyomingParse::event;
}

std::string encode_wyoming_event(std::string_view type, const json& data, std::string_view payload) {
  const std::string body = data.dump(-1, ' ', false, json::error_handler_t::replace);
  json header = {{"type", type}, {"version", "1.5.2"}, {"data_length", body.size()}};
  if (!payload.empty()) header["payload_length"] = payload.size();
  std::string out = header.dump(-1, ' ', false, json::error_handler_t::replace);
  out += '\n';
  out += body;
  out.append(payload);
  return out;
}
