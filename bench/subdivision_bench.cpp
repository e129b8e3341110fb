// Loop subdivision of a closed cage of 10^4 triangles (a torus of 100 x 50 quads, each two
// triangles) to levels 1 to 3: level 3 makes 640 000 triangles.
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>

#include "engine/scene/shapes/loop_subdivision.h"

namespace {

void torus_cage(int around, int across, std::vector<qor::scene::double3>& p,
                std::vector<uint32_t>& indices) {
  const double pi = std::numbers::pi;
  for (int i = 0; i < around; i++) {
    for (int j = 0; j < across; j++) {
      const double u = 2 * pi * i / around, v = 2 * pi * j / across;
      p.push_back({(1 + 0.3 * std::cos(v)) * std::cos(u), (1 + 0.3 * std::cos(v)) * std::sin(u),
                   0.3 * std::sin(v)});
    }
  }
  auto at = [&](int i, int j) { return uint32_t((i % around) * across + (j % across)); };
  for (int i = 0; i < around; i++) {
    for (int j = 0; j < across; j++) {
      indices.insert(indices.end(), {at(i, j), at(i + 1, j), at(i + 1, j + 1)});
      indices.insert(indices.end(), {at(i, j), at(i + 1, j + 1), at(i, j + 1)});
    }
  }
}

void subdivide(benchmark::State& state) {
  std::vector<qor::scene::double3> p;
  std::vector<uint32_t> indices;
  torus_cage(100, 50, p, indices);
  for (auto _ : state) {
    qor::scene::subdivided_mesh out;
    if (qor::scene::loop_subdivide(p, indices, int(state.range(0)), out)) {
      state.SkipWithError("the cage is not a manifold");
    }
    benchmark::DoNotOptimize(out.positions.data());
    state.counters["triangles"] = double(out.indices.size() / 3);
  }
}
BENCHMARK(subdivide)->DenseRange(1, 3)->Unit(benchmark::kMillisecond);

}  // namespace
