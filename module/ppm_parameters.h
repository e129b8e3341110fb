// The renderer's parameter block: the host allocates it, fills it from the installer's defaults
// and the user's settings, and hands it to the installer's create.
//
// Its fields are listed once, in QOR_PPM_PARAMETERS below; the block's layout, the installer's
// defaults and its copy into the renderer, the host's --set and --list-parameters and the
// parameter table of docs/USAGE.md all come from that list. The host reads this header as data
// (it includes the standard library only): the installer's declaration record is fixed empty, so
// the module cannot describe the block through it, and a table the host kept by hand would drift.
// At run time the host still takes the block's size and defaults from the installer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

enum class ppm_parameter_type { int32, float32, string };

// The values a field accepts beyond its type; the host refuses the others.
enum class ppm_parameter_range {
  any,              // any value of the type
  switch_value,     // 0 or 1
  refine_mode,      // 0 none, 1 classic in-place update, 2 progressive update
  point_mode,       // 0, 1 or 2
  positive,         // integers >= 1
  unit_interval,    // floats in (0, 1]
  positive_finite,  // floats > 0, finite
  file_name,        // any text; empty (null) for none
};

// X(name, byte offset, C++ type, default, range, meaning on one line, effect for the user's guide)
// in the block's order. A string field's default is always null.
#define QOR_PPM_PARAMETERS(X)                                                                      \
  X(refine_mode, 0, int32_t, 2, refine_mode,                                                       \
    "refinement after each photon pass: 0 none, 1 classic in-place, 2 progressive",                \
    "how the points fold in each pass: 2 the progressive update (radius and estimate); 1 a "       \
    "classic in-place update of the main points only; 0 none (the points gather nothing: the "     \
    "image is what camera rays saw directly)")                                                     \
  X(reserved_option, 4, int32_t, 1, any, "kept for compatibility; copied, never read",             \
    "kept for compatibility; has no effect")                                                       \
  X(sampling_mode, 8, int32_t, 1, switch_value,                                                    \
    "0: one eye pass for the whole render; 1: a new eye pass every iteration",                     \
    "1: a new camera pass every iteration, each pixel's estimate carried from pass to pass "       \
    "(anti-aliased); 0: one camera pass at the start, its points refined by every iteration")      \
  X(indirect_photons, 12, int32_t, 1, switch_value,                                                \
    "store photons that left a diffuse bounce in the points",                                      \
    "photons that bounced off a diffuse surface reach the points. With 0 and a `point_mode`, "     \
    "camera hits make no points at all and are shaded by the final gather alone")                  \
  X(caustic_photons, 16, int32_t, 1, switch_value,                                                 \
    "store photons that met only specular surfaces (caustics) in the points",                      \
    "photons that met only mirrors and glass since they left the light (caustics) reach the "      \
    "points")                                                                                      \
  X(direct_photons, 20, int32_t, 1, switch_value,                                                  \
    "store photons on their first segment from the light (direct light) in the points",            \
    "1: direct light is carried by photons on their first flight from a light. 0: direct light "   \
    "comes from the scene's lights at each camera hit, with shadow rays")                          \
  X(show_first_pass, 24, int32_t, 0, switch_value, "show the image after the first eye pass",      \
    "show the camera pass's image once, right after the first camera pass")                        \
  X(point_mode, 28, int32_t, 0, point_mode,                                                        \
    "0: one point set; 1: a second set every iteration; 2: a second set built once",               \
    "0: one point set. 1 or 2: a final gather, each camera hit sends one diffuse ray and takes "   \
    "the light a second point set gathered where it lands; 1 rebuilds that set every "             \
    "iteration, 2 builds it once and refines it in the first three iterations")                    \
  X(smooth, 32, int32_t, 0, switch_value,                                                          \
    "smooth the per-pixel estimates after each photon pass (key 's' toggles it)",                  \
    "after each pass, smooth each pixel's estimate over neighbours of the same surface and "       \
    "brightness (shown in view 6; key `s` toggles it)")                                            \
  X(light_irradiance, 36, int32_t, 0, switch_value,                                                \
    "add the direct light of photon lights to the points",                                         \
    "bounced photons leave *photon lights* (small lights where they bounced); after each pass "    \
    "every point adds their direct light, with one shadow ray per point and light")                \
  X(points_file, 40, const char*, nullptr, file_name,                                              \
    "text file the second point set is written to every iteration; empty: none",                   \
    "with a `point_mode`, write the second point set to this text file every iteration "           \
    "([format](#the-points-file))")                                                                \
  X(alpha, 48, float, 0.999f, unit_interval,                                                       \
    "share of the new photons the progressive update keeps, in (0, 1]",                            \
    "share of each pass's photons a point keeps as its radius shrinks. Lower values shrink radii " \
    "faster: sharper detail sooner, more noise. Points with more than 16 photons adapt their "     \
    "radius to the photons' spread instead")                                                       \
  X(max_iterations, 52, int32_t, 1000, any, "iteration limit; below 1: until stopped",             \
    "iterations to render (the scene's `pixelsamples` sets it); 0 or below renders until "         \
    "stopped (`q`, window closed, `--time`, Ctrl-C)")                                              \
  X(photons_per_pass, 56, int32_t, 1000000, positive, "photons emitted per iteration",             \
    "photons traced per iteration, split over the lights by power (the scene's "                   \
    "`photonsperiteration` sets it)")                                                              \
  X(output_every, 60, int32_t, 1, positive, "show the image every N iterations",                   \
    "show the image (and read a key) every N iterations")                                          \
  X(min_radius_scale, 64, float, 0.5f, positive_finite,                                            \
    "smallest point radius, relative to the pixel's footprint",                                    \
    "the smallest radius a point shrinks to, in pixel footprints")                                 \
  X(radius_scale, 68, float, 6.0f, positive_finite,                                                \
    "initial point radius, relative to the pixel's footprint",                                     \
    "a point's starting radius, in pixel footprints (the size of one pixel on the surface, at "    \
    "most twice the footprint of a surface facing the camera). Larger: smoother and blurrier at "  \
    "first, slower")

