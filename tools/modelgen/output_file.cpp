#include "output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

namespace modelgen {

OutputFile::OutputFile(std::string path) : path_(std::move(path)), tmp_(path_ + ".tmp") {}

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlink(tmp_.c_str());
}

bool OutputFile::open(bool direct) {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
  if (direct) {
    fd_ = ::open(tmp_.c_str(), kFlags | O_DIRECT, 0644);
    direct_ = fd_ >= 0;
  }
  if (fd_ < 0) fd_ = ::open(tmp_.c_str(), kFlags, 0644);  // file systems without direct I/O
  if (fd_ < 0) {
    std::fprintf(stderr, "orv_write_model: cannot create %s: %s\n", tmp_.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

bool OutputFile::write(const void* data, size_t n) {
  const auto* p = static_cast<const char*>(data);
  if (direct_ && (n % kAlignment != 0 || reinterpret_cast<uintptr_t>(p) % kAlignment != 0)) {
    const size_t aligned = reinterpret_cast<uintptr_t>(p) % kAlignment == 0 ? n - n % kAlignment : 0;
    if (!write_all(p, aligned)) return false;
    p += aligned;
    n -= aligned;
    direct_ = false;
    if (::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_DIRECT) != 0) {
      std::fprintf(stderr, "orv_write_model: cannot write %s: %s\n", tmp_.c_str(), std::strerror(errno));
      return false;
    }
  }
  return write_all(p, n);
}

bool OutputFile::write_all(const char* p, size_t n) {
  while (n > 0) {
    const ssize_t done = ::write(fd_, p, n);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) {
      std::fprintf(stderr, "orv_write_model: cannot write %s: %s\n", tmp_.c_str(),
                   done < 0 ? std::strerror(errno) : "no progress");
      return false;
    }
    p += done;
    n -= static_cast<size_t>(done);
  }
  return true;
}

bool OutputFile::commit() {
  const int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0) {
    std::fprintf(stderr, "orv_write_model: cannot write %s: %s\n", tmp_.c_str(), std::strerror(errno));
    return false;
  }
  if (::rename(tmp_.c_str(), path_.c_str()) != 0) {
    std::fprintf(stderr, "orv_write_model: cannot rename %s: %s\n", tmp_.c_str(), std::strerror(errno));
    return false;
  }
  committed_ = true;
  return true;
}

int write_text_file(const std::string& path, const std::string& text) {
  OutputFile f(path);
  return f.open() && f.write(text.data(), text.size()) && f.commit() ? 0 : -1;
}

std::string json_escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", u);
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace modelgen
