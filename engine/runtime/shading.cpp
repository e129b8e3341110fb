// Shading of camera rays and their diffuse continuations, the shader queries, and shadows.
//
// A camera path follows mirrors and glass until it reaches a surface with a diffuse part. At a
// dielectric or a coat it takes one branch, chosen with the Fresnel probability, instead of
// splitting: the module keeps one candidate point per pixel sample, chosen in proportion to the
// sample weights, so every path must carry the same weight. The path's RGB factor (mirror
// colours, refraction's 1 / eta^2) rides in engine_ray::throughput and reaches the module as the
// reflectance shader query 0 reports and as the colour of the path.
#include <cmath>

#include "engine/runtime/runtime.h"
#include "engine/runtime/scattering.h"

namespace engine {

namespace {

qorRandom& path_random(engine_ray& ray) {
  if (ray.thread->random != nullptr) return *ray.thread->random;
  thread_local engine_random fallback(0x5eed, 7);
  return fallback;
}

// Direct and indirect light at a diffuse hit, from the illumination object. Slot 0 answers
// reflected radiance (its lights add albedo / pi x E); slot 1 answers irradiance (the module's
// estimate of incoming light, pi x L_in for a diffuse continuation), which the Lambertian
// surface turns into radiance with albedo / pi.
void shade_diffuse(qorScene& scene, engine_ray& ray, const rgb& albedo, float color[3]) {
  qorIllum_api* api = scene.illum;
  if (api == nullptr) return;
  float indirect[3] = {0, 0, 0};
  float direct[3] = {0, 0, 0};
  api->indirect_illumination(indirect, ray);
  api->direct_illumination(direct, ray, &scene);
  const rgb radiance = rgb{direct[0], direct[1], direct[2]} +
                       albedo * rgb{indirect[0], indirect[1], indirect[2]} * float(1 / pi);
  (radiance * ray.throughput).add_to(color);
}

// Light that reaches the eye off the rough lobes at a hit, from every light of the scene but
// those at infinity, each sampled once (area lights at a point drawn from the path's numbers)
// and tested for shadow. A sky is found by the path itself when it leaves the lobe and the
// scene: sampling the lobe suits a sky spread over many directions better than sampling the sky
// suits a narrow lobe.
rgb glossy_direct_light(qorScene& scene, engine_ray& ray, const surface_material& material,
                        const vec3& d, const surface_hit& s, const texture_point& at) {
  const facing_normals n(d, s.geometric_normal, s.shading_normal);
  rgb sum;
  for (const auto& slot : scene.lights) {
    const scene_light& light = *slot->light;
    if (light.kind() == int(light_type::infinite)) continue;
    double u1 = 0.5, u2 = 0.5;
    if (light.kind() == int(light_type::area)) {
      u1 = path_random(ray).next_float();
      u2 = path_random(ray).next_float();
    }
    incident_light in;
    if (!light.incident(s.position, u1, u2, in)) continue;
    const rgb f = material.glossy_reflection(d, n, in.direction, at);
    if (f.is_black() || in.irradiance.is_black()) continue;
    const vec3 side = dot(in.direction, n.geometric) >= 0 ? n.geometric : -n.geometric;
    // The shadow ray leaves from just off the surface and is aimed from there at the light's
    // point. Aimed parallel to the direction from the hit, it would end beside that point by the
    // offset, which near the rim of a sphere light's visible cap lies inside the light.
    ray_query shadow{s.position + side * scene.ray_epsilon, in.direction, scene.ray_epsilon};
    if (std::isfinite(in.distance)) {
      const vec3 to_light = s.position + in.direction * in.distance - shadow.origin;
      const double distance = length(to_light);
      shadow.direction = to_light / distance;
      shadow.t_max = std::max(0.0, distance - 2 * scene.ray_epsilon);
    }
    if (scene.tracer->occluded(shadow)) continue;
    sum += f * in.irradiance;
  }
  return sum;
}

}  // namespace

bool trace_camera_path(engine_ray& ray, float color[3]) {
  qorScene& scene = scene_of(ray);
  color[0] = color[1] = color[2] = 0;
  const int max_specular = std::max(0, scene.options.max_camera_depth);
  int specular = 0, passes = 0;
  bool hit_anything = false;
  bool after_glossy = false;  // emitters seen now were counted by glossy_direct_light
  for (;;) {
    const std::optional<raw_hit> hit = trace(scene, ray);
    const vec3 d = vec3::from(ray.direction);
    if (!hit) {
      // A ray that leaves the scene sees the lights at infinity, as it would an emitter's face.
      if (scene.environment.empty() || ray.thread->emission_enabled == 0) return hit_anything;
      rgb sky;
      for (const scene_light* light : scene.environment) sky += light->escaping_radiance(d);
      (sky * ray.throughput * ray.emission_scale).add_to(color);
      return true;
    }
    hit_anything = true;
    const surface_hit s = record_hit(scene, ray, *hit);
    const surface_material& material = scene.materials[s.material]->data;

    if (s.area_light >= 0 && ray.thread->emission_enabled != 0 && !after_glossy) {
      const rgb emitted = scene.area_light_at(s.area_light)
                              .emitted_radiance(s.geometric_normal, -d, s.id.primitive);
      (emitted * ray.throughput * ray.emission_scale).add_to(color);
    }

    scatter_numbers u;
    const int numbers = material.numbers_used();
    if (numbers > 0) u.branch = path_random(ray).next_float();
    if (numbers > 1) {
      u.u1 = path_random(ray).next_float();
      u.u2 = path_random(ray).next_float();
    }
    const texture_point at(scene.content, s.id, s.u, s.v, s.position);
    const scattering event =
        scatter(material, d, s.geometric_normal, s.shading_normal, u, at, true);
    if (material.glossy() && ray.thread->emission_enabled != 0) {
      (glossy_direct_light(scene, ray, material, d, s, at) * ray.throughput).add_to(color);
    }
    after_glossy = event.glossy;
    switch (event.kind) {
      case scattering::kind_type::diffuse:
        shade_diffuse(scene, ray, material.diffuse_reflectance_at(at), color);
        return true;
      case scattering::kind_type::pass:
        if (++passes > max_interface_crossings) {
          ray.result_flags |= 1;
          return true;
        }
        pass_through(scene, ray, s);
        continue;
      case scattering::kind_type::absorbed:
        return true;
      case scattering::kind_type::specular:
        break;
    }
    if (++specular > max_specular) {
      // Cut short: what the path would have seen is unknown.
      ray.result_flags |= 1;
      return true;
    }
    ray.throughput *= event.weight;
    ray.medium_ior = event.medium_ior;
    ray.camera_first_segment = false;
    leave_surface(scene, ray, s, event.direction, ray);
  }
}

}  // namespace engine

