// Ray queries against meshes, spheres and instances: analytic answers, Embree against the
// brute-force tracer, and the surfaces hits resolve to.
#include <cmath>
#include <limits>
#include <random>

#include "engine/runtime/camera.h"
#include "engine/runtime/embree_tracer.h"
#include "tests/engine/runtime_test_support.h"

using namespace runtime_test;
using engine::ray_query;
using engine::ray_tracer;

namespace {

// Both tracers of one scene, so every analytic test checks each of them.
struct tracers {
  explicit tracers(const engine::traceable_scene& s)
      : scene(s), embree(scene, [](const std::string&) {}), brute(scene) {}
  engine::traceable_scene scene;
  engine::embree_tracer embree;
  engine::brute_force_tracer brute;
  std::vector<const ray_tracer*> all() const { return {&embree, &brute}; }
};

// The hit distance, NaN (which fails every EXPECT_NEAR) on a miss.
double t_of(const ray_tracer& tracer, const ray_query& q) {
  const auto hit = tracer.intersect(q);
  return hit ? hit->t : std::numeric_limits<double>::quiet_NaN();
}

// A rotation about z after a scale (R * S), then a move.
engine::affine_transform translate_scale_rotate_z(const vec3& t, const vec3& s, double degrees) {
  const double c = std::cos(degrees * engine::pi / 180), n = std::sin(degrees * engine::pi / 180);
  return {{{c * s.x, -n * s.y, 0, t.x}, {n * s.x, c * s.y, 0, t.y}, {0, 0, s.z, t.z}}};
}

}  // namespace

// Squares at z = 0 (wound for +z), 5 (flipped, with the normals a scene file's meshes keep) and
// 10 (vertex normals pointing below: the face turns), and a flipped unit sphere at z = 20.
TEST(ray_tracing, rays_meet_triangles_and_spheres_where_they_are_and_face_their_winding) {
  engine::traceable_scene s = empty_scene();
  for (const double z : {0.0, 5.0, 10.0}) s.shapes.push_back(square_z(z, 1.0, 0, true));
  s.shapes[1].flip_normal = true;
  s.shapes[1].mesh.make_face_normals();
  s.shapes[2].mesh.normals.assign(4, {0.0f, 0.6f, -0.8f});
  s.shapes.push_back(sphere({0, 0, 20}, 1.0, 0));
  s.shapes[3].flip_normal = true;
  tracers t(s);
  for (const ray_tracer* tracer : t.all()) {
    EXPECT_NEAR(t_of(*tracer, {{0.3, -0.2, 2}, {0, 0, -1}}), 2.0, 1e-5);
    // Just outside the square, a hit beyond t_max and a surface behind the origin are misses.
    EXPECT_FALSE(tracer->intersect({{1.01, 0, 2}, {0, 0, -1}}));
    EXPECT_FALSE(tracer->intersect({{0, 0, 2}, {0, 0, -1}, 0, 1.9}));
    EXPECT_FALSE(tracer->intersect({{0, 0, -1}, {0, 0, -1}}));
    EXPECT_TRUE(tracer->occluded({{0, 0, 2}, {0, 0, -1}, 0, 2.1}));
    EXPECT_FALSE(tracer->occluded({{0, 0, 2}, {0, 0, -1}, 0, 1.9}));
    // The sphere: the near root, from the centre the far one, and off-centre the chord at
    // distance 0.6 from the centre entering sqrt(1 - 0.36) before it.
    EXPECT_NEAR(t_of(*tracer, {{0, 0, 30}, {0, 0, -1}}), 9.0, 1e-4);
    EXPECT_NEAR(t_of(*tracer, {{0, 0, 20}, {0, 1, 0}}), 1.0, 1e-4);
    EXPECT_NEAR(t_of(*tracer, {{0.6, 0, 30}, {0, 0, -1}}), 10.0 - 0.8, 1e-4);
    EXPECT_FALSE(tracer->intersect({{1.01, 0.5, 30}, {0, 0, -1}}));

    auto from_above = [&](double z) {
      const ray_query q{{0.3, -0.2, z + 2}, {0, 0, -1}};  // off the quad's diagonal
      auto hit = tracer->intersect(q);
      EXPECT_TRUE(hit);
      return hit ? engine::resolve_hit(s, q, *hit) : engine::surface_hit{};
    };
    const engine::surface_hit plain = from_above(0);
    EXPECT_NEAR(engine::length(plain.position - vec3{0.3, -0.2, 0}), 0, 1e-6);
    EXPECT_EQ(plain.position.z, 0.0);  // the barycentric point lies exactly on the plane
    EXPECT_NEAR(plain.geometric_normal.z, 1.0, 1e-12);
    EXPECT_NEAR(from_above(5).geometric_normal.z, -1.0, 1e-12);
    const engine::surface_hit shaded = from_above(10);
    EXPECT_NEAR(shaded.geometric_normal.z, -1.0, 1e-12);
    EXPECT_NEAR(engine::length(shaded.shading_normal - vec3{0, 0.6, -0.8}), 0, 1e-6);
    const engine::surface_hit inward = from_above(20);
    EXPECT_NEAR(inward.position.z, 20 + std::sqrt(0.87), 1e-6);
    EXPECT_NEAR(inward.geometric_normal.z, -std::sqrt(0.87), 1e-6);  // inwards
  }
}

