// The measurement point: one visible surface position of an eye sample, with everything the
// progressive estimate keeps there.
#pragma once

#include <cstddef>
#include <cstdint>

struct measurement_point {
  float position[3];           // world position of the hit
  float radius;                // current gathering radius
  float normal[3];             // shading normal at the hit
  int32_t pass_photons;        // photons gathered in the current pass
  float photon_count;          // accumulated (radius-scaled) photon count
  uint32_t lock;               // spin lock word over the pass accumulators
  float sample_weight;         // weight of the eye sample that created the point
  float pass_flux[3];          // RGB flux gathered in the current pass
  float offset_sum[3];         // sum of the offsets from the point to its gathered photons
  float radiance[3];           // running RGB radiance estimate
  float reflectance[3];        // diffuse reflectance at the hit, times sample_weight
  float min_radius;            // lower bound of the radius
  int32_t pixel_x;             // image column of the sample
  int32_t pixel_y;             // image row of the sample
  float normal_deviation;      // accumulated change of the pixel's normal between passes
  float smoothed_radiance[3];  // result of smoothing the per-pixel estimates
  float smoothing_input[3];    // input copy of one smoothing pass
  float light_radiance[3];     // direct radiance from photon lights (running mean)
  float variance_sum;          // squared-deviation accumulator of the estimate
  int32_t smoothing_limit;     // smoothing class: 1 detail, 32 smooth
  uint32_t spare;
};
static_assert(sizeof(measurement_point) == 156);
static_assert(offsetof(measurement_point, position) == 0);
static_assert(offsetof(measurement_point, radius) == 12);
static_assert(offsetof(measurement_point, normal) == 16);
static_assert(offsetof(measurement_point, pass_photons) == 28);
static_assert(offsetof(measurement_point, photon_count) == 32);
static_assert(offsetof(measurement_point, lock) == 36);
static_assert(offsetof(measurement_point, sample_weight) == 40);
static_assert(offsetof(measurement_point, pass_flux) == 44);
static_assert(offsetof(measurement_point, offset_sum) == 56);
static_assert(offsetof(measurement_point, radiance) == 68);
static_assert(offsetof(measurement_point, reflectance) == 80);
static_assert(offsetof(measurement_point, min_radius) == 92);
static_assert(offsetof(measurement_point, pixel_x) == 96);
static_assert(offsetof(measurement_point, pixel_y) == 100);
static_assert(offsetof(measurement_point, normal_deviation) == 104);
static_assert(offsetof(measurement_point, smoothed_radiance) == 108);
static_assert(offsetof(measurement_point, smoothing_input) == 120);
static_assert(offsetof(measurement_point, light_radiance) == 132);
static_assert(offsetof(measurement_point, variance_sum) == 144);
static_assert(offsetof(measurement_point, smoothing_limit) == 148);
static_assert(offsetof(measurement_point, spare) == 152);

// One eye-pass worker's candidates for the pixel sample it is tracing. The count stops at 63, so
// slot 63 takes every candidate past the 63rd and is never selected.
inline constexpr int candidate_slots = 64;
struct candidate_buffer {
  int32_t count;
  measurement_point slots[candidate_slots];
};
static_assert(sizeof(candidate_buffer) == 9988);
static_assert(offsetof(candidate_buffer, slots) == 4);
