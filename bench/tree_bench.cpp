// Microbenchmarks of the point tree: build, photon deposit and the progressive update, over points
// spread on the walls of a unit room the way an eye pass leaves them (one point per pixel on the
// visible surfaces, radii a few point spacings wide). The fake host of the module tests answers
// the tree's allocations.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "module/photons/photon_records.h"
#include "module/tree/ppm_tree.h"

namespace {

// A point on one of the five walls (floor, ceiling, three sides) of the unit room, facing in.
measurement_point wall_point(std::mt19937& rng, float radius) {
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  measurement_point p{};
  const int wall = static_cast<int>(unit(rng) * 5.0f) % 5;
  const int axis = wall / 2;  // walls 0, 1: x; 2, 3: y; 4: z
  const float side = wall % 2 == 0 ? 0.0f : 1.0f;
  for (int a = 0; a < 3; ++a) p.position[a] = a == axis ? side : unit(rng);
  p.normal[axis] = side == 0.0f ? 1.0f : -1.0f;
  p.radius = radius;
  p.min_radius = radius / 12.0f;
  p.reflectance[0] = p.reflectance[1] = p.reflectance[2] = 0.5f;
  return p;
}

// Radii of `spacings` point spacings on the room's five unit walls.
std::vector<measurement_point> room_points(uint32_t n, float spacings = 3.0f) {
  std::mt19937 rng(n);
  const float radius = spacings * std::sqrt(5.0f / static_cast<float>(n));
  std::vector<measurement_point> points;
  points.reserve(n);
  for (uint32_t i = 0; i < n; ++i) points.push_back(wall_point(rng, radius));
  return points;
}

void tree_build(benchmark::State& state) {
  std::vector<measurement_point> points = room_points(static_cast<uint32_t>(state.range(0)));
  for (auto _ : state) {
    ppm_tree tree(points.data(), static_cast<uint32_t>(points.size()));
    tree.build();
    benchmark::DoNotOptimize(tree.root);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(tree_build)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// Photons land on the walls, each deposited with the orientation tests on, as photon tracing
// does. The tree and its points are shared by all benchmark threads, as by the tracing threads;
// the pass's sets are never folded into the points, which the benchmark does not read.
struct deposit_scene {
  std::vector<measurement_point> points;
  std::unique_ptr<ppm_tree> tree;
  std::vector<photon_query> photons;
};

deposit_scene& shared_deposit_scene(uint32_t n, float spacings, uint32_t leaf_points, bool grid) {
  static std::unique_ptr<deposit_scene> scene;
  static float made_spacings = 0;
  if (scene == nullptr || scene->points.size() != n || made_spacings != spacings ||
      scene->tree->deposit_leaf_points != leaf_points || scene->tree->use_deposit_grid != grid) {
    scene = std::make_unique<deposit_scene>();
    made_spacings = spacings;
    scene->points = room_points(n, spacings);
    scene->tree = std::make_unique<ppm_tree>(scene->points.data(), n);
    scene->tree->deposit_leaf_points = leaf_points;
    scene->tree->use_deposit_grid = grid;
    scene->tree->build();
    std::mt19937 rng(99);
    for (int k = 0; k < 65536; ++k) {
      const measurement_point landing = wall_point(rng, 0.0f);
      photon_query q{};
      for (int a = 0; a < 3; ++a) {
        q.position[a] = landing.position[a];
        q.normal[a] = landing.normal[a];
        q.direction[a] = -landing.normal[a];
      }
      q.flux[0] = q.flux[1] = q.flux[2] = 1.0f;
      q.count = 1;
      q.orient = 1;
      scene->photons.push_back(q);
    }
  }
  return *scene;
}

void tree_deposit(benchmark::State& state) {
  static deposit_scene* scene = nullptr;
  if (state.thread_index() == 0) {
    scene = &shared_deposit_scene(static_cast<uint32_t>(state.range(0)),
                                  static_cast<float>(state.range(1)) / 10.0f,
                                  static_cast<uint32_t>(state.range(2)), state.range(3) != 0);
    // Each benchmark thread adds into its own accumulation set, as tracing threads do.
    scene->tree->begin_pass(static_cast<uint32_t>(state.threads()));
  }
  // Google Benchmark starts the threads' loops together, after thread 0 has run the line above.
  uint32_t hits = 0;
  size_t k = static_cast<size_t>(state.thread_index()) * 7919;
  for (auto _ : state) {
    photon_query q = scene->photons[k++ & 65535];
    q.hit_counter = &hits;
    q.thread = static_cast<uint32_t>(state.thread_index());
    scene->tree->deposit(q);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["points_per_photon"] =
      benchmark::Counter(static_cast<double>(hits) / static_cast<double>(state.iterations()),
                         benchmark::Counter::kAvgThreads);
}
// Arguments: points, radius in tenths of a point spacing, the deposit's leaf size (0: the tree's
// own leaves), and whether photons find their leaves in the grid (1) or by the node walk (0).
// 65536 points at 1.7 spacings give about 9 points per photon, as the host's defaults give on a
// 256 x 256 room; a million at 1.7 spacings, the same at 1000 x 1000; a million at 3 spacings, 28.
BENCHMARK(tree_deposit)
    ->ArgNames({"points", "spacings_x10", "leaf", "grid"})
    ->Args({65536, 17, 0, 1})
    ->Args({65536, 17, default_deposit_leaf_points, 0})
    ->Args({65536, 17, default_deposit_leaf_points, 1})
    ->Args({1000000, 17, default_deposit_leaf_points, 0})
    ->Args({1000000, 17, default_deposit_leaf_points, 1})
    ->Args({1000000, 30, default_deposit_leaf_points, 0})
    ->Args({1000000, 30, default_deposit_leaf_points, 1})
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();

// One progressive update after a pass that gave every point photons: young and adaptive points
// mixed, about half of them with offsets that shrink the radius.
void progressive_update(benchmark::State& state) {
  const uint32_t n = static_cast<uint32_t>(state.range(0));
  std::vector<measurement_point> points = room_points(n);
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (measurement_point& p : points) {
    p.photon_count = unit(rng) < 0.5f ? 8.0f : 200.0f;
    for (int c = 0; c < 3; ++c) {
      p.offset_sum[c] = (unit(rng) - 0.5f) * p.radius * 20.0f;
      p.radiance[c] = unit(rng);
    }
  }
  ppm_tree tree(points.data(), n);
  tree.radius_ratio = 12.0f;
  int32_t iteration = 1;
  for (auto _ : state) {
    state.PauseTiming();
    for (measurement_point& p : points) {
      p.pass_photons = 3;
      p.pass_flux[0] = p.pass_flux[1] = p.pass_flux[2] = 0.01f;
    }
    state.ResumeTiming();
    tree.progressive_update(iteration++, false, 0.01f, 0.7f);
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(progressive_update)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace
