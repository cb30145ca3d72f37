#include "tiny_model.h"

#include <memory>
#include <stdexcept>
#include <vector>

#include "temp_dir.h"

namespace {

// Function-local so the directories outlive every test and go away at exit.
std::vector<std::unique_ptr<TempDir>>& model_dirs() {
  static std::vector<std::unique_ptr<TempDir>> dirs;
  return dirs;
}

}  // namespace

std::string make_model_dir(const orv_shape_t& shape, uint64_t seed) {
  auto dir = std::make_unique<TempDir>();
  const std::string path = dir->path().string();
  if (orv_write_model(path, shape, seed, true) != 0)
    throw std::runtime_error("cannot write a model into " + path);
  model_dirs().push_back(std::move(dir));
  return path;
}

const std::string& tiny_model_dir() {
  static const std::string dir = make_model_dir(orv_shape_tiny(), 1);
  return dir;
}
