// A fresh directory under the system temporary directory, removed with everything in it.
#ifndef ORVANE_TEST_TEMP_DIR_H
#define ORVANE_TEST_TEMP_DIR_H

#include <filesystem>
#include <string>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  // Writes BYTES to NAME inside the directory and returns its path.
  std::string write(const std::string& name, const std::string& bytes) const;

 private:
  std::filesystem::path path_;
};

// The whole content of the file at PATH; empty when it cannot be read.
std::string read_file(const std::string& path);
// Replaces the file at PATH with BYTES.
void write_file(const std::string& path, const std::string& bytes);

#endif
