// What every part of the scene reader shares: where a record came from, the warnings that point
// there, and the array types of points and colours.
#pragma once

#include <array>
#include <string>

namespace qor::scene {

struct file_location {
  std::string file;  // as the user named it (the scene path, or the path an Include resolved to)
  int line = 0;      // 1-based; 0 when the record was not made from a file
  int column = 0;    // 1-based, in bytes
};

// "file:line:col", the prefix of every message about a place in a scene.
std::string to_string(const file_location& location);

using float2 = std::array<float, 2>;
using float3 = std::array<float, 3>;
using rgb = std::array<float, 3>;  // linear sRGB (pbrt-v4's default colour space)
using double3 = std::array<double, 3>;

struct scene_warning {
  file_location location;
  std::string message;
};

// "file:line:col: warning: message"
std::string to_string(const scene_warning& warning);

}  // namespace qor::scene
