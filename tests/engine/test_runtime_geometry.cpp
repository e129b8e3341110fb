// Ray queries against meshes, spheres and instances: analytic answers, Embree against the
// brute-force tracer, and the surfaces hits resolve to.
#include <cmath>
#include <random>

#include "engine/runtime/camera.h"
#include "engine/runtime/embree_tracer.h"
#include "tests/engine/runtime_test_support.h"

using namespace runtime_test;
using engine::brute_force_tracer;
using engine::embree_tracer;
using engine::ray_query;
using engine::ray_tracer;

namespace {

void ignore(const std::string&) {}

// Both tracers of one scene, so every analytic test checks each of them.
struct tracers {
  explicit tracers(const engine::traceable_scene& s)
      : scene(s), embree(scene, ignore), brute(scene) {}
  engine::traceable_scene scene;
  embree_tracer embree;
  brute_force_tracer brute;
  std::vector<const ray_tracer*> all() const { return {&embree, &brute}; }
};

engine::affine_transform translate_scale_rotate_z(const vec3& t, const vec3& s, double degrees) {
  const double a = degrees * engine::pi / 180, c = std::cos(a), n = std::sin(a);
  engine::affine_transform m;
  // rotation about z after a scale: R * S
  m.m[0][0] = c * s.x;
  m.m[0][1] = -n * s.y;
  m.m[0][2] = 0;
  m.m[1][0] = n * s.x;
  m.m[1][1] = c * s.y;
  m.m[1][2] = 0;
  m.m[2][0] = 0;
  m.m[2][1] = 0;
  m.m[2][2] = s.z;
  m.m[0][3] = t.x;
  m.m[1][3] = t.y;
  m.m[2][3] = t.z;
  return m;
}

}  // namespace

TEST(RuntimeGeometry, TrianglesAreHitWhereTheRayMeetsTheirPlane) {
  engine::traceable_scene s = empty_scene();
  s.shapes.push_back(square_z(0.0, 1.0, 0, true));
  tracers t(s);
  for (const ray_tracer* tracer : t.all()) {
    auto hit = tracer->intersect({{0.3, -0.2, 5}, {0, 0, -1}});
    ASSERT_TRUE(hit);
    EXPECT_NEAR(hit->t, 5.0, 1e-5);
    const engine::surface_hit surface =
        engine::resolve_hit(t.scene, {{0.3, -0.2, 5}, {0, 0, -1}}, *hit);
    EXPECT_NEAR(surface.position.x, 0.3, 1e-6);
    EXPECT_NEAR(surface.position.y, -0.2, 1e-6);
    EXPECT_NEAR(surface.position.z, 0.0, 1e-12);
    // Just outside the square, and a hit beyond t_max, are misses.
    EXPECT_FALSE(tracer->intersect({{1.01, 0, 5}, {0, 0, -1}}));
    EXPECT_FALSE(tracer->intersect({{0, 0, 5}, {0, 0, -1}, 0, 4.9}));
    // A ray that starts past the surface does not see it behind it.
    EXPECT_FALSE(tracer->intersect({{0, 0, -1}, {0, 0, -1}}));
    EXPECT_TRUE(tracer->occluded({{0, 0, 5}, {0, 0, -1}, 0, 5.1}));
    EXPECT_FALSE(tracer->occluded({{0, 0, 5}, {0, 0, -1}, 0, 4.9}));
  }
}

TEST(RuntimeGeometry, SpheresGiveTheNearRootAndFromInsideTheFarOne) {
  engine::traceable_scene s = empty_scene();
  s.shapes.push_back(sphere({1, 2, 3}, 2.0, 0));
  tracers t(s);
  for (const ray_tracer* tracer : t.all()) {
    auto outside = tracer->intersect({{1, 2, -7}, {0, 0, 1}});
    ASSERT_TRUE(outside);
    EXPECT_NEAR(outside->t, 8.0, 1e-4);
    auto inside = tracer->intersect({{1, 2, 3}, {0, 1, 0}});
    ASSERT_TRUE(inside);
    EXPECT_NEAR(inside->t, 2.0, 1e-4);
    // Off-centre: the chord at distance 1.2 from the centre enters at sqrt(4 - 1.44) before it.
    auto chord = tracer->intersect({{2.2, 2, -7}, {0, 0, 1}});
    ASSERT_TRUE(chord);
    EXPECT_NEAR(chord->t, 10.0 - std::sqrt(4 - 1.44), 1e-4);
    EXPECT_FALSE(tracer->intersect({{3.01, 2, -7}, {0, 0, 1}}));
  }
}

