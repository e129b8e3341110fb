// Filling the renderer's parameter block from the scene's render settings and the command line.
#pragma once

#include <stdexcept>
#include <vector>

#include "cli/command_line.h"
#include "cli/parameter_table.h"
#include "engine/scene/scene_description.h"

namespace qor::cli {

// A setting that does not fit the block. what() is the whole line to print:
// "file:line:col: error: ..." for the scene, "error: OPTION: ..." for the command line.
class settings_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The scene's iteration count (Sampler "pixelsamples", Integrator "sppm" "numiterations") for
// max_iterations, its "photonsperiteration" for photons_per_pass, and the parameters of
// Integrator "ppm" / "asppm" by name, checked, in the order they apply.
std::vector<parameter_value> scene_parameters(const qor::scene::render_settings& settings);

// The command line's settings, checked, in order; a later one overrides an earlier one.
std::vector<parameter_value> command_line_parameters(
    const std::vector<parameter_setting>& settings);

inline void apply_scene_settings(parameter_block& block,
                                 const qor::scene::render_settings& settings) {
  block.assign(scene_parameters(settings));
}
inline void apply_command_line(parameter_block& block,
                               const std::vector<parameter_setting>& settings) {
  block.assign(command_line_parameters(settings));
}

}  // namespace qor::cli