using namespace engine;

int qor_call_info_shader(qorRay* ray, qorShader* shader, int info, void* data) {
  if (shader == nullptr) return 0;
  switch (info) {
    case qor_shader_reflectance: {
      if (shader->material == nullptr || data == nullptr) return 0;
      rgb albedo;
      if (ray != nullptr) {
        const auto& hit = static_cast<const engine_ray&>(*ray);
        albedo = shader->material->diffuse_reflectance_at(texture_point_of(scene_of(*ray), hit)) *
                 hit.throughput;
      } else {
        albedo = shader->material->diffuse_reflectance();
      }
      auto* out = static_cast<float*>(data);
      out[0] = albedo.r;
      out[1] = albedo.g;
      out[2] = albedo.b;
      return 1;
    }
    case qor_shader_power: {
      if (shader->light == nullptr || data == nullptr) return 0;
      const float scale = ray != nullptr ? ray->emission_scale : 1.0f;
      *static_cast<float*>(data) = shader->light->power() * scale;
      return 1;
    }
    case qor_shader_prepare:
      // The ray argument holds the scene here; an emitter needs no preparation in this engine.
      return shader->light != nullptr ? 1 : 0;
    default:
      return 0;
  }
}

int qor_call_info_and_sub_shader(qorRay* ray, qorShader* shader, int info, void* data) {
  // Surfaces have no sub-shaders in this engine.
  return qor_call_info_shader(ray, shader, info, data);
}

int qor_call_photon_shader(const float* power, qorRay* ray, qorShader* shader) {
  if (ray == nullptr) return 0;
  return trace_photon(power, static_cast<engine_ray&>(*ray), shader);
}

void qor_evaluate_shadows(float result[3], qorRay& ray, qorRay& light_ray) {
  const qorScene& scene = scene_of(ray);
  auto& shadows = static_cast<engine_ray&>(light_ray);
  for (const shadow_test& test : shadows.shadow_tests) {
    // The ray starts on the surface it lights: the first ray_epsilon of it is not tested.
    if (scene.tracer->occluded({test.origin, test.direction, scene.ray_epsilon, test.distance})) {
      result[0] = std::max(0.0f, result[0] - test.contribution.r);
      result[1] = std::max(0.0f, result[1] - test.contribution.g);
      result[2] = std::max(0.0f, result[2] - test.contribution.b);
    }
  }
  shadows.shadow_tests.clear();
}
