// Reading the multipart upload with its limits.
#include "upload.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>


namespace {

constexpr size_t kMaxFieldBytes = 64 * 1024;
constexpr size_t kMaxFields = 64;
constexpr size_t kDropAfterLimit = 16 * 1024 * 1024;

std::string temp_template() {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/orvane-upload-XXXXXX";
}

}  // namespace

Upload::~Upload() {
  if (!audio_path.empty()) unlink(audio_path.c_str());
}

UploadFault read_upload(const httplib::Request& req, const httplib::ContentReader& reader, size_t max_bytes,
                        int read_timeout_s, Upload& upload) {
  constexpr const char* kTooLarge = "the request body is larger than the server accepts";
  if (req.has_header("Content-Length") && req.get_header_value<uint64_t>("Content-Length") > max_bytes)
    return {413, kTooLarge, "request_too_large"};
  if (!req.is_multipart_form_data()) return {400, "the body must be multipart/form-data", "invalid_multipart"};

  std::unique_ptr<std::FILE, decltype(&std::fclose)> file(nullptr, &std::fclose);
  std::string* field = nullptr;  // the part being read when it is not the file
  std::string fault;
  auto begin = [&](const httplib::MultipartFormData& part) {
    field = nullptr;
    if (part.name == "file") {
      if (file) {
        fault = "more than one file";
        return false;
      }
      std::string path = temp_template();
      const int fd = mkostemp(path.data(), O_CLOEXEC);
      if (fd >= 0) upload.audio_path = path;
      file.reset(fd >= 0 ? fdopen(fd, "wb") : nullptr);
      if (!file) {
        if (fd >= 0) close(fd);
        fault = std::string("cannot store the upload: ") + std::strerror(errno);
        return false;
      }
      return true;
    }
    if (upload.fields.size() >= kMaxFields) {
      fault = "too many form fields";
      return false;
    }
    field = &upload.fields.emplace(part.name, std::string())->second;
    return true;
  };

  const auto start = std::chrono::steady_clock::now();
  size_t total = 0;
  bool too_large = false, too_slow = false;
  auto data = [&](const char* bytes, size_t n) {
    total += n;
    if (total > max_bytes) {
      // The rest of a body a little over the limit is read and dropped, so that the client is
      // still listening for the answer rather than cut off in the middle of its sending.
      too_large = true;
      return total - max_bytes <= kDropAfterLimit;
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (elapsed > read_timeout_s && static_cast<double>(total) / elapsed < kMinUploadBytesPerSecond) {
      too_slow = true;
      return false;
    }
    if (!field) {
      if (std::fwrite(bytes, 1, n, file.get()) == n) return true;
      fault = "cannot store the upload";
      return false;
    }
    if (field->size() + n > kMaxFieldBytes) {
      fault = "a form field longer than 64 KiB";
      return false;
    }
    field->append(bytes, n);
    return true;
  };
  const bool complete = reader(begin, data) && (!file || std::fflush(file.get()) == 0);
  file.reset();
  if (too_large) return {413, kTooLarge, "request_too_large"};
  if (too_slow) return {408, "the upload was too slow", "request_timeout"};
  if (!complete)
    return {400, fault.empty() ? "the multipart body is malformed or incomplete" : fault, "invalid_multipart"};
  if (upload.audio_path.empty()) return {400, "the form has no file", "missing_file"};
  return {};
}
