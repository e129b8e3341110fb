// Shading callbacks at camera-ray hits: direct light from the host's lights, and the one-bounce
// diffuse continuation that the second point set answers.
#include <cmath>

#include "module/render/qor_ppm.h"

// Sums the host's lights at the hit, unless the photons carry the direct light themselves.
int qorPPM::direct_illumination(float result[3], qorRay& ray, void* light_context) {
  result[0] = result[1] = result[2] = 0.0f;
  // Photons deposited on their first segment already hold the direct light.
  if (direct_photons != 0) return 1;
  // Hits of continuation rays are lit by the second point set.
  if (point_mode != 0 && ray.depth > 0) return 1;

  qorRay* light_ray = ray.new_ray(qor_ray_light);
  qorLight* light = qor_lights(ray);
  ray.current_light = light;
  ray.thread->light_context = light_context;

  // The lights sample from a point lifted off the surface, so their shadow rays do not hit the
  // surface they start on. The hit is put back afterwards: the host goes on shading it.
  const double saved_position[3] = {ray.hit_position[0], ray.hit_position[1], ray.hit_position[2]};
  const double offset = static_cast<double>(ray.surface_offset);
  for (int c = 0; c < 3; ++c) ray.hit_position[c] += ray.shading_normal[c] * offset;

  while (light != nullptr) {
    light->add_direct_light(result, ray, *light_ray);
    light = light->next;
    ray.current_light = light;
  }
  if (qor_options(ray).shadow_mode == 's') qor_evaluate_shadows(result, ray, *light_ray);

  for (int c = 0; c < 3; ++c) ray.thread->direct_light[c] = result[c];
  for (int c = 0; c < 3; ++c) ray.hit_position[c] = saved_position[c];
  light_ray->delete_ray();
  return 1;
}

// Sends one cosine-distributed ray from a camera-ray hit. Its hit makes a second-set point and
// answers with the radiance the second set holds there (the indirect slot at depth + 1); the
// reflected radiance of a diffuse surface is that answer times pi, since the cosine-weighted
// direction already carries the 1/pi of the cosine density.
int diffuse_continuation(float result[3], qorRay& ray) {
  qorRay* dray = ray.new_ray(qor_ray_diffuse);

  // Off the surface along the geometric normal, so the continuation cannot hit its own start.
  constexpr double lift = static_cast<double>(1e-5f);
  for (int c = 0; c < 3; ++c)
    dray->origin[c] = ray.hit_position[c] + ray.geometric_normal[c] * lift;
  dray->medium_ior = ray.medium_ior;
  dray->medium = ray.medium;
  dray->depth = ray.depth + 1;

  // An orthonormal frame around the shading normal without a square root (valid for every normal
  // but the one pointing straight down -z, which gets a fixed frame).
  const double nx = ray.shading_normal[0];
  const double ny = ray.shading_normal[1];
  const double nz = ray.shading_normal[2];
  if (nz < -0.9999999) {
    ray.tangent[0] = 1.0;
    ray.tangent[1] = 0.0;
    ray.tangent[2] = 0.0;
    ray.bitangent[0] = 0.0;
    ray.bitangent[1] = 1.0;
    ray.bitangent[2] = 0.0;
  } else {
    const double a = -1.0 / (1.0 + nz);
    const double b = nx * ny * a;
    ray.tangent[0] = 1.0 + nx * nx * a;
    ray.tangent[1] = b;
    ray.tangent[2] = -nx;
    ray.bitangent[0] = b;
    ray.bitangent[1] = 1.0 + ny * ny * a;
    ray.bitangent[2] = -ny;
  }

  // A uniform point of the unit disc, lifted onto the hemisphere: a cosine-distributed direction.
  qorRandom& random = *ray.thread->random;
  float u;
  float v;
  do {
    u = 2.0f * random.next_float() - 1.0f;
    v = 2.0f * random.next_float() - 1.0f;
  } while (!(u * u + v * v <= 1.0f));
  // Rounding can leave 1 - u^2 - v^2 a hair below zero at the rim of the disc.
  const float w = std::sqrt(std::fmax(1.0f - u * u - v * v, 0.0f));
  const double du = u;
  const double dv = v;
  const double dw = w;
  for (int c = 0; c < 3; ++c) {
    dray->direction[c] = du * ray.tangent[c] + dv * ray.bitangent[c] + dw * ray.shading_normal[c];
  }

  // The indirect slot sets second_set_answered when the second set answered the continuation's
  // hit. The answer is to be the second set's radiance alone, so the host adds no emission at
  // that hit; the camera ray's own emission setting is restored afterwards.
  qorThread& thread = *dray->thread;
  const uint8_t saved_emission = thread.emission_enabled;
  thread.second_set_answered = 0;
  thread.emission_enabled = 0;

  const bool hit = dray->trace_diffuse(result);
  if (!hit || (dray->result_flags & 1u) != 0) {
    result[0] = result[1] = result[2] = 0.0f;
  } else {
    for (int c = 0; c < 3; ++c) {
      result[c] = static_cast<float>(static_cast<double>(result[c]) * 3.141592653589793);
    }
  }
  // Only radiance the second set delivered counts: whatever else the host shaded at the
  // continuation's hit is not part of the estimate.
  if (thread.second_set_answered == 0) result[0] = result[1] = result[2] = 0.0f;

  thread.emission_enabled = saved_emission != 0 ? 1 : 0;
  dray->delete_ray();
  return hit ? 1 : 0;
}
