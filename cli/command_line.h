// The options of qor-render, read and checked for form; their meaning is applied by the render
// command.
#pragma once

#include <array>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/io/console.h"

namespace qor::cli {

// One setting of the renderer's parameter block as the user gave it: the option that carried it
// (for messages) and "name=value".
struct parameter_setting {
  std::string option;
  std::string assignment;
};

struct command_line {
  std::string scene_path;
  std::string output;       // -o; empty: the Film's filename, else the scene's name with .exr
  std::string module_path;  // --module; empty: ppm.so beside the executable
  std::string renderer;     // --renderer; empty: the scene's "ppm"/"asppm", else "ppm"
  std::vector<parameter_setting> parameters;  // --set, then the short forms, in that order
  int threads = 0;                            // 0: every core
  double time_limit = 0;                      // seconds; 0: none
  std::optional<std::array<int, 2>> resolution;
  std::optional<std::array<int, 4>> crop;  // x0 y0 x1 y1 in pixels, ends exclusive
  std::optional<int> supersample;          // sample pixels per pixel along each axis; unset: the
                                           // host's choice for the film
  bool window = false;
  std::string preview_file;
  std::string reference;        // --reference; empty: none
  std::string convergence_csv;  // --convergence-csv; empty: beside the output image
  std::string keys;
  std::optional<int> view;
  bool list_parameters = false;
  bool module_defaults = false;  // leave out the host's parameter choice for the scene
  bool markdown = false;         // --list-parameters as the user's guide's table
  bool check = false;
  engine::io::verbosity verbosity = engine::io::verbosity::normal;
};

// Reads the arguments. On --help or --version prints to `out` and gives exit status 0; on a
// malformed command line prints one "error: ..." line to `err` and gives 2.
std::variant<command_line, int> parse_command_line(int argc, const char* const* argv,
                                                   std::ostream& out, std::ostream& err);

// "640x480" -> {640, 480}; throws std::invalid_argument.
std::array<int, 2> parse_resolution(std::string_view text);
// "x0,y0,x1,y1" -> the pixel rectangle [x0, x1) x [y0, y1); throws std::invalid_argument.
std::array<int, 4> parse_crop(std::string_view text);

}  // namespace qor::cli
