#include "speech.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "orvane.h"

extern char** environ;

namespace {

// FNV-1a: a file name that is stable across runs and builds, unlike std::hash.
uint64_t fnv1a(const std::string& s) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
  return h;
}

void run_espeak(const std::string& out, const std::string& text) {
  // Spawned without a shell, so the text needs no quoting; "--" keeps a text starting with "-"
  // from reading as an option.
  std::string prog = "espeak-ng", w = "-w", dashes = "--";
  std::string out_arg = out, text_arg = text;
  char* argv[] = {prog.data(), w.data(), out_arg.data(), dashes.data(), text_arg.data(), nullptr};
  pid_t pid = 0;
  if (posix_spawnp(&pid, "espeak-ng", nullptr, nullptr, argv, environ) != 0)
    throw std::runtime_error("speech_wav: cannot run espeak-ng");
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("speech_wav: espeak-ng failed for \"" + text + "\"");
}

}  // namespace

std::string speech_wav(const std::string& text) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(ORVANE_TEST_BIN_DIR) / "speech-cache";
  fs::create_directories(dir);
  char name[32];
  std::snprintf(name, sizeof name, "%016llx.wav", static_cast<unsigned long long>(fnv1a(text)));
  const fs::path path = dir / name;
  if (fs::exists(path)) return path.string();
  // Test programs run in parallel: each writes its own file and renames it into place, so no
  // reader ever sees a half-written WAV.
  const fs::path tmp = dir / (std::string(name) + "." + std::to_string(getpid()) + ".tmp");
  run_espeak(tmp.string(), text);
  fs::rename(tmp, path);
  return path.string();
}

std::vector<float> speech_samples(const std::string& text) {
  const std::string path = speech_wav(text);
  int n = 0;
  std::unique_ptr<float, decltype(&std::free)> x(orv_load_wav(path.c_str(), &n), &std::free);
  if (!x) throw std::runtime_error("speech_samples: cannot read " + path);
  return std::vector<float>(x.get(), x.get() + n);
}
