#include "command_line.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

bool CommandLine::next() {
  if (++at_ >= argc_) return false;
  arg_ = argv_[at_];
  if (arg_ == "-h" || arg_ == "--help") {
    std::fputs(usage_, stdout);
    std::exit(0);
  }
  return true;
}

const char* CommandLine::value() {
  if (at_ + 1 >= argc_) error("option " + arg_ + " needs a value");
  return argv_[++at_];
}

int CommandLine::int_value(int min, int max) {
  const char* text = value();
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno || end == text || *end || v < min || v > max)
    error("invalid value for " + arg_ + ": '" + text + "' (" + std::to_string(min) + " to " +
          std::to_string(max) + ")");
  return static_cast<int>(v);
}

bool CommandLine::verbosity(int* level) const {
  if (arg_ != "-v" && arg_ != "-vv") return false;
  *level += static_cast<int>(arg_.size()) - 1;
  return true;
}

void CommandLine::error(const std::string& message) const {
  std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program_, message.c_str(), program_);
  std::exit(2);
}
