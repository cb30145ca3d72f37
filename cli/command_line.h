// The argument walk that orvane and orvane-server share: options with and without a value, range
// checked integers, and usage errors that name the program and exit with status 2.
#ifndef ORVANE_COMMAND_LINE_H
#define ORVANE_COMMAND_LINE_H

#include <string>

class CommandLine {
 public:
  // USAGE is printed, and the program exits, when -h or --help comes up.
  CommandLine(int argc, char** argv, const char* program, const char* usage)
      : argc_(argc), argv_(argv), program_(program), usage_(usage) {}

  // Moves to the next argument; false after the last.
  bool next();
  const std::string& arg() const { return arg_; }
  // The current option's value (the next argument).
  const char* value();
  // The value as a whole number from MIN to MAX.
  int int_value(int min, int max);
  // -v adds 1 to the verbosity, -vv 2; false for any other argument.
  bool verbosity(int* level) const;

  [[noreturn]] void error(const std::string& message) const;

 private:
  int argc_;
  char** argv_;
  const char* program_;
  const char* usage_;
  int at_ = 0;
  std::string arg_;
};

#endif
