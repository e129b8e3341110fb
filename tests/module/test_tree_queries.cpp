#include <cmath>
#include <random>
#include <thread>

#include "photons/photon_records.h"
#include "tests/module/point_tree_test.h"

namespace {

using tree_query_test = point_tree_test;

// A photon falling straight down onto a floor, with the orientation tests off.
photon_query make_photon(float x, float y, float z, uint32_t* counter) {
  return {{x, y, z}, {0, 0, 1}, {0, 0, -1}, {1, 1, 1}, 1, 0, counter};
}

TEST_F(tree_query_test, deposit_reaches_exactly_the_points_a_full_scan_finds) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<measurement_point> points;
  for (int i = 0; i < 2000; ++i)
    points.push_back(make_point(unit(rng), unit(rng), 0.2f * unit(rng), 0.01f + 0.1f * unit(rng)));
  ppm_tree& tree = build(points);
  std::vector<int> expected(points.size(), 0);
  uint32_t hits = 0, expected_hits = 0;
  for (int k = 0; k < 3000; ++k) {
    const float x = 1.2f * unit(rng) - 0.1f, y = 1.2f * unit(rng) - 0.1f,
                z = 0.4f * unit(rng) - 0.1f;
    tree.deposit(tree.root, make_photon(x, y, z, &hits));
    for (size_t i = 0; i < points.size(); ++i) {
      const float* c = points[i].position;
      const float d2 = (x - c[0]) * (x - c[0]) + (y - c[1]) * (y - c[1]) + (z - c[2]) * (z - c[2]);
      if (d2 <= points[i].radius * points[i].radius) ++expected[i], ++expected_hits;
    }
  }
  EXPECT_GT(expected_hits, 1000u);
  EXPECT_EQ(hits, expected_hits);
  for (size_t i = 0; i < points.size(); ++i) ASSERT_EQ(points[i].pass_photons, expected[i]) << i;
}

TEST_F(tree_query_test, sphere_height_and_corner_tests_decide_acceptance) {
  // Floors facing +z at the origin (radius 1) and at x = 5 (radius 0.3); a point at y = 5 whose
  // sphere reaches the tree's box.
  std::vector<measurement_point> points{make_point(0, 0, 0, 1), make_point(5, 0, 0, 0.3f),
                                        make_point(0, 5, 0, 0.5f)};
  ppm_tree& tree = build(points);
  const float h3 = 0.4f * 0.3f, c60 = std::sqrt(0.75f);
  struct {
    const char* what;
    float position[3], normal[3], direction[3];
    uint32_t orient;
    bool accepted;
  } cases[] = {
      {"on the sphere", {1, 0, 0}, {0, 0, 1}, {0, 0, 1}, 0, true},
      {"just outside", {std::nextafter(1.0f, 2.0f), 0, 0}, {0, 0, 1}, {0, 0, -1}, 0, false},
      {"on the sphere at the box", {0, 5.5f, 0}, {0, 0, 1}, {0, 0, -1}, 0, true},
      {"from behind the surface", {0, 0, 0}, {0, 0, 1}, {0, 0.1f, 1}, 1, false},
      {"height 0.4 r", {0, 0, 0.4f}, {0, 0, 1}, {0, 0, -1}, 1, true},
      {"just above 0.4 r", {0, 0, std::nextafter(0.4f, 1.0f)}, {0, 0, 1}, {0, 0, -1}, 1, false},
      {"height 0.4 r, r 0.3", {5, 0, h3}, {0, 0, 1}, {0, 0, -1}, 1, true},
      {"above, r 0.3", {5, 0, std::nextafter(h3, 1.0f)}, {0, 0, 1}, {0, 0, -1}, 1, false},
      {"normals at 60 degrees", {0.1f, 0, 0}, {c60, 0, 0.5f}, {0, 0, -1}, 1, true},
      {"just over 60", {0.1f, 0, 0}, {c60, 0, 0.4999999f}, {0, 0, -1}, 1, false},
      {"corner, both in front", {-0.1f, 0, 0}, {1, 0, 0}, {0, 0, -1}, 1, true},
      {"corner, point behind", {2e-5f, 0, 0}, {1, 0, 0}, {0, 0, -1}, 1, false},
      {"corner, point on limit", {1e-5f, 0, 0}, {1, 0, 0}, {0, 0, -1}, 1, true},
      {"corner, photon on limit", {-0.1f, 0, -1e-5f}, {1, 0, 0}, {0, 0, -1}, 1, true},
      {"corner, photon below", {-0.1f, 0, -2e-5f}, {1, 0, 0}, {0, 0, -1}, 1, false},
  };
  for (const auto& c : cases) {
    uint32_t hits = 0;
    photon_query q = make_photon(0, 0, 0, &hits);
    std::copy(c.position, c.position + 3, q.position);
    std::copy(c.normal, c.normal + 3, q.normal);
    std::copy(c.direction, c.direction + 3, q.direction);
    q.orient = c.orient;
    tree.deposit(tree.root, q);
    EXPECT_EQ(hits, c.accepted ? 1u : 0u) << c.what;
  }
  // The sphere covers strictly inside positions only, for normals on the point's side.
  const float up[3] = {0, 0, 1}, side[3] = {1, 0, 0}, on_sphere[3] = {1, 0, 0},
              inside[3] = {0.5f, 0, 0};
  EXPECT_TRUE(tree.covers(inside, up));
  EXPECT_FALSE(tree.covers(on_sphere, up));
  EXPECT_FALSE(tree.covers(inside, side));
}

