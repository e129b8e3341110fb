// Everything one render takes from the command line and the scene, resolved and checked before
// anything is built, so that a bad value costs one line and exit status 2, never a half-made
// render. Each setting is applied in one place: where the job is built.
#pragma once

#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/parameter_table.h"
#include "engine/io/console.h"
#include "engine/io/key_script.h"
#include "engine/runtime/engine.h"
#include "engine/scene/scene_description.h"

namespace qor::cli {

struct render_job {
  std::string scene_path;
  std::string output;              // -o, else the Film's filename, else the scene's name with .exr
  std::string preview_file;        // --preview; empty: none
  std::string reference;           // --reference; empty: none
  std::string convergence_csv;     // with a reference: --convergence-csv, else beside the output
  std::string module_path;         // --module, else ppm.so beside qor-render
  std::string renderer;            // --renderer, else the scene's "ppm"/"asppm", else "ppm"
  engine::engine_settings engine;  // threads, image size, render region
  std::vector<parameter_value> parameters;     // the host's, the scene's, the command line's
  std::vector<engine::io::scripted_key> keys;  // --view's, then --keys'
  double time_limit = 0;                       // seconds; 0: none
  bool window = false;
  engine::io::verbosity verbosity = engine::io::verbosity::normal;
};

// The job as far as the command line alone says it: the keys, the image names, the renderer's
// parameters. Checked first, so that a typo costs no parse. Throws settings_error.
render_job job_from_command_line(const command_line& line);

// Puts the host's choice for the scene (host_parameters), then the scene's own parameters, before
// the command line's. Throws settings_error.
void add_scene_parameters(render_job& job, const qor::scene::scene_description& scene,
                          std::vector<parameter_value> host_choice);

// The image size and render region of --resolution and --crop, checked against the scene's Film.
// Set before the host's parameter choice, which sizes photons and radii by the image rendered.
// Throws settings_error.
void set_image_region(render_job& job, const command_line& line,
                      const qor::scene::scene_description& scene);

// Completes the job with the rest the scene says: the output name from its Film and the renderer
// name. Throws settings_error.
void complete_with_scene(render_job& job, const command_line& line,
                         const qor::scene::scene_description& scene);

// ppm.so in the directory of the running executable.
std::string default_module_path();

}  // namespace qor::cli
