// Photon emitters (everything in the scene that emits photons, with its power) and the photon
// hit callback: photon lights at diffuse bounces, then routing into the point trees.
#include <atomic>
#include <cmath>

#include "module/points/spin_lock.h"
#include "module/render/qor_ppm.h"
#include "module/tree/ppm_tree.h"

namespace {

photon_emitter new_emitter(qorShader* shader, qorLight* light, qorObject* object) {
  return photon_emitter{.shader = shader,
                        .light = light,
                        .object = object,
                        .power = 0.0f,
                        .paths_total = 0,
                        .uniform_accepted_total = 0,
                        .weight = 1.0f,
                        .photon_budget = 0};
}

qorShader* shader_of(const qorMaterial* material) {
  return material != nullptr ? material->shader : nullptr;
}

// 1/pi: a photon light radiates its power as a Lambertian emitter.
constexpr double inv_pi = 0.3183098861837907;

// Turns the hit of a photon that left a diffuse bounce into a point light at the bounce. Only
// uniform paths record lights: a mutated path is a correlated copy of one already recorded.
void record_photon_light(qorPPM& renderer, const float power[3], const qorRay& ray) {
  const photon_path_buffer& buffer = path_buffer_at(ray, renderer.tls_slot);
  const bool wanted = buffer.record_lights != 0;

  photon_light light{};
  if (wanted) {
    const float scale =
        static_cast<float>(static_cast<double>(buffer.inv_emitter_photons) * inv_pi);
    for (int c = 0; c < 3; ++c) light.power[c] = power[c] * scale;
    // The light sits where the photon left the surface, on the surface of the parent's hit.
    if (ray.parent != nullptr) {
      for (int c = 0; c < 3; ++c)
        light.normal[c] = static_cast<float>(ray.parent->shading_normal[c]);
    }
    for (int c = 0; c < 3; ++c) light.position[c] = static_cast<float>(ray.origin[c]);
  }

  // The size test runs under the lock too, so the list never grows past its limit however many
  // threads reach it at once.
  spin_lock_acquire(renderer.photon_light_lock);
  const bool full = renderer.photon_lights.size() >= photon_light_limit;
  if (!full && wanted) renderer.photon_lights.push_back(light);
  spin_lock_release(renderer.photon_light_lock);

  if (full && std::atomic_ref<uint8_t>(renderer.photon_light_warn).exchange(0) != 0) {
    qor_warning("Too many photon lights\n");
  }
}

// Sends the photon to the main points and/or the second point set, by kind of hit.
void route_photon(qorPPM& renderer, const float power[3], qorRay& ray) {
  const uint32_t type = ray.type;
  const bool caustic = (ray.flags & qor_flag_caustic) != 0;

  bool into_main = (renderer.direct_photons != 0 && type == qor_ray_photon) ||
                   (renderer.indirect_photons != 0 && type != qor_ray_photon && !caustic) ||
                   (renderer.caustic_photons != 0 && caustic);
  // With a second point set, caustics are gathered there only.
  if (renderer.point_mode != 0 && caustic) into_main = false;
  if (into_main && renderer.tree != nullptr) renderer.deposit_photon(*renderer.tree, power, ray);

  // A kept second set (point mode 2) stops gathering after its last gathering iteration.
  const bool into_second =
      renderer.point_mode != 0 &&
      !(renderer.point_mode == 2 && renderer.iteration > renderer.point2_last_iteration);
  if (into_second && renderer.tree2 != nullptr) {
    renderer.deposit_photon(*renderer.tree2, power, ray);
  }
}

}  // namespace

void qorPPM::enumerate_emitters(qorScene& scene) {
  qorRay* ray = qor_get_primary_ray(scene, 0, qor_ray_photon);
  ray->weight = 1.0f;
  ray->emission_scale = 1.0f;

  emitters.clear();
  total_power = 0.0f;
  qor_sprint("Enumerate photon emitters\n");

  const qorCamera* camera = qor_camera_get(scene);
  if (camera != nullptr && camera->emission_shader != nullptr) {
    // The camera's shader learns its final power only once it has been prepared for emission;
    // the answer after the preparation is the one kept.
    photon_emitter emitter = new_emitter(camera->emission_shader, nullptr, nullptr);
    qor_call_info_shader(ray, emitter.shader, qor_shader_power, &emitter.power);
    qor_call_info_shader(reinterpret_cast<qorRay*>(&scene), emitter.shader, qor_shader_prepare,
                         nullptr);
    qor_call_info_shader(ray, emitter.shader, qor_shader_power, &emitter.power);
    total_power += emitter.power;
    emitters.push_back(emitter);
  }

  uint32_t object_count = 0;
  qorObject** objects = qor_get_emissive_objects(scene, object_count);
  for (uint32_t i = 0; i < object_count; ++i) {
    qorShader* shader = shader_of(objects[i]->material);
    if (shader == nullptr) continue;
    photon_emitter emitter = new_emitter(shader, nullptr, objects[i]);
    qor_call_info_shader(ray, shader, qor_shader_power, &emitter.power);
    total_power += emitter.power;
    emitters.push_back(emitter);
  }

  for (qorLight* light = qor_lights(scene); light != nullptr; light = light->next) {
    ray->current_light = light;  // the shader answers for the light the ray names
    qorShader* shader = shader_of(light->material);
    if (shader == nullptr) continue;
    photon_emitter emitter = new_emitter(shader, light, nullptr);
    qor_call_info_shader(ray, shader, qor_shader_power, &emitter.power);
    total_power += emitter.power;
    emitters.push_back(emitter);
  }

  for (photon_emitter& emitter : emitters) {
    emitter.paths_total = 0;
    emitter.uniform_accepted_total = 0;
  }
  ray->delete_ray();
  qor_sprint("Found %d photon emitters with total power = %g\n", static_cast<int>(emitters.size()),
             static_cast<double>(total_power));
}

void qorPPM::store_photon(const float power[3], qorRay& ray) {
  float photon_power[3] = {power[0], power[1], power[2]};

  if (light_irradiance && ray.type == qor_ray_photon_diffuse) {
    record_photon_light(*this, photon_power, ray);
    // Far from the bounce the photon lights carry this light; close to it, where a point
    // light's 1/d^2 is noisy, the deposit does, fading out towards distance 1 (in scene units)
    // from the bounce.
    const double distance = ray.max_distance;
    if (distance > 1.0 || std::isnan(distance)) return;
    const float fade = static_cast<float>(1.0 - distance * distance);
    for (float& p : photon_power) p *= fade;
  }

  route_photon(*this, photon_power, ray);
}
