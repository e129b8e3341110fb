// The host's choice of the renderer's parameters for one scene: the values a render gets where
// neither the scene file nor the command line sets a field. The module's installer defaults suit
// no scene in particular (a start radius of 6 pixel footprints, alpha 0.999, a million photons
// per pass); the host knows the scene and the film, and picks from them.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "cli/parameter_table.h"
#include "engine/scene/scene_description.h"

namespace qor::cli {

// What the rule looks at, measured once per scene before the render.
struct scene_view {
  // World size of one pixel (distance times the pixel's tangent) at the median first hit of a
  // grid of camera rays; 0 when no camera ray hits anything.
  double footprint = 0;
  int64_t pixels = 0;  // in the render region
  int strata = 1;      // sample pixels per pixel along each axis (host_supersampling)
};

// Films under this many pixels (of the render region) get 2 x 2 samples per pixel and pass; the
// runs that chose it are described in parameter_choice.cpp. The rule in words, for the help
// and --list-parameters, beside the number it states.
constexpr int64_t supersampled_below_pixels = 10000;
constexpr const char* supersampling_rule = "2 x 2 on films under 10,000 pixels, else 1 x 1";

// Sample pixels per film pixel along each axis: the user's --supersample, else 1 with
// `module_defaults`, else the host's rule.
int host_supersampling(const scene_view& view, std::optional<int> requested, bool module_defaults);

// The host's values for the scene, in the order they apply, before the scene's own parameters
// (scene_parameters) and the command line's. Two kinds:
// - the scene's pbrt-v4 `radius` mapped to the block's radius fields (source scene), which
//   applies even with `module_defaults`: it is what the file asks for; the module measures radii
//   in the footprints of the pixels it renders, the sample pixels, so the start radius keeps its
//   world size however many samples a pixel has, while the smallest radius follows the samples;
// - the host's rule (source host): alpha, direct light by shadow rays, photons per pass (where
//   the file gives no photonsperiteration; one per film pixel, however many samples each has)
//   and the start and smallest radius, left out with `module_defaults`.
std::vector<parameter_value> host_parameters(const scene_view& view,
                                             const qor::scene::render_settings& settings,
                                             bool module_defaults);

}  // namespace qor::cli
