// A transcription request's multipart body, read as it arrives (cpp-httplib splits the parts):
// the audio file into a temporary file, the other fields into memory, within the size limit and
// the minimum upload speed.
#ifndef ORVANE_SERVER_UPLOAD_H
#define ORVANE_SERVER_UPLOAD_H

#include <httplib.h>

#include <map>
#include <string>

struct Upload {
  Upload() = default;
  ~Upload();
  Upload(const Upload&) = delete;
  Upload& operator=(const Upload&) = delete;

  std::string audio_path;  // the "file" part, removed with the Upload
  std::multimap<std::string, std::string> fields;
};

struct UploadFault {
  int status = 0;  // 0 when the upload was read
  std::string message, code;
};

// A transfer slower than this on average, once READ_TIMEOUT_S seconds have passed, is cut off.
constexpr double kMinUploadBytesPerSecond = 32 * 1024;

UploadFault read_upload(const httplib::Request& req, const httplib::ContentReader& reader, size_t max_bytes,
                        int read_timeout_s, Upload& upload);

#endif
