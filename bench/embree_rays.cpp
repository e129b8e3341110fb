#include "bench/embree_rays.h"

#include <time.h>

#include <algorithm>
#include <limits>
#include <random>
#include <stdexcept>

#include "engine/runtime/embree_tracer.h"
#include "engine/runtime/runtime.h"
#include "engine/runtime/scattering.h"
#include "engine/scene/parse_scene.h"

namespace bench {

using namespace engine;

namespace {

constexpr size_t ray_count = size_t(1) << 16;

double thread_cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

}  // namespace

scene_rays make_rays(const std::string& path) {
  scene_rays out;
  const qor::scene::parse_result parsed = qor::scene::parse_scene_file(path);
  engine_settings settings;
  settings.threads = 1;
  out.engine = std::make_unique<render_engine>(parsed.scene, settings, host_callbacks{});
  qorScene& scene = out.engine->scene();
  out.tracer = scene.tracer.get();
  out.world =
      static_cast<RTCScene>(static_cast<const embree_tracer&>(*scene.tracer).native_scene());

  std::vector<const scene_light*> lights;
  std::vector<double> power;
  for (const auto& slot : scene.lights) {
    lights.push_back(slot->light.get());
    power.push_back(std::max(0.0f, slot->light->total_power().mean()));
  }
  if (lights.empty()) throw std::runtime_error(path + ": no lights");
  std::mt19937_64 random(12345);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::discrete_distribution<size_t> choose(power.begin(), power.end());

  while (out.light_rays.size() < ray_count) {
    const double u[4] = {unit(random), unit(random), unit(random), unit(random)};
    const photon_start start = lights[choose(random)]->emit(u);
    ray_query q;
    q.origin = start.on_surface ? start.origin + start.normal * scene.ray_epsilon : start.origin;
    q.direction = start.direction;
    out.light_rays.push_back(q);
  }
  for (size_t i = 0; out.bounce_rays.size() < ray_count; i = (i + 1) % ray_count) {
    const ray_query& from = out.light_rays[i];
    const std::optional<raw_hit> hit = out.tracer->intersect(from);
    if (!hit) continue;
    const surface_hit s = resolve_hit(scene.content, from, *hit);
    const vec3 facing =
        dot(s.geometric_normal, from.direction) < 0 ? s.geometric_normal : -s.geometric_normal;
    ray_query q;
    q.origin = s.position + facing * scene.ray_epsilon;
    q.direction = sample_cosine_hemisphere(facing, unit(random), unit(random));
    out.bounce_rays.push_back(q);
  }
  return out;
}

bool embree_intersect(RTCScene world, const ray_query& q) {
  RTCIntersectContext context;
  rtcInitIntersectContext(&context);
  RTCRayHit rh;
  rh.ray.org_x = float(q.origin.x);
  rh.ray.org_y = float(q.origin.y);
  rh.ray.org_z = float(q.origin.z);
  rh.ray.dir_x = float(q.direction.x);
  rh.ray.dir_y = float(q.direction.y);
  rh.ray.dir_z = float(q.direction.z);
  rh.ray.tnear = 0;
  rh.ray.tfar = std::numeric_limits<float>::infinity();
  rh.ray.time = 0;
  rh.ray.mask = 0xFFFFFFFFu;
  rh.ray.id = 0;
  rh.ray.flags = 0;
  rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
  rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
  rtcIntersect1(world, &context, &rh);
  return rh.hit.geomID != RTC_INVALID_GEOMETRY_ID;
}

double embree_rays_per_cpu_second(RTCScene world, const std::vector<ray_query>& rays,
                                  double seconds) {
  if (rays.empty()) return 0;
  const double start = thread_cpu_seconds();
  size_t traced = 0, hits = 0;
  double elapsed = 0;
  do {
    for (const ray_query& q : rays) hits += embree_intersect(world, q);
    traced += rays.size();
    elapsed = thread_cpu_seconds() - start;
  } while (elapsed < seconds);
  // Keeps the loop's work observable.
  if (hits > traced) throw std::logic_error("more hits than rays");
  return double(traced) / elapsed;
}

}  // namespace bench
