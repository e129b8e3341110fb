// Helpers for the scene reader's tests: parsing text with an in-memory file system, and checking
// where an error points.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "engine/scene/parse_scene.h"

namespace qor::scene::testing {

// Files the scene may Include or read as meshes, by their resolved path.
using file_map = std::map<std::string, std::string>;

inline parse_options with_files(const file_map& files) {
  return {[files](const std::string& path) -> std::optional<std::string> {
    auto it = files.find(path);
    if (it == files.end()) return std::nullopt;
    return it->second;
  }};
}

inline parse_result parse(const std::string& text, const file_map& files = {}) {
  return parse_scene_string(text, "test.pbrt", with_files(files));
}

// Minimal world around a few directives.
inline parse_result parse_world(const std::string& world, const file_map& files = {}) {
  return parse("WorldBegin\n" + world, files);
}

// The error parsing `text` raises; fails the test when there is none.
inline scene_error parse_error(const std::string& text, const file_map& files = {}) {
  try {
    parse(text, files);
  } catch (const scene_error& e) {
    return e;
  }
  ADD_FAILURE() << "expected a scene_error for:\n" << text;
  return scene_error({}, "none");
}

#define EXPECT_ERROR_AT(error, file_, line_, column_, fragment)               \
  do {                                                                        \
    const ::qor::scene::scene_error& e_ = (error);                            \
    EXPECT_EQ(e_.location().file, file_);                                     \
    EXPECT_EQ(e_.location().line, line_) << e_.what();                        \
    EXPECT_EQ(e_.location().column, column_) << e_.what();                    \
    EXPECT_NE(std::string(e_.what()).find(fragment), std::string::npos)       \
        << "message: " << e_.what() << "\nexpected to contain: " << fragment; \
  } while (0)

}  // namespace qor::scene::testing

namespace qor::scene::testing {

// Line and column (1-based) of the n-th occurrence of `needle` in `text`, so that tests say which
// token an error must point at rather than counting columns by hand.
inline std::pair<int, int> position_of(const std::string& text, const std::string& needle,
                                       int occurrence = 0) {
  size_t at = text.find(needle);
  for (int i = 0; i < occurrence && at != std::string::npos; i++) at = text.find(needle, at + 1);
  if (at == std::string::npos) {
    ADD_FAILURE() << "test text has no " << needle;
    return {0, 0};
  }
  int line = 1 + int(std::count(text.begin(), text.begin() + at, '\n'));
  size_t line_start = text.rfind('\n', at);
  int column = int(at - (line_start == std::string::npos ? 0 : line_start + 1)) + 1;
  return {line, column};
}

inline scene_error expect_error_at_token(const std::string& text, const std::string& needle,
                                         const std::string& fragment, int occurrence = 0,
                                         const file_map& files = {}) {
  scene_error e = parse_error(text, files);
  auto [line, column] = position_of(text, needle, occurrence);
  EXPECT_ERROR_AT(e, "test.pbrt", line, column, fragment);
  return e;
}

}  // namespace qor::scene::testing
