// The fields of an OpenAI-style transcription request, checked.
#ifndef ORVANE_SERVER_TRANSCRIPTION_FORM_H
#define ORVANE_SERVER_TRANSCRIPTION_FORM_H

#include <map>
#include <string>
#include <vector>

struct TranscriptionForm {
  std::string response_format = "json";  // json, text, srt, vtt or verbose_json
  bool stream = false;
  bool words = false;     // timestamp_granularities[] includes "word"
  std::string language;   // reported back, not used to decode
  std::string model, prompt;  // accepted, not used
};

// Reads FIELDS (every value of every non-file field); on a bad one, *PARAM names it and the
// message says what is wrong, otherwise the message is empty.
std::string read_transcription_form(const std::multimap<std::string, std::string>& fields, TranscriptionForm* form,
                                    std::string* param);

#endif
