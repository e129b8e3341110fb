// The photon figures the engine keeps for benchmarks: paths, stored hits and rays, counted on the
// thread index that traced them.
#include "engine/runtime/runtime.h"
#include "tests/engine/runtime_test_support.h"

using namespace runtime_test;

namespace {

// A point light between a mirror below and a diffuse ceiling above; photons drawn from the
// engine's own sources.
engine::traceable_scene mirror_and_ceiling() {
  engine::traceable_scene s = empty_scene();
  s.materials[0] = diffuse({1, 1, 1});
  s.materials.push_back(of_kind(engine::material_kind::conductor, {1, 1, 1}));
  s.shapes.push_back(square_z(-1.0, 100, 1, true));
  s.shapes.push_back(square_z(2.0, 100, 0, false));
  s.lights.push_back(make_light(engine::light_kind::point, {1, 1, 1}));
  return s;
}

void emit(qorScene& scene, int thread, int photons) {
  qor_scene_thread_init(scene, thread);
  qorRay* ray = qor_get_primary_ray(scene, thread, qor_ray_photon);
  qorLight* light = qor_lights(scene);
  for (int i = 0; i < photons; ++i) {
    ray->current_light = light;
    ray->emitter_object = nullptr;
    qor_call_photon_shader(nullptr, ray, light->material->shader);
  }
  ray->delete_ray();
  qor_scene_thread_exit(scene, thread);
}

}  // namespace

TEST(RuntimePhotonTally, CountsPathsStoredHitsAndRaysOfEveryThread) {
  message_log log;
  recording_illum illum;
  engine::render_engine engine(mirror_and_ceiling(), settings(2), log.callbacks());
  qor_install_illum_api(engine.scene(), &illum);
  // At most two scattering events: every path ends at its third hit or when it leaves the
  // slab between the two planes, after its roulette at the ceiling (albedo 1: it survives).
  engine.options().max_photon_depth = 2;
  EXPECT_EQ(engine.photons().paths, 0u);

  emit(engine.scene(), 0, 300);
  emit(engine.scene(), 1, 200);
  const engine::photon_statistics tally = engine.photons();
  EXPECT_EQ(tally.paths, 500u);
  EXPECT_EQ(tally.hits, illum.photons.size());
  // Each ray that hits is followed by another until the third hit; one that misses ends the
  // path. So a path traces between one ray (straight out through the side) and three.
  EXPECT_GE(tally.segments, tally.paths);
  EXPECT_LE(tally.segments, 3 * tally.paths);
  EXPECT_GT(tally.hits, 0u);
  EXPECT_LT(tally.hits, tally.segments);  // a mirror hit is traced but not stored

  // Both threads' counts are in the totals: one thread alone would be at most 300 paths.
  const qorScene& scene = engine.scene();
  EXPECT_EQ(scene.photon_tallies[0].paths.load(), 300u);
  EXPECT_EQ(scene.photon_tallies[1].paths.load(), 200u);
}
