// orvane-mkmodel: writes a model directory with random weights for tests and benchmarks.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "modelgen/modelgen.h"

namespace {

constexpr const char* kUsage =
    "usage: orvane-mkmodel [--shape tiny|full|FILE.json] [--seed N] DIR\n";

bool same_shape(const orv_shape_t& a, const orv_shape_t& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool read_shape(const std::string& arg, orv_shape_t* out) {
  if (arg == "tiny") {
    *out = orv_shape_tiny();
    return true;
  }
  if (arg == "full") {
    *out = orv_shape_default();
    return true;
  }
  std::ifstream in(arg, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "orvane-mkmodel: cannot open %s\n", arg.c_str());
    return false;
  }
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  return orv_shape_parse(text.data(), text.size(), out) == 0;
}

bool parse_seed(const char* s, uint64_t* out) {
  if (!*s || *s == '-') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(s, &end, 10);
  if (errno || *end) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  orv_shape_t shape = orv_shape_tiny();
  uint64_t seed = 1;
  const char* dir = nullptr;
  for (int i = 1; i < argc; i++) {
    const std::string arg = argv[i];
    if (arg == "--shape" && i + 1 < argc) {
      if (!read_shape(argv[++i], &shape)) return 1;
    } else if (arg == "--seed" && i + 1 < argc) {
      if (!parse_seed(argv[++i], &seed)) {
        std::fprintf(stderr, "orvane-mkmodel: bad seed %s\n", argv[i]);
        return 2;
      }
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg[0] != '-' && !dir) {
      dir = argv[i];
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (!dir) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  // Real model directories carry no shape file, so the production shape gets none either.
  const bool shape_file = !same_shape(shape, orv_shape_default());
  const auto start = std::chrono::steady_clock::now();
  if (orv_write_model(dir, shape, seed, shape_file) != 0) return 1;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fprintf(stderr, "orvane-mkmodel: wrote %s in %.1f s\n", dir, seconds);
  return 0;
}
