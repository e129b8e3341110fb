// The photon shader: emits one photon from an emitter and follows it through the scene,
// reporting every hit on a surface with a diffuse part to the illumination object.
//
// Random numbers come from the thread's first source in a fixed order, so that a sampler that
// replays or perturbs the first eight numbers of a path changes the same decision each time:
//   0, 1  the emission direction      2, 3  the position on the emitter
//   4     the branch of the first scattering event (Fresnel, coat)
//   5     its Russian roulette        6, 7  its new direction: the diffuse bounce's, or the
//                                            microfacet normal a rough lobe reflects about
// Later events draw four numbers each, in the same roles. All eight first numbers are drawn
// for every path, whether the emitter and the first surface use them or not.
#include "engine/runtime/runtime.h"
#include "engine/runtime/scattering.h"

namespace engine {

namespace {

scene_light* emitter_of(const engine_ray& ray, const qorShader* shader) {
  if (ray.current_light != nullptr) return static_cast<scene_light*>(ray.current_light);
  const qorObject* object = ray.emitter_object;
  if (object != nullptr && object->material != nullptr && object->material->shader != nullptr) {
    return object->material->shader->light;
  }
  return shader != nullptr ? shader->light : nullptr;
}

// The segments of one path, in two rays used in turn: a segment's parent must be alive while
// the illumination object handles the segment's hit (it reads where the segment started from
// its parent's hit), and nothing looks further back. A path thus allocates no ray.
struct path_segments {
  engine_ray rays[2];
  int next = 0;
  engine_ray& start(qorRay& from, uint32_t type) {
    engine_ray& segment = rays[next];
    next ^= 1;
    start_child_ray(from, type, segment);
    return segment;
  }
};

}  // namespace

int trace_photon(const float* power, engine_ray& ray, qorShader* shader) {
  qorScene& scene = scene_of(ray);
  scene_light* light = emitter_of(ray, shader);
  if (light == nullptr) return 0;
  qorRandom* source = ray.thread->random;
  if (source == nullptr) {
    // Reached only without a module's source; a path otherwise pays no thread-local look-up.
    thread_local engine_random fallback(0x9e3779b9, 11);
    source = &fallback;
  }
  qorRandom& random = *source;

  double first[8];
  for (double& u : first) u = random.next_float();
  int event_index = 0;
  auto event_numbers = [&](double e[4]) {
    for (int i = 0; i < 4; ++i) e[i] = event_index == 0 ? first[4 + i] : random.next_float();
    ++event_index;
  };

  const photon_start start = light->emit(first);
  rgb flux = power != nullptr ? rgb{power[0], power[1], power[2]} : start.power;
  if (flux.is_black()) return 0;

  qorIllum_api* api = scene.illum;
  const int max_events = std::max(0, scene.options.max_photon_depth);
  const uint32_t module_flags = ray.flags & ~uint32_t(qor_flag_caustic);

  path_segments path;
  engine_ray* segment = &path.start(ray, qor_ray_photon);
  segment->flags = module_flags;
  segment->depth = 0;
  const vec3 origin =
      start.on_surface ? start.origin + start.normal * scene.ray_epsilon : start.origin;
  origin.store(segment->origin);
  start.direction.store(segment->direction);
  segment->min_distance = 0;
  segment->leaving = start.surface;

  bool met_diffuse = false;
  int events = 0, passes = 0;
  uint64_t segments = 0, hits = 0;
  for (;;) {
    ++segments;
    const std::optional<raw_hit> hit = trace(scene, *segment);
    if (!hit) break;
    const surface_hit s = record_hit(scene, *segment, *hit);
    const surface_material& material = scene.materials[s.material]->data;
    const vec3 d = vec3::from(segment->direction);
    if (material.passes_through()) {
      if (++passes > max_interface_crossings) break;
      pass_through(scene, *segment, s);
      continue;
    }

    double e[4];
    event_numbers(e);
    const texture_point at(scene.content, s.id, s.u, s.v, s.position);
    const scattering event =
        scatter(material, d, s.geometric_normal, s.shading_normal, {e[0], e[2], e[3]}, at, false);
    if (event.kind == scattering::kind_type::diffuse && api != nullptr) {
      const float arriving[3] = {flux.r, flux.g, flux.b};
      api->store_photon(arriving, *segment);
      ++hits;
    }
    if (events++ >= max_events) break;

    vec3 direction;
    uint32_t type;
    if (event.kind == scattering::kind_type::diffuse) {
      // Russian roulette on the albedo keeps the power of surviving photons near the emitter's.
      const rgb albedo = material.diffuse_reflectance_at(at);
      const double survive = std::min(1.0f, albedo.max());
      if (!(e[1] < survive)) break;
      flux = flux * albedo * float(1 / survive);
      const vec3 facing = vec3::from(segment->shading_normal);
      direction = sample_cosine_hemisphere(facing, e[2], e[3]);
      if (!(dot(direction, vec3::from(segment->geometric_normal)) > 0)) break;
      flux = flux * float(material.coat_transmittance(dot(direction, facing)));
      type = qor_ray_photon_diffuse;
      met_diffuse = true;
    } else if (event.kind == scattering::kind_type::specular) {
      flux *= event.weight;
      direction = event.direction;
      type = qor_ray_photon_specular;
    } else {
      break;
    }
    if (flux.is_black()) break;

    engine_ray& next = path.start(*segment, type);
    next.flags = module_flags | (met_diffuse ? 0u : uint32_t(qor_flag_caustic));
    next.depth = events;
    next.medium_ior =
        event.kind == scattering::kind_type::specular ? event.medium_ior : segment->medium_ior;
    leave_surface(scene, *segment, s, direction, next);
    segment = &next;
  }
  if (photon_tally* tally = scene.photon_tally_of(*ray.thread)) {
    photon_tally::add(tally->paths, 1);
    photon_tally::add(tally->hits, hits);
    photon_tally::add(tally->segments, segments);
  }
  return 1;
}

}  // namespace engine
