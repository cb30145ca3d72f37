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

  // Each returns false after a message on standard error.
  bool open();
  bool write(const void* data, size_t n);
  bool commit();  // closes and renames into place

 private:
  std::string path_, tmp_;
  int fd_ = -1;
  bool committed_ = false;
};

// Replaces PATH with TEXT. 0, or -1 after a message.
int write_text_file(const std::string& path, const std::string& text);

// TEXT as the inside of a JSON string literal.
std::string json_escape(const std::string& text);

}  // namespace modelgen

#endif
