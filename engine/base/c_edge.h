// The C edge: the public entry points run their bodies through c_edge, so that no exception
// reaches a C caller. Whatever escapes a body is reported in one line on standard error and
// becomes the function's error value.
#ifndef ORVANE_C_EDGE_H
#define ORVANE_C_EDGE_H

#include <cstdio>
#include <exception>
#include <new>

// Reports the exception being handled, for FUNCTION.
inline void report_escaped(const char* function) noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "%s: out of memory\n", function);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", function, e.what());
  } catch (...) {
    std::fprintf(stderr, "%s: unexpected error\n", function);
  }
}

template <typename R, typename Body>
R c_edge(const char* function, R on_error, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    report_escaped(function);
    return on_error;
  }
}

template <typename Body>
void c_edge(const char* function, Body&& body) noexcept {
  try {
    body();
  } catch (...) {
    report_escaped(function);
  }
}

#endif
