// Checking the form fields of a transcription request.
#include "transcription_form.h"

namespace {

bool parse_bool(const std::string& v, bool* out) {
  if (v == "true" || v == "1") *out = true;
  else if (v == "false" || v == "0") *out = false;
  else return false;
  return true;
}

}  // namespace

std::string read_transcription_form(const std::multimap<std::string, std::string>& fields, TranscriptionForm* form,
                                    std::string* param) {
  for (const auto& [key, value] : fields) {
    *param = key;
    if (key == "response_format") {
      if (value != "json" && value != "text" && value != "srt" && value != "vtt" && value != "verbose_json")
        return "response_format must be json, text, srt, vtt or verbose_json";
      form->response_format = value;
    } else if (key == "stream") {
      if (!parse_bool(value, &form->stream)) return "stream must be true or false";
    } else if (key == "timestamp_granularities[]" || key == "timestamp_granularities") {
      if (value != "word" && value != "segment") return "timestamp_granularities must be word or segment";
      form->words = form->words || value == "word";
    } else if (key == "language") {
      form->language = value;
    } else if (key == "model") {
      form->model = value;
    } else if (key == "prompt") {
      form->prompt = value;
    }
    // Other fields (temperature, include[], chunking_strategy) change nothing here.
  }
  param->clear();
  if (form->stream && form->response_format != "json" && form->response_format != "text") {
    *param = "stream";
    return "stream works with the json and text formats";
  }
  return {};
}