// Which instance and shape a hit is on, and where instances sit, the comparison with the
// brute-force tracer below checks; the normal that resolving a hit turns to world space is
// checked here, on a sphere stretched 2x along x, rotated 90 degrees about z (the stretch ends up
// along y) and moved.
TEST(ray_tracing, instances_place_their_object_and_transform_normals) {
  engine::traceable_scene s = empty_scene();
  s.objects.push_back({});
  s.objects[0].shapes.push_back(sphere({0, 0, 0}, 1.0, 0));
  s.instances.push_back(place(0, translate_scale_rotate_z({10, 0, 0}, {2, 1, 1}, 90)));
  tracers t(s);
  for (const ray_tracer* tracer : t.all()) {
    // On the ellipsoid x^2/1 + y^2/4 + z^2 = 1 (around the centre), the normal is proportional
    // to (x, y / 4, z).
    const ray_query q{{10 + 0.6, -10, 0}, {0, 1, 0}};
    auto hit = tracer->intersect(q);
    ASSERT_TRUE(hit);
    const engine::surface_hit surface = engine::resolve_hit(t.scene, q, *hit);
    const double y = -2 * std::sqrt(1 - 0.36);
    EXPECT_NEAR(engine::length(surface.position - vec3{10.6, y, 0}), 0, 1e-4);
    const vec3 expected = engine::normalize({0.6, y / 4, 0});
    EXPECT_NEAR(engine::dot(surface.geometric_normal, expected), 1.0, 1e-6);
  }
}

TEST(ray_tracing, embree_agrees_with_brute_force_on_random_rays) {
  engine::traceable_scene s = empty_scene();
  s.shapes.push_back(square_z(-2.0, 3.0, 0, true));
  s.shapes.push_back(quad({-3, -3, -2}, {-3, 3, -2}, {-3, 3, 2}, {-3, -3, 2}, 0));
  s.shapes.push_back(sphere({0.5, 0.3, 0}, 0.8, 0));
  engine::scene_object object;
  object.shapes.push_back(sphere({0, 0, 0}, 0.5, 0));
  object.shapes.push_back(
      quad({-0.5, -0.5, 0}, {0.5, -0.5, 0}, {0.5, 0.5, 0.4}, {-0.5, 0.5, 0.2}, 0));
  s.objects.push_back(object);
  s.instances.push_back(place(0, translate_scale_rotate_z({-1.5, 1.2, -0.5}, {1, 1.5, 1}, 30)));
  s.instances.push_back(place(0, translate_scale_rotate_z({1.5, -1.5, 1}, {0.7, 0.7, 0.7}, -60)));
  tracers t(s);

  std::mt19937 rng(12345);
  std::uniform_real_distribution<double> u(-1, 1);
  int hits = 0, mismatches = 0;
  const int rays = 4000;
  for (int i = 0; i < rays; ++i) {
    const ray_query q{{u(rng) * 4, u(rng) * 4, u(rng) * 4},
                      engine::normalize({u(rng), u(rng), u(rng)})};
    const auto a = t.embree.intersect(q);
    const auto b = t.brute.intersect(q);
    EXPECT_EQ(t.embree.occluded(q), a.has_value());
    if (!a || !b) {
      mismatches += a.has_value() != b.has_value();
      continue;
    }
    ++hits;
    if (a->instance != b->instance || a->shape != b->shape || a->primitive != b->primitive ||
        std::abs(a->t - b->t) > 1e-4 * std::max(1.0, b->t)) {
      ++mismatches;
    }
  }
  EXPECT_GT(hits, rays / 5);
  // Float and double arithmetic may disagree only for rays that graze an edge.
  EXPECT_LE(mismatches, rays / 500);
}