TEST(RuntimeGeometry, InstancesPlaceTheirObjectAndTransformNormals) {
  engine::traceable_scene s = empty_scene();
  engine::scene_object object;
  object.shapes.push_back(sphere({0, 0, 0}, 1.0, 0));
  object.shapes.push_back(square_z(-3.0, 1.0, 0, true));
  s.objects.push_back(object);
  // Stretched 2x along x, rotated 90 degrees about z (the stretch ends up along y), moved.
  s.instances.push_back(place(0, translate_scale_rotate_z({10, 0, 0}, {2, 1, 1}, 90)));
  s.instances.push_back(place(0, translate_scale_rotate_z({-10, 0, 0}, {1, 1, 1}, 0)));
  tracers t(s);
  for (const ray_tracer* tracer : t.all()) {
    // The ellipsoid's semi-axis along world y is 2.
    auto along_y = tracer->intersect({{10, -10, 0}, {0, 1, 0}});
    ASSERT_TRUE(along_y);
    EXPECT_EQ(along_y->instance, 0);
    EXPECT_EQ(along_y->shape, 0u);
    EXPECT_NEAR(along_y->t, 8.0, 1e-4);
    auto along_x = tracer->intersect({{0, 0, 0}, {1, 0, 0}});
    ASSERT_TRUE(along_x);
    EXPECT_EQ(along_x->instance, 0);  // the sphere at x = -10 lies behind
    EXPECT_NEAR(along_x->t, 9.0, 1e-4);

    // On the ellipsoid x^2/1 + y^2/4 + z^2 = 1 (around the centre), the normal is proportional
    // to (x, y / 4, z).
    const ray_query q{{10 + 0.6, -10, 0}, {0, 1, 0}};
    auto hit = tracer->intersect(q);
    ASSERT_TRUE(hit);
    const engine::surface_hit surface = engine::resolve_hit(t.scene, q, *hit);
    const double y = -2 * std::sqrt(1 - 0.36);
    EXPECT_NEAR(surface.position.x, 10.6, 1e-5);
    EXPECT_NEAR(surface.position.y, y, 1e-4);
    const vec3 expected = engine::normalize({0.6, y / 4, 0});
    EXPECT_NEAR(engine::dot(surface.geometric_normal, expected), 1.0, 1e-6);

    // The instanced square sits at z = -3; this ray passes beside the sphere.
    auto square = tracer->intersect({{-10.95, 0.95, 0}, {0, 0, -1}});
    ASSERT_TRUE(square);
    EXPECT_EQ(square->instance, 1);
    EXPECT_EQ(square->shape, 1u);
    EXPECT_NEAR(square->t, 3.0, 1e-5);
  }
}

TEST(RuntimeGeometry, EmbreeAgreesWithBruteForceOnRandomRays) {
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
    if (a.has_value() != b.has_value()) {
      ++mismatches;
      continue;
    }
    if (!a) continue;
    ++hits;
    if (a->instance != b->instance || a->shape != b->shape || a->primitive != b->primitive ||
        std::abs(a->t - b->t) > 1e-4 * std::max(1.0, b->t)) {
      ++mismatches;
    }
    EXPECT_EQ(t.embree.occluded(q), true);
  }
  EXPECT_GT(hits, rays / 5);
  // Float and double arithmetic may disagree only for rays that graze an edge.
  EXPECT_LE(mismatches, rays / 500);
}

TEST(RuntimeGeometry, SurfaceNormalsFollowTheWindingRuleAndFlips) {
  engine::traceable_scene s = empty_scene();
  s.shapes.push_back(square_z(0.0, 1.0, 0, true));  // wound for +z
  engine::shape flipped = square_z(5.0, 1.0, 0, true);
  flipped.flip_normal = true;
  s.shapes.push_back(flipped);
  engine::shape with_normals = square_z(10.0, 1.0, 0, true);
  with_normals.mesh.normals.assign(4, {0.0f, 0.6f, -0.8f});  // points below: the face turns
  s.shapes.push_back(with_normals);
  engine::shape inward = sphere({0, 0, 20}, 1.0, 0);
  inward.flip_normal = true;
  s.shapes.push_back(inward);
  engine::brute_force_tracer tracer(s);

  auto normal_from_above = [&](double z) {
    const ray_query q{{0.1, 0.1, z + 1}, {0, 0, -1}};
    auto hit = tracer.intersect(q);
    EXPECT_TRUE(hit);
    return engine::resolve_hit(s, q, *hit);
  };
  EXPECT_NEAR(normal_from_above(0).geometric_normal.z, 1.0, 1e-12);
  EXPECT_NEAR(normal_from_above(5).geometric_normal.z, -1.0, 1e-12);
  const engine::surface_hit shaded = normal_from_above(10);
  EXPECT_NEAR(shaded.geometric_normal.z, -1.0, 1e-12);
  EXPECT_NEAR(shaded.shading_normal.y, 0.6, 1e-6);
  EXPECT_NEAR(shaded.shading_normal.z, -0.8, 1e-6);

  const ray_query into_sphere{{0, 0, 22}, {0, 0, -1}};
  auto hit = tracer.intersect(into_sphere);
  ASSERT_TRUE(hit);
  const engine::surface_hit surface = engine::resolve_hit(s, into_sphere, *hit);
  EXPECT_NEAR(surface.position.z, 21.0, 1e-9);
  EXPECT_NEAR(surface.geometric_normal.z, -1.0, 1e-9);  // inwards
}
