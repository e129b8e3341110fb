// The renderer's parameter block: the host allocates it, fills it from the installer's defaults
// and the user's settings, and hands it to the installer's create.
#pragma once

#include <cstddef>
#include <cstdint>

struct ppm_parameters {
  int32_t refine_mode;       // 0 none, 2 progressive update, other: classic in-place update
  int32_t reserved_option;   // copied, never read
  int32_t sampling_mode;     // 0: one eye pass for the whole render; else a new one per iteration
  int32_t indirect_photons;  // deposit bounced, non-caustic photons into the main points
  int32_t caustic_photons;   // deposit caustic photons into the main points
  int32_t direct_photons;    // photons on their first segment carry the direct light
  int32_t show_first_pass;   // show the framebuffer after the first eye pass
  int32_t point_mode;        // 0 one point set; 1 a second set per iteration; 2 a kept second set
  int32_t smooth;            // smooth the per-pixel estimates after each photon pass
  int32_t light_irradiance;  // add direct light from photon lights
  const char* points_file;   // text file of the second point set, or null
  float alpha;               // share of the new photons the progressive update keeps
  int32_t max_iterations;    // below 1: no limit
  int32_t photons_per_pass;
  int32_t output_every;    // show the image every N iterations
  float min_radius_scale;  // smallest point radius, relative to its footprint
  float radius_scale;      // initial point radius, relative to its footprint
};
static_assert(sizeof(ppm_parameters) == 72);
static_assert(offsetof(ppm_parameters, refine_mode) == 0);
static_assert(offsetof(ppm_parameters, reserved_option) == 4);
static_assert(offsetof(ppm_parameters, sampling_mode) == 8);
static_assert(offsetof(ppm_parameters, indirect_photons) == 12);
static_assert(offsetof(ppm_parameters, caustic_photons) == 16);
static_assert(offsetof(ppm_parameters, direct_photons) == 20);
static_assert(offsetof(ppm_parameters, show_first_pass) == 24);
static_assert(offsetof(ppm_parameters, point_mode) == 28);
static_assert(offsetof(ppm_parameters, smooth) == 32);
static_assert(offsetof(ppm_parameters, light_irradiance) == 36);
static_assert(offsetof(ppm_parameters, points_file) == 40);
static_assert(offsetof(ppm_parameters, alpha) == 48);
static_assert(offsetof(ppm_parameters, max_iterations) == 52);
static_assert(offsetof(ppm_parameters, photons_per_pass) == 56);
static_assert(offsetof(ppm_parameters, output_every) == 60);
static_assert(offsetof(ppm_parameters, min_radius_scale) == 64);
static_assert(offsetof(ppm_parameters, radius_scale) == 68);
