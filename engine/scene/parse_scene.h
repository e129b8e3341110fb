// Entry points of the pbrt-v4 reader.
#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "engine/scene/scene_description.h"

namespace qor::scene {

// A fault in the user's input. what() is the whole message, "file:line:col: error: ...".
class scene_error : public std::runtime_error {
 public:
  scene_error(file_location location, const std::string& message);
  const file_location& location() const { return location_; }
  const std::string& message() const { return message_; }  // without the location prefix

 private:
  file_location location_;
  std::string message_;
};

// Reads a whole file (a scene, an included scene or a PLY mesh) by its resolved path; nullopt
// when it cannot be read. The default reads regular files only, so that a scene naming a device
// or a directory fails cleanly instead of blocking.
using file_loader = std::function<std::optional<std::string>(const std::string& path)>;

struct parse_options {
  file_loader load;  // empty: the default loader
};

// Both throw scene_error on malformed input and return the scene with every warning otherwise.
parse_result parse_scene_file(const std::string& path, const parse_options& options = {});
// `name` is the file name messages use; Include and plymesh paths resolve against its directory.
parse_result parse_scene_string(const std::string& text, const std::string& name,
                                const parse_options& options = {});

}  // namespace qor::scene