TEST_F(tree_query_test, concurrent_deposits_into_shared_points_lose_nothing) {
  std::vector<measurement_point> points;
  for (int i = 0; i < 40; ++i) points.push_back(make_point(0.01f * float(i % 4), 0, 0, 1));
  points[0].reflectance[0] = 0.5f, points[0].reflectance[1] = 0.25f;
  ppm_tree& tree = build(points);
  constexpr int threads = 4, photons = 20000, total = threads * photons;
  std::vector<uint32_t> hits(threads, 0);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&tree, &hits, t] {
      photon_query q = make_photon(0.25f, 0, -0.5f, &hits[t]);
      q.flux[1] = 2, q.flux[2] = 3, q.count = 2;
      for (int k = 0; k < photons; ++k) tree.deposit(tree.root, q);
    });
  }
  for (std::thread& w : workers) w.join();
  for (uint32_t h : hits) EXPECT_EQ(h, 40u * photons);
  const measurement_point& p = points[0];
  EXPECT_EQ(p.pass_photons, 2 * total);
  EXPECT_EQ(rgb(p.pass_flux), (std::vector<float>{0.5f * total, 0.5f * total, 3.0f * total}));
  EXPECT_EQ(rgb(p.offset_sum), (std::vector<float>{0.25f * total, 0, -0.5f * total}));
  EXPECT_EQ(p.lock, 0u);
}

TEST_F(tree_query_test, lookup_answers_with_the_last_leaf_whose_box_holds_the_position) {
  // Two leaves split on x at 0.95; the wide sphere at 0.9 stretches the first leaf's box over
  // part of the second's.
  std::vector<measurement_point> points;
  for (int i = 0; i < 20; ++i) {
    points.push_back(make_point((i < 10 ? 0.0f : 1.0f) + 0.1f * float(i % 10), 0, 0, 0.05f));
    points.back().radiance[i < 10 ? 0 : 1] = float(i % 10);
  }
  points[9].radius = 0.5f;
  ppm_tree& tree = build(points);
  ASSERT_EQ(tree.root->children[0].count, 10u);
  auto radiance_at = [&tree](double x, double y) {
    qorRay ray{};
    ray.hit_position[0] = x, ray.hit_position[1] = y;
    std::vector<float> out(3, -1.0f);
    tree.lookup_radiance(ray, out.data());
    return out;
  };
  EXPECT_EQ(radiance_at(1.2, 0), (std::vector<float>{0, 4.5f, 0}));  // both leaves: the second
  EXPECT_EQ(radiance_at(0.5, 0), (std::vector<float>{4.5f, 0, 0}));
  EXPECT_EQ(radiance_at(1.2, 0.3), (std::vector<float>{4.5f, 0, 0}));
  EXPECT_EQ(radiance_at(5.0, 0), (std::vector<float>{0, 0, 0}));
  std::vector<measurement_point> none;
  qorRay ray{};
  float out[3] = {1, 1, 1};
  build(none).lookup_radiance(ray, out);
  EXPECT_EQ(rgb(out), (std::vector<float>{0, 0, 0}));
}

TEST_F(tree_query_test, path_buffer_lies_at_the_storage_slot_of_the_rays_thread) {
  std::vector<measurement_point> points(2, make_point(0, 0, 0, 1));
  ppm_tree &first = build(points), &second = build(points);
  first.set_tls_slot(576);
  second.set_tls_slot(576);
  qorRay ray{};
  ray.thread = &host().thread(1);
  photon_path_buffer& buffer = first.path_buffer(ray);
  EXPECT_EQ(reinterpret_cast<char*>(&buffer), reinterpret_cast<char*>(ray.thread) + 576);
  buffer = {5, 7, 9, 1, 0, 0, 0, {}};
  second.clear_path_buffer(ray);
  first.count_path_reuse(ray);
  second.count_path_reuse(ray);
  EXPECT_TRUE(buffer.hit_count == 0 && buffer.reuse_count == 2);
  EXPECT_TRUE(buffer.path_deposits == 9 && buffer.flush_pending == 1);  // not part of the clear
}

}  // namespace
