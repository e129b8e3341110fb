// Point refinement after each photon pass, and the direct light of the photon lights.
#include <algorithm>
#include <cmath>

#include "module/render/qor_ppm.h"
#include "module/tree/ppm_tree.h"

namespace {

constexpr double inv_pi = 0.3183098861837907;
constexpr double inv_pi_squared = 0.10132118364233779;
// Shadow rays start this far from the point, so its own surface does not block them.
constexpr float shadow_ray_offset = 1e-5f;

float dot(const float a[3], const float b[3]) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// The original progressive estimate on the main points: no upper radius bound, offsets kept as
// they are, the second point set untouched. inv and w = i / (i + 1) turn the running sums into
// means over the passes so far.
void classic_update(qorPPM& renderer, float flux_scale, float w) {
  for (uint32_t n = 0; n < renderer.point_count; ++n) {
    measurement_point& p = renderer.points[n];
    for (int c = 0; c < 3; ++c) {
      p.radiance[c] *= w;
      p.offset_sum[c] *= w;
    }
    const int32_t pass_photons = p.pass_photons;
    if (pass_photons <= 0) continue;
    const float radius = p.radius;
    const float g = flux_scale / (radius * radius);
    for (int c = 0; c < 3; ++c) p.radiance[c] += g * p.pass_flux[c];
    if (radius > p.min_radius) {
      const float m = static_cast<float>(pass_photons);
      const float n_new = p.photon_count + renderer.alpha * m;
      p.radius = radius * sqrtf(n_new / (p.photon_count + m));
      p.photon_count = n_new;
    }
    p.pass_photons = 0;
  }
}

// Keeps in each main point the running mean over the passes of E x reflectance / pi, where E is
// the irradiance from the photon lights of the pass just traced.
void light_irradiance_step(qorPPM& renderer, qorScene& scene, float inv, float w) {
  qor_sprint("Computing light irradiance for %d points\n", static_cast<int>(renderer.point_count));
  const double start = qor_get_time();
  qorRay* ray = qor_get_primary_ray(scene, 0, qor_ray_camera);
  qor_sprint("Got %d lights\n", static_cast<int>(renderer.photon_lights.size()));
  for (uint32_t n = 0; n < renderer.point_count; ++n) {
    measurement_point& p = renderer.points[n];
    float irradiance[3];
    renderer.photon_light_irradiance(irradiance, p.position, p.normal, *ray);
    for (int c = 0; c < 3; ++c) {
      const float pass_share = irradiance[c] * p.reflectance[c] * inv;
      const float kept = p.light_radiance[c] * w;
      p.light_radiance[c] =
          static_cast<float>(static_cast<double>(pass_share) * inv_pi + static_cast<double>(kept));
    }
  }
  ray->delete_ray();
  qor_sprint("Computed light irradiance in %.1f seconds\n", qor_get_time() - start);
}

}  // namespace

void qorPPM::refine_points(qorScene& scene) {
  if (refine_mode == 0) return;
  const int32_t i = iteration;
  qor_sprint("[%d] Refining points [%d]\n", i + 1, refine_mode);

  const float inv = 1.0f / static_cast<float>(i + 1);
  const float w = static_cast<float>(i) * inv;
  // Flux per pass over R^2 becomes radiance through 1/pi (the diffuse BRDF) and 1/pi (the disc
  // area pi R^2), and the sum over passes becomes a mean through 1/(i + 1).
  const float flux_scale = static_cast<float>(static_cast<double>(inv) * inv_pi_squared);

  if (refine_mode == 2) {
    const float radius_ratio = radius_scale / min_radius_scale;
    if (tree != nullptr) tree->radius_ratio = radius_ratio;
    if (tree2 != nullptr) tree2->radius_ratio = radius_ratio;
    if (tree != nullptr) tree->progressive_update(i, false, flux_scale, alpha);
    if (point_mode != 0 && tree2 != nullptr) {
      if (point_mode == 2) {
        // The kept second set settles in its first passes and then keeps its values.
        if (i <= point2_last_iteration) tree2->progressive_update(i, true, flux_scale, alpha);
      } else {
        // A second set made anew each pass holds one pass only: its estimate is not averaged.
        tree2->progressive_update(i, true, flux_scale * static_cast<float>(i + 1), alpha);
      }
    }
  } else {
    classic_update(*this, flux_scale, w);
  }

  if (light_irradiance) light_irradiance_step(*this, scene, inv, w);
}

void qorPPM::photon_light_irradiance(float out[3], const float position[3], const float normal[3],
                                     qorRay& ray) {
  out[0] = out[1] = out[2] = 0.0f;
  for (const photon_light& light : photon_lights) {
    float d[3];
    for (int a = 0; a < 3; ++a) d[a] = light.position[a] - position[a];
    const float cos_point = dot(normal, d);
    if (!(cos_point > 0.0f)) continue;  // the light is behind the point's surface
    const float cos_light = dot(light.normal, d);
    if (!(cos_light < 0.0f)) continue;  // the point is behind the light's surface

    const double distance = std::sqrt(static_cast<double>(d[0]) * static_cast<double>(d[0]) +
                                      static_cast<double>(d[1]) * static_cast<double>(d[1]) +
                                      static_cast<double>(d[2]) * static_cast<double>(d[2]));
    for (int a = 0; a < 3; ++a) {
      ray.origin[a] = static_cast<double>(position[a]);
      ray.direction[a] = static_cast<double>(d[a]) / distance;
    }
    ray.min_distance = static_cast<double>(shadow_ray_offset);
    ray.max_distance = distance;
    if (ray.intersect()) continue;

    // The unnormalised cosines carry a factor |d|^2, which the r2 below cancels; max(r2, 1) is
    // the inverse-square falloff, capped at distance 1 so that close lights stay finite.
    const float r2 = dot(d, d);
    for (int c = 0; c < 3; ++c) {
      out[c] += light.power[c] * (-cos_light * cos_point) / (std::max(r2, 1.0f) * r2);
    }
  }
}