struct ppm_parameters {
#define QOR_PPM_FIELD(name, offset, type, ...) type name;
  QOR_PPM_PARAMETERS(QOR_PPM_FIELD)
#undef QOR_PPM_FIELD
};

// The layout is an interface with every host: each field where the list says it is.
static_assert(sizeof(ppm_parameters) == 72);
#define QOR_PPM_OFFSET(name, offset, ...) static_assert(offsetof(ppm_parameters, name) == offset);
QOR_PPM_PARAMETERS(QOR_PPM_OFFSET)
#undef QOR_PPM_OFFSET

// One field of the block as data, for whoever reads or writes the block by name.
struct ppm_parameter {
  std::string_view name;
  size_t offset;
  ppm_parameter_type type;
  double default_value;  // a string field's default is null
  ppm_parameter_range range;
  std::string_view meaning;
  std::string_view effect;
};

namespace ppm_parameter_detail {
template <typename T>
constexpr ppm_parameter_type type_of() {
  static_assert(std::is_same_v<T, int32_t> || std::is_same_v<T, float> ||
                std::is_same_v<T, const char*>);
  if constexpr (std::is_same_v<T, int32_t>) return ppm_parameter_type::int32;
  if constexpr (std::is_same_v<T, float>) return ppm_parameter_type::float32;
  return ppm_parameter_type::string;
}
template <typename T>
constexpr double number(T value) {
  if constexpr (std::is_null_pointer_v<T>) {
    return 0;  // a string's null default
  } else {
    return static_cast<double>(value);
  }
}
}  // namespace ppm_parameter_detail

inline constexpr ppm_parameter ppm_parameter_table[] = {
#define QOR_PPM_ROW(name, offset, type, fallback, range, meaning, effect) \
  {#name,                                                                 \
   offset,                                                                \
   ppm_parameter_detail::type_of<type>(),                                 \
   ppm_parameter_detail::number(fallback),                                \
   ppm_parameter_range::range,                                            \
   meaning,                                                               \
   effect},
    QOR_PPM_PARAMETERS(QOR_PPM_ROW)
#undef QOR_PPM_ROW
};
