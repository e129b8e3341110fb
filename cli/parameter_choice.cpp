#include "cli/parameter_choice.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace qor::cli {

namespace {

// The rule's figures, chosen by equal-time runs against pbrt-v4's SPPM on the five bench scenes
// (docs/PERFORMANCE.md has the runs):
// - a start radius of 1.5 footprints: the module's 6 blurs every edge for many passes and makes
//   each photon touch ~16 times as many points;
// - alpha 0.7, near pbrt's fixed 2/3: radii shrink within tens of passes instead of thousands;
// - one photon per pixel per pass, pbrt's own default: the photon pass then costs two to three
//   camera passes, and a render reaches many passes (each also anti-aliases the image and
//   shrinks the radii); 2 per pixel was as good, 4 worse on every scene without a count of its
//   own;
// - direct light from the lights at each camera hit (shadow rays), photons for the rest, as
//   pbrt's SPPM does: an exact shadow edge and no direct-light photons to blur or to leak
//   through a thin wall.
constexpr double start_radius_footprints = 1.5;
constexpr double rule_alpha = 0.7;
constexpr double photons_per_pixel = 1;
constexpr double fewest_photons = 10000;
constexpr double most_photons = 1000000;
// The module's smallest radius is this share of the start radius or half a footprint,
// whichever is smaller: a radius never shrinks below a tenth of what it started at.
constexpr double smallest_radius_share = 1.0 / 3.0;
constexpr double module_smallest_radius_footprints = 0.5;

// supersampled_below_pixels (parameter_choice.h) was measured at equal time on
// the bench scenes at their films and halved, and on door-gap (docs/PERFORMANCE.md, "Pixel
// strata"): under it, four samples cut the error by 1.2x to 5x on five films of seven, as each
// pass resolves the edges inside a pixel (a silhouette, a spot's rim) that one shared offset per
// pass resolves only over hundreds of passes; above it they lost on four films of six, by up to
// 1.8x. They lose where light leaks across a wall at the points' radius (slit-rooms, door-gap):
// each sample point gathers a quarter of a pixel's photons, and the leak grew by 3 to 13%.

// A point's start radius in the module is radius_scale times the spread of its camera ray's
// differentials, which for a surface facing the camera is sqrt(2) footprints (the two
// differentials are one footprint each) and at most 2 on a slanted one.
constexpr double differential_spread = 1.4142135623730951;

const parameter_field& field(const char* name) {
  const parameter_field* f = find_parameter(name);
  if (f == nullptr) throw std::logic_error(std::string("no parameter ") + name);
  return *f;
}

parameter_value number(const char* name, double value, parameter_source source) {
  const parameter_field& f = field(name);
  parameter_value v = f.type == ppm_parameter_type::int32 ? integer_value(f, std::round(value))
                                                          : real_value(f, value);
  v.source = source;
  return v;
}

void radius_values(std::vector<parameter_value>& out, double start_footprints,
                   parameter_source source) {
  out.push_back(number("radius_scale", start_footprints, source));
  out.push_back(
      number("min_radius_scale",
             std::min(module_smallest_radius_footprints, smallest_radius_share * start_footprints),
             source));
}

}  // namespace

int host_supersampling(const scene_view& view, std::optional<int> requested, bool module_defaults) {
  if (requested) return *requested;
  if (module_defaults) return 1;
  return view.pixels > 0 && view.pixels < supersampled_below_pixels ? 2 : 1;
}

std::vector<parameter_value> host_parameters(const scene_view& view,
                                             const qor::scene::render_settings& settings,
                                             bool module_defaults) {
  std::vector<parameter_value> out;
  if (!module_defaults) {
    out.push_back(number("alpha", rule_alpha, parameter_source::host));
    out.push_back(number("direct_photons", 0, parameter_source::host));
    if (settings.photons_per_iteration <= 0 && view.pixels > 0) {
      out.push_back(
          number("photons_per_pass",
                 std::clamp(photons_per_pixel * double(view.pixels), fewest_photons, most_photons),
                 parameter_source::host));
    }
    // The start radius is a film pixel's: the same world size with or without supersampling.
    radius_values(out, start_radius_footprints * std::max(1, view.strata), parameter_source::host);
  }
  // pbrt's radius is one world size for every point; the module's scales with distance. They
  // agree at the median camera hit, facing the camera: nearer points start smaller, farther ones
  // larger, each the same number of pixels wide.
  if (settings.radius > 0 && view.footprint > 0) {
    const double sample_footprint = view.footprint / std::max(1, view.strata);
    const double footprints = settings.radius / (differential_spread * sample_footprint);
    radius_values(out, std::clamp(footprints, 0.05, 1000.0), parameter_source::scene);
  }
  return out;
}

}  // namespace qor::cli
