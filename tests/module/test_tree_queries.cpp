#include <cmath>
#include <random>
#include <thread>

#include "photons/photon_records.h"
#include "tests/module/point_tree_test.h"

namespace {

using tree_query_test = point_tree_test;

photon_query make_photon(float x, float y, float z, uint32_t* counter) {
  photon_query q{};
  q.position[0] = x;
  q.position[1] = y;
  q.position[2] = z;
  q.normal[2] = 1.0f;
  q.direction[2] = -1.0f;
  q.flux[0] = q.flux[1] = q.flux[2] = 1.0f;
  q.count = 1;
  q.hit_counter = counter;
  return q;
}

TEST_F(tree_query_test, deposit_reaches_exactly_the_points_a_full_scan_finds) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<measurement_point> points;
  for (int i = 0; i < 2000; ++i) {
    points.push_back(make_point(unit(rng), unit(rng), 0.2f * unit(rng), 0.01f + 0.1f * unit(rng)));
  }
  ppm_tree& tree = build(points);
  std::vector<int> expected(points.size(), 0);
  uint32_t hits = 0, expected_hits = 0;
  for (int k = 0; k < 3000; ++k) {
    const photon_query q = make_photon(1.2f * unit(rng) - 0.1f, 1.2f * unit(rng) - 0.1f,
                                       0.4f * unit(rng) - 0.1f, &hits);
    tree.deposit(tree.root, q);
    for (size_t i = 0; i < points.size(); ++i) {
      float d2 = 0.0f;
      for (int a = 0; a < 3; ++a) {
        const float d = q.position[a] - points[i].position[a];
        d2 += d * d;
      }
      if (d2 <= points[i].radius * points[i].radius) ++expected[i], ++expected_hits;
    }
  }
  EXPECT_GT(expected_hits, 1000u);
  EXPECT_EQ(hits, expected_hits);
  for (size_t i = 0; i < points.size(); ++i) ASSERT_EQ(points[i].pass_photons, expected[i]) << i;
}

TEST_F(tree_query_test, accepted_photon_adds_count_flux_times_reflectance_and_offset) {
  std::vector<measurement_point> points{make_point(1, 2, 3, 1), make_point(1, 2, 3.5f, 1)};
  points[0].reflectance[0] = 0.5f;
  points[0].reflectance[1] = 0.25f;
  points[0].reflectance[2] = 2.0f;
  ppm_tree& tree = build(points);
  uint32_t hits = 0;
  photon_query q = make_photon(1.5f, 2, 2.75f, &hits);
  q.flux[0] = 2;
  q.flux[1] = 4;
  q.count = 3;
  tree.deposit(tree.root, q);
  tree.deposit(tree.root, q);
  EXPECT_EQ(hits, 4u);
  const measurement_point& p = points[0];
  EXPECT_EQ(p.pass_photons, 6);
  EXPECT_EQ(std::vector<float>(p.pass_flux, p.pass_flux + 3), (std::vector<float>{2, 2, 4}));
  EXPECT_EQ(std::vector<float>(p.offset_sum, p.offset_sum + 3), (std::vector<float>{1, 0, -0.5f}));
  EXPECT_EQ(p.lock, 0u);
}

TEST_F(tree_query_test, sphere_height_and_corner_tests_decide_acceptance) {
  std::vector<measurement_point> points{make_point(0, 0, 0, 1), make_point(5, 0, 0, 0.3f),
                                        make_point(0, 5, 0, 0.5f)};
  ppm_tree& tree = build(points);
  const float up = std::nextafter(1.0f, 2.0f);
  const float h3 = 0.4f * 0.3f;
  struct photon_case {
    const char* what;
    float position[3];
    float normal[3];
    float direction[3];
    uint32_t orient;
    bool accepted;
  } cases[] = {
      {"exactly on the sphere", {1, 0, 0}, {0, 0, 1}, {0, 0, 1}, 0, true},
      {"just outside", {up, 0, 0}, {0, 0, 1}, {0, 0, -1}, 0, false},
      {"on the sphere at the tree's box", {0, 5.5f, 0}, {0, 0, 1}, {0, 0, -1}, 0, true},
      {"from behind the surface", {0, 0, 0}, {0, 0, 1}, {0, 0.1f, 1}, 1, false},
      {"height 0.4 r", {0, 0, 0.4f}, {0, 0, 1}, {0, 0, -1}, 1, true},
      {"just above 0.4 r", {0, 0, std::nextafter(0.4f, 1.0f)}, {0, 0, 1}, {0, 0, -1}, 1, false},
      {"height 0.4 r, r 0.3", {5, 0, h3}, {0, 0, 1}, {0, 0, -1}, 1, true},
      {"above, r 0.3", {5, 0, std::nextafter(h3, 1.0f)}, {0, 0, 1}, {0, 0, -1}, 1, false},
      {"normals at 60 degrees", {0.1f, 0, 0}, {std::sqrt(0.75f), 0, 0.5f}, {0, 0, -1}, 1, true},
      {"just over 60", {0.1f, 0, 0}, {std::sqrt(0.75f), 0, 0.4999999f}, {0, 0, -1}, 1, false},
      {"corner, both in front", {-0.1f, 0, 0}, {1, 0, 0}, {0, 0, -1}, 1, true},
      {"corner, point behind", {2e-5f, 0, 0}, {1, 0, 0}, {0, 0, -1}, 1, false},
      {"corner, point on limit", {1e-5f, 0, 0}, {1, 0, 0}, {0, 0, -1}, 1, true},
      {"corner, photon on limit", {-0.1f, 0, -1e-5f}, {1, 0, 0}, {0, 0, -1}, 1, true},
      {"corner, photon below", {-0.1f, 0, -2e-5f}, {1, 0, 0}, {0, 0, -1}, 1, false},
  };
  for (const photon_case& c : cases) {
    uint32_t hits = 0;
    photon_query q = make_photon(0, 0, 0, &hits);
    for (int a = 0; a < 3; ++a) {
      q.position[a] = c.position[a];
      q.normal[a] = c.normal[a];
      q.direction[a] = c.direction[a];
    }
    q.orient = c.orient;
    tree.deposit(tree.root, q);
    EXPECT_EQ(hits, c.accepted ? 1u : 0u) << c.what;
  }
  // A photon exactly on the sphere is gathered, but the sphere does not cover it.
  const float up_normal[3] = {0, 0, 1}, side[3] = {1, 0, 0}, down[3] = {0, 0, -1};
  const float on_sphere[3] = {1, 0, 0}, inside[3] = {0.5f, 0, 0};
  EXPECT_FALSE(tree.covers(on_sphere, up_normal));
  EXPECT_TRUE(tree.covers(inside, up_normal));
  EXPECT_FALSE(tree.covers(inside, side));
  EXPECT_FALSE(tree.covers(inside, down));
}

