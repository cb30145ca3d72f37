// Files of a generated model: written under a temporary name and renamed into place only when
// complete, so an interrupted or failed run never leaves a file that looks whole.
#ifndef ORVANE_OUTPUT_FILE_H
#define ORVANE_OUTPUT_FILE_H

#include <cstddef>
#include <string>

namespace modelgen {

class OutputFile {
 public:
  explicit OutputFile(std::string path);
  ~OutputFile();  // removes the temporary file unless committed
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Direct I/O wants page-aligned buffers, lengths and file offsets.
  static constexpr size_t kAlignment = 4096;

  // Each returns false after a message on standard error.
  // DIRECT bypasses the page cache where the file system allows it: a multi-gigabyte model
  // otherwise spends its time in page-cache copies and writeback throttling. Writes that are
  // not aligned end direct I/O for the rest of the file, so only the last may be short.
  bool open(bool direct = false);
  bool write(const void* data, size_t n);
  bool commit();  // closes and renames into place

 private:
  std::string path_, tmp_;
  bool write_all(const char* p, size_t n);

  int fd_ = -1;
  bool direct_ = false;
  bool committed_ = false;
};

// Replaces PATH with TEXT. 0, or -1 after a message.
int write_text_file(const std::string& path, const std::string& text);

// TEXT as the inside of a JSON string literal.
std::string json_escape(const std::string& text);

}  // namespace modelgen

#endif
