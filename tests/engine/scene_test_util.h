// Helpers for the scene reader's tests: parsing text with an in-memory file system, reading it
// through the engine's kinds too, and checking where an error points.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "engine/runtime/lights/light.h"
#include "engine/runtime/materials/material.h"
#include "engine/runtime/scene_conversion.h"
#include "engine/scene/parse_scene.h"

namespace qor::scene::testing {

// Files the scene may Include or read as meshes, by their resolved path.
using file_map = std::map<std::string, std::string>;

inline parse_result parse(const std::string& text, const file_map& files = {}) {
  auto load = [files](const std::string& path) -> std::optional<std::string> {
    auto it = files.find(path);
    if (it == files.end()) return std::nullopt;
    return it->second;
  };
  return parse_scene_string(text, "test.pbrt", {load});
}

// Minimal world around a few directives.
inline parse_result parse_world(const std::string& world, const file_map& files = {}) {
  return parse("WorldBegin\n" + world, files);
}

// The scene read as qor-render reads it: parsed, then made by the engine's kinds (textures,
// materials, lights), with the warnings of both in the order they were given.
struct read_result {
  scene_description scene;
  engine::traceable_scene made;
  std::vector<scene_warning> warnings;
};

inline read_result read(const std::string& text, const file_map& files = {}) {
  parse_result parsed = parse(text, files);
  warning_sink warnings{std::move(parsed.warnings)};
  engine::traceable_scene made = engine::build_traceable_scene(parsed.scene, warnings);
  return {std::move(parsed.scene), std::move(made), std::move(warnings.warnings)};
}

inline read_result read_world(const std::string& world, const file_map& files = {}) {
  return read("WorldBegin\n" + world, files);
}

// The whole message of the scene_error that `read` raises; fails the test when there is none.
template <typename F>
std::string error_of(F&& read) {
  try {
    read();
  } catch (const scene_error& e) {
    return e.what();
  }
  ADD_FAILURE() << "expected a scene_error";
  return "";
}

// The message must start "<where>: error: " (where is file:line:col) and contain `fragment`.
inline void expect_error(const std::string& what, const std::string& where,
                         const std::string& fragment) {
  EXPECT_EQ(what.rfind(where + ": error: ", 0), 0u) << what << "\nexpected at " << where;
  EXPECT_NE(what.find(fragment), std::string::npos) << what << "\nexpected to contain " << fragment;
}

// Scene text with a '^' just before the token a message must point at: the text without the
// mark, and "test.pbrt:line:column" of that token.
inline std::pair<std::string, std::string> unmark(const std::string& marked) {
  size_t at = marked.find('^');
  if (at == std::string::npos) {
    ADD_FAILURE() << "no ^ in " << marked;
    return {marked, ""};
  }
  int line = 1 + int(std::count(marked.begin(), marked.begin() + at, '\n'));
  size_t line_start = at == 0 ? std::string::npos : marked.rfind('\n', at - 1);
  size_t column = at - (line_start == std::string::npos ? 0 : line_start + 1) + 1;
  return {marked.substr(0, at) + marked.substr(at + 1),
          "test.pbrt:" + std::to_string(line) + ":" + std::to_string(column)};
}

// Reading `marked` without its mark stops with an error at the mark that contains `fragment`.
inline void expect_error_at_mark(const std::string& marked, const std::string& fragment) {
  auto [text, where] = unmark(marked);
  expect_error(error_of([&] { read(text); }), where, fragment);
}

}  // namespace qor::scene::testing
