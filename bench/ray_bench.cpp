// Embree's ray rate on the example scenes, for comparison with the renderer's photon rate
// (render_bench): how fast rtcIntersect1 alone answers the rays a photon pass traces, and how
// much the engine's tracer adds around it.
//
//   ray_bench [SCENE.pbrt ...] [Google Benchmark flags]
//
// Without scenes it times scenes/cornell-box.pbrt and scenes/cornell-caustics.pbrt. The rays are
// made once per scene, with the engine's own lights, the way the photon shader starts a path:
//   light rays    leave the emitters (an emitter chosen in proportion to its power, then its
//                 photon_start from four uniform numbers): first segments of photon paths;
//   bounce rays   leave where the light rays hit, cosine-distributed about the surface facing the
//                 light: later segments.
// Each benchmark cycles through 2^16 rays on one thread; items per second is rays per second of
// one core, to set beside render_bench's photon rays per CPU-second.
#include <benchmark/benchmark.h>
#include <embree3/rtcore.h>

#include <algorithm>
#include <iostream>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/runtime/embree_tracer.h"
#include "engine/runtime/runtime.h"
#include "engine/runtime/scattering.h"
#include "engine/scene/parse_scene.h"

namespace {

using namespace engine;

constexpr size_t ray_count = size_t(1) << 16;

struct scene_rays {
  std::unique_ptr<render_engine> engine;
  RTCScene world = nullptr;
  const ray_tracer* tracer = nullptr;
  std::vector<ray_query> light_rays;
  std::vector<ray_query> bounce_rays;
};

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

void embree_intersect(benchmark::State& state, const scene_rays* rays,
                      const std::vector<ray_query>* queries) {
  size_t i = 0, hits = 0;
  for (auto _ : state) {
    const ray_query& q = (*queries)[i++ % queries->size()];
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
    rtcIntersect1(rays->world, &context, &rh);
    hits += rh.hit.geomID != RTC_INVALID_GEOMETRY_ID;
  }
  benchmark::DoNotOptimize(hits);
  state.SetItemsProcessed(int64_t(state.iterations()));
  state.counters["hit share"] = double(hits) / double(std::max<int64_t>(1, state.iterations()));
}

// The same rays through the engine's tracer: double-precision queries in, a raw_hit out.
void tracer_intersect(benchmark::State& state, const scene_rays* rays,
                      const std::vector<ray_query>* queries) {
  size_t i = 0, hits = 0;
  for (auto _ : state) {
    hits += rays->tracer->intersect((*queries)[i++ % queries->size()]).has_value();
  }
  benchmark::DoNotOptimize(hits);
  state.SetItemsProcessed(int64_t(state.iterations()));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::vector<std::string> paths(argv + 1, argv + argc);
  if (paths.empty()) {
    paths = {std::string(QOR_EXAMPLE_SCENES) + "/cornell-box.pbrt",
             std::string(QOR_EXAMPLE_SCENES) + "/cornell-caustics.pbrt"};
  }
  std::vector<std::unique_ptr<scene_rays>> scenes;
  for (const std::string& path : paths) {
    try {
      scenes.push_back(std::make_unique<scene_rays>(make_rays(path)));
    } catch (const std::exception& error) {
      std::cerr << path << ": " << error.what() << "\n";
      return 1;
    }
    const scene_rays* rays = scenes.back().get();
    const std::string name = path.substr(path.find_last_of('/') + 1);
    benchmark::RegisterBenchmark((name + "/embree/light_rays").c_str(), embree_intersect, rays,
                                 &rays->light_rays);
    benchmark::RegisterBenchmark((name + "/embree/bounce_rays").c_str(), embree_intersect, rays,
                                 &rays->bounce_rays);
    benchmark::RegisterBenchmark((name + "/engine_tracer/light_rays").c_str(), tracer_intersect,
                                 rays, &rays->light_rays);
    benchmark::RegisterBenchmark((name + "/engine_tracer/bounce_rays").c_str(), tracer_intersect,
                                 rays, &rays->bounce_rays);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
