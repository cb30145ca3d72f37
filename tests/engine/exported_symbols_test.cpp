// liborvane.so exports exactly the functions and variables that orvane.h declares: no internal
// function, no symbol of the static libraries linked into it (glslang, SPIRV-Tools).
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "temp_dir.h"

namespace {

std::set<std::string> declared_in_header() {
  const std::string s = read_file(ORVANE_TEST_SOURCE_DIR "/../engine/include/orvane.h");
  std::set<std::string> names;
  const std::regex api(R"(ORV_API[^;(\n]*\b(orv_\w+)\s*[(;])");
  for (auto it = std::sregex_iterator(s.begin(), s.end(), api); it != std::sregex_iterator(); ++it)
    names.insert((*it)[1]);
  return names;
}

std::set<std::string> exported_by_library() {
  std::set<std::string> names;
  FILE* p = popen("nm -D --defined-only --extern-only '" ORVANE_SHARED_LIBRARY "'", "r");
  if (!p) return names;
  char line[512];
  while (std::fgets(line, sizeof line, p)) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (fields >> address >> type >> name) names.insert(name.substr(0, name.find('@')));
  }
  pclose(p);
  return names;
}

}  // namespace

TEST(Library, exports_exactly_the_public_header) {
  const std::set<std::string> declared = declared_in_header();
  ASSERT_GE(declared.size(), 25u) << "the header's declarations were not found";
  EXPECT_EQ(exported_by_library(), declared);
}
