// Embree's ray rate on the example scenes, for comparison with the renderer's photon rate
// (render_bench): how fast rtcIntersect1 alone answers the rays a photon pass traces, and how
// much the engine's tracer adds around it.
//
//   ray_bench [SCENE.pbrt ...] [Google Benchmark flags]
//
// Without scenes it times scenes/cornell-box.pbrt and scenes/cornell-caustics.pbrt, on the rays
// of bench/embree_rays.h (light rays and bounce rays, made once per scene with the engine's own
// lights). Each benchmark cycles through 2^16 rays on one thread; items per second is rays per
// second of one core, to set beside render_bench's photon rays per CPU-second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "bench/embree_rays.h"

namespace {

using bench::scene_rays;
using engine::ray_query;

void embree_intersect(benchmark::State& state, const scene_rays* rays,
                      const std::vector<ray_query>* queries) {
  size_t i = 0, hits = 0;
  for (auto _ : state)
    hits += bench::embree_intersect(rays->world, (*queries)[i++ % queries->size()]);
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
      scenes.push_back(std::make_unique<scene_rays>(bench::make_rays(path)));
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