TEST_F(tree_query_test, concurrent_deposits_into_shared_points_lose_nothing) {
  std::vector<measurement_point> points;
  for (int i = 0; i < 40; ++i) points.push_back(make_point(0.01f * float(i % 4), 0, 0, 1));
  for (measurement_point& p : points) p.reflectance[0] = p.reflectance[1] = p.reflectance[2] = 0.5f;
  ppm_tree& tree = build(points);
  constexpr int threads = 4, photons = 20000;
  std::vector<uint32_t> hits(threads, 0);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&tree, &hits, t] {
      photon_query q = make_photon(0.25f, 0, 0, &hits[t]);
      q.flux[1] = 2.0f;
      for (int k = 0; k < photons; ++k) tree.deposit(tree.root, q);
    });
  }
  for (std::thread& w : workers) w.join();
  for (uint32_t h : hits) EXPECT_EQ(h, 40u * photons);
  const measurement_point& p = points[0];
  EXPECT_EQ(p.pass_photons, threads * photons);
  EXPECT_EQ(p.pass_flux[0], 0.5f * threads * photons);
  EXPECT_EQ(p.pass_flux[1], 1.0f * threads * photons);
  EXPECT_EQ(p.offset_sum[0], 0.25f * threads * photons);
  EXPECT_EQ(p.lock, 0u);
}

TEST_F(tree_query_test, lookup_answers_with_the_last_leaf_whose_box_holds_the_position) {
  // Two leaves split on x at 0.95; the wide sphere at 0.9 stretches the first leaf's box over
  // part of the second's.
  std::vector<measurement_point> points;
  for (int i = 0; i < 10; ++i) points.push_back(make_point(0.1f * float(i), 0, 0, 0.05f));
  for (int i = 0; i < 10; ++i) points.push_back(make_point(1.0f + 0.1f * float(i), 0, 0, 0.05f));
  points[9].radius = 0.5f;
  for (int i = 0; i < 10; ++i) {
    points[i].radiance[0] = float(i);
    points[10 + i].radiance[1] = float(2 * i);
    points[10 + i].radiance[2] = 3.0f;
  }
  ppm_tree& tree = build(points);
  ASSERT_NE(tree.root->children, nullptr);
  ASSERT_EQ(tree.root->children[0].count, 10u);

  auto radiance_at = [&tree](double x, double y) {
    qorRay ray{};
    ray.hit_position[0] = x;
    ray.hit_position[1] = y;
    std::vector<float> out(3, -1.0f);
    tree.lookup_radiance(ray, out.data());
    return out;
  };
  EXPECT_EQ(radiance_at(1.2, 0), (std::vector<float>{0, 9, 3}));     // both leaves: the second
  EXPECT_EQ(radiance_at(0.5, 0), (std::vector<float>{4.5f, 0, 0}));  // the first leaf only
  EXPECT_EQ(radiance_at(1.2, 0.3), (std::vector<float>{4.5f, 0, 0}));
  EXPECT_EQ(radiance_at(5.0, 0), (std::vector<float>{0, 0, 0}));

  float kept[3] = {7, 7, 7};
  const float outside[3] = {5, 0, 0};
  tree.lookup(tree.root, outside, kept);
  EXPECT_EQ(kept[0], 7.0f);
}

TEST_F(tree_query_test, path_buffer_lies_at_the_storage_slot_of_the_rays_thread) {
  std::vector<measurement_point> points(2, make_point(0, 0, 0, 1));
  ppm_tree& first = build(points);
  ppm_tree& second = build(points);
  first.set_tls_slot(576);
  second.set_tls_slot(576);
  qorRay ray{};
  ray.thread = &host().thread(1);
  photon_path_buffer& buffer = first.path_buffer(ray);
  EXPECT_EQ(reinterpret_cast<char*>(&buffer), reinterpret_cast<char*>(ray.thread) + 576);
  EXPECT_EQ(&second.path_buffer(ray), &buffer);

  buffer.hit_count = 5;
  buffer.reuse_count = 7;
  buffer.path_deposits = 9;
  buffer.flush_pending = 1;
  second.clear_path_buffer(ray);
  EXPECT_EQ(buffer.hit_count, 0u);
  EXPECT_EQ(buffer.reuse_count, 0u);
  EXPECT_EQ(buffer.path_deposits, 9u);
  EXPECT_EQ(buffer.flush_pending, 1);
  first.count_path_reuse(ray);
  second.count_path_reuse(ray);
  EXPECT_EQ(buffer.reuse_count, 2u);
  EXPECT_EQ(buffer.hit_count, 0u);
}

}  // namespace
