// The progressive radiance update: after each photon pass every point folds the photons it
// gathered into its radiance estimate and adapts its radius within [min_radius, initial radius).
//
// The arithmetic is single precision in a fixed order, except for the products that form the
// offset statistic q, which are taken in double and rounded once.
#include <algorithm>
#include <cmath>

#include "host/qor.h"
#include "module/tree/ppm_tree.h"

namespace {

constexpr double inv_pi = 0.3183098861837907;
// Points with at most this many photons shrink by the photon-count rule.
constexpr float young_photon_limit = 16.0f;
// The offset statistic saturates here, which bounds the shrink factor below by 0.8^(1/6).
constexpr float max_offset_statistic = 2.0f;
// A point whose radiance exceeds this multiple of the mean channel value is an outlier.
constexpr float outlier_factor = 50.0f;

// The radius factor of a point that has gathered more than young_photon_limit photons: the offset
// sum of its photons measures how unevenly they fall (a gradient in the lighting shrinks the
// radius), and the spread of its estimate over the passes grows it back.
float adaptive_radius_factor(const measurement_point& p, float inv_r2, float n_total,
                             float old_variance, float old_luminance, float pass) {
  const float* s = p.offset_sum;
  const float s2 = s[0] * s[0] + s[1] * s[1] + s[2] * s[2];
  const float inv_n_total = 1.0f / n_total;
  float q = static_cast<float>(static_cast<double>(s2) * inv_pi * static_cast<double>(inv_r2) *
                               static_cast<double>(inv_n_total));
  q = std::min(q, max_offset_statistic);
  // 1e-10 keeps the term finite at iteration 0, where old_luminance x pass is 0.
  const float v = 0.2f * sqrtf(old_variance) / (old_luminance * pass + 1e-10f);
  return powf(1.0f - 0.05f * (q * q) + v, 1.0f / 6.0f);
}

void clamp_radiance_outliers(measurement_point* points, uint32_t count) {
  float total = 0.0f;
  for (uint32_t n = 0; n < count; ++n) {
    for (int c = 0; c < 3; ++c) total += points[n].radiance[c];
  }
  const float limit = total / static_cast<float>(3 * static_cast<uint64_t>(count)) * outlier_factor;
  qor_sprint("Max radiance = %g\n", static_cast<double>(limit));
  for (uint32_t n = 0; n < count; ++n) {
    float* radiance = points[n].radiance;
    if (radiance[0] > limit || radiance[1] > limit || radiance[2] > limit) {
      qor_sprint("Got radiance %g %g %g > %g\n", static_cast<double>(radiance[0]),
                 static_cast<double>(radiance[1]), static_cast<double>(radiance[2]),
                 static_cast<double>(limit));
      radiance[0] = radiance[1] = radiance[2] = 0.0f;
    }
  }
}

}  // namespace

void ppm_tree::progressive_update(int32_t iteration, bool clamp_outliers, float flux_scale,
                                  float alpha) {
  if (count == 0) return;
  const float pass = static_cast<float>(iteration);

  // Array order, not tree order: the update reads and writes each point on its own.
  for (uint32_t n = 0; n < count; ++n) {
    measurement_point& p = points[n];
    const float luminance = p.radiance[0] + p.radiance[1] + p.radiance[2];
    const int32_t pass_photons = p.pass_photons;
    const float radius = p.radius;

    if (pass_photons <= 0 || !(radius > 0.0f)) {
      // A pass without photons counts as a zero estimate in the variance. A point of zero radius
      // (a zero radius scale, or a hit at the camera itself) can only have gathered photons at
      // its exact centre, whose density is infinite: it is treated as a point without photons.
      p.variance_sum += luminance * luminance;
      if (pass_photons > 0) p.pass_photons = 0;
      continue;
    }

    const float inv_r2 = 1.0f / (radius * radius);
    const float g = flux_scale * inv_r2;
    for (int c = 0; c < 3; ++c) p.radiance[c] += g * p.pass_flux[c];

    const float pass_estimate = g * (p.pass_flux[0] + p.pass_flux[1] + p.pass_flux[2]);
    const float old_variance = p.variance_sum;
    const float deviation = pass_estimate * pass - luminance;
    p.variance_sum = deviation * deviation + old_variance;

    const float n_old = p.photon_count;
    const float m = static_cast<float>(pass_photons);
    const float n_total = n_old + m;
    const float k = n_old <= young_photon_limit
                        ? sqrtf((n_old + alpha * m) / n_total)
                        : adaptive_radius_factor(p, inv_r2, n_total, old_variance, luminance, pass);

    // The band keeps the radius at or above its lower bound and below the initial radius, so a
    // kept tree's boxes go on enclosing the spheres.
    const float new_radius = radius * k;
    if (p.min_radius <= new_radius && new_radius < p.min_radius * radius_ratio) {
      const float area_ratio = (new_radius * new_radius) / (radius * radius);
      p.radius = new_radius;
      p.photon_count = n_total * area_ratio;
      for (int c = 0; c < 3; ++c) p.offset_sum[c] *= area_ratio;
    }
    p.pass_photons = 0;
  }

  if (clamp_outliers) clamp_radiance_outliers(points, count);
}
