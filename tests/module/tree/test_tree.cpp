#include <cmath>
#include <cstring>
#include <functional>

#include "tests/module/module_test.h"

namespace {

using tree_build = module_test;

// Point sets, the root's split axis (-1: a leaf) and the points left of it. Ties go to x, and a
// centre on the split plane to the left; a wide sphere at 30 puts every centre left of the
// midpoint 30, and the split moves to -20, 5 and 17.5, which leaves 10 .. 17 on the left.
TEST_F(tree_build, nodes_split_at_the_midpoint_of_their_longest_extent_or_bisect_towards_it) {
  const std::tuple<int, std::function<measurement_point(int)>, int, int> cases[] = {
      {17, [](int i) { return make_point(i, 0, 0, 0.5f); }, 0, 9},
      {16, [](int i) { return make_point(i % 2, i / 2 % 2, i / 4 % 2, 0.1f); }, 0, 8},
      {17, [](int i) { return make_point(100 + (i < 4), i, 0, 0.5f); }, 1, 9},
      {16, [](int i) { return make_point(i == 0 ? 30 : i + 9, 0, 0, i ? 0.5f : 100); }, 0, 8},
      {15, [](int i) { return make_point(i, 0, 0, 0.1f); }, -1, 15},
      {40, [](int) { return make_point(1, 2, 3, 0.1f); }, -1, 40}};
  for (const auto& [n, point, axis, left] : cases) {
    std::vector<measurement_point> set;
    for (int i = 0; i < n; ++i) set.push_back(point(i));
    const ppm_tree& tree = tree_over(set);
    ASSERT_TRUE(tree.root != nullptr && (tree.root->children == nullptr) == (axis < 0))
        << n << axis;
    if (axis < 0) continue;
    const ppm_tree_node* child = tree.root->children;
    ASSERT_EQ(child[0].count, uint32_t(left)) << n << " " << axis;
    float left_max = -1e20f, right_min = 1e20f;  // the centres on either side of the split
    for (uint32_t j = 0; j < tree.count; ++j) {
      const float x = set[tree.index[j]].position[axis];
      j < child[0].count ? left_max = std::max(left_max, x) : right_min = std::min(right_min, x);
    }
    EXPECT_TRUE(left_max < right_min && child[1].first == child[0].count) << n << " " << axis;
  }
}

using tree_queries = module_test;

// One path of photons, each beside its own point (5 apart along y, facing +z, radius r); the
// photon lies at (x, 0, z) from its point with the normal (nx, 0, nz), travelling along
// (dx, 0, dz). Taken: on the sphere, not beyond; not from behind the surface, but along it; at
// 0.4 r above the tangent plane, not higher; with normals at 60 degrees, not more; at a corner,
// each on or in front of the other's tangent plane (within 1e-5), not further behind.
TEST_F(tree_queries, a_photon_reaches_the_points_whose_sphere_and_surface_take_it) {
  const float h = 0.4f * 0.3f, k = std::sqrt(0.75f), o = std::nextafter(1.0f, 2.0f),
              v = std::nextafter(h, 1.0f);
  // r, x, z, nx, nz, dx, dz, taken
  const float cases[][8] = {{1, 1, 0, 0, 1, 0, -1, 1},          {1, o, 0, 0, 1, 0, -1, 0},
                            {1, 0, 0, 0, 1, 0, 1, 0},           {1, 0, 0, 0, 1, 1, 0, 1},
                            {1, 0, 0.4f, 0, 1, 0, -1, 1},       {0.3f, 0, h, 0, 1, 0, -1, 1},
                            {0.3f, 0, v, 0, 1, 0, -1, 0},       {1, 0.1f, 0, k, 0.5f, 0, -1, 1},
                            {1, 0.1f, 0, k, 0.4999f, 0, -1, 0}, {1, 1e-5f, 0, 1, 0, 0, -1, 1},
                            {1, 2e-5f, 0, 1, 0, 0, -1, 0},      {1, -0.1f, -2e-5f, 1, 0, 0, -1, 0}};
  std::vector<qorRay> hits;
  for (const auto& c : cases) {
    points.push_back(make_point(0, 5.0f * hits.size(), 0, c[0]));
    hits.push_back(photon_hit(c[1], 5.0 * hits.size(), c[2], {c[3], 0, c[4]}, {c[5], 0, c[6]}));
  }
  // A photon adds the count, the flux times the reflectance and the offset, and nothing else.
  points.push_back(make_point(0, 100, 0, 1));
  set3(points.back().reflectance, 0.5f, 0.25f, 2.0f);
  measurement_point expected = points.back();
  hits.push_back(photon_hit(0.25, 99.5, 0, {0, 0, 1}, {0, 0, -1}, qor_ray_photon, 2));
  create(defaults());
  renderer->point_count = points.size();
  renderer->iteration = 1;
  photon_pass([&](int path) { return path == 0 ? hits : std::vector<qorRay>{}; });
  for (size_t n = 0; n < std::size(cases); ++n) EXPECT_EQ(points[n].pass_photons, cases[n][7]) << n;
  expected.pass_photons = 1;
  set3(expected.pass_flux, 1.0f, 0.5f, 4.0f);
  set3(expected.offset_sum, 0.25f, -0.5f, 0.0f);
  EXPECT_EQ(std::memcmp(&points.back(), &expected, sizeof expected), 0);
}

// Two leaves split on x at 0.95; the wide sphere at 0.9 stretches the first leaf's box over part
// of the second's. A lookup answers the mean radiance of the last leaf holding the position; a
// sphere covers positions strictly inside it, for normals on the point's side.
TEST_F(tree_queries, a_lookup_answers_the_mean_radiance_of_the_last_leaf_holding_the_position) {
  for (int i = 0; i < 20; ++i) {
    points.push_back(make_point((i < 10 ? 0.0f : 1.0f) + 0.1f * float(i % 10), 0, 0, 0.05f));
    points.back().radiance[i < 10 ? 0 : 1] = float(i % 10);
  }
  points[9].radius = 0.5f;
  std::vector<measurement_point> none;
  const ppm_tree &tree = tree_over(points), &empty = tree_over(none);
  ASSERT_TRUE(tree.root != nullptr && tree.root->children != nullptr);
  ASSERT_EQ(tree.root->children[0].count, 10u);
  const float up[3] = {0, 0, 1}, side[3] = {0, 1, 0}, in1[3] = {1.5f, 0, 0};
  EXPECT_TRUE(tree.covers(in1, up) && !tree.covers(in1, side) && !empty.covers(in1, up));
  const double at[5][2] = {{1.2, 0}, {0.5, 0}, {1.2, 0.3}, {5, 0}, {0.5, 0}};
  const floats answers[5] = {{0, 4.5f, 0}, {4.5f, 0, 0}, {4.5f, 0, 0}, {0, 0, 0}, {0, 0, 0}};
  for (int n = 0; n < 5; ++n) {
    qorRay ray{.hit_position = {at[n][0], at[n][1], 0}};
    float out[4] = {-1, -1, -1, -1};
    (n < 4 ? tree : empty).lookup_radiance(ray, out);
    EXPECT_EQ(floats(out, out + 4), (floats{answers[n][0], answers[n][1], answers[n][2], -1})) << n;
  }
}

// Points of radius R with N photons so far and M in this pass, flux (1, 2, 3) and the lower bound
// 0.5, updated by all but the last point, which must stay as it is.
class tree_progressive_update : public module_test {
 protected:
  measurement_point& add(float radius, float photon_count, int pass_photons) {
    measurement_point& p = points.emplace_back(make_point(0, 0, 0, radius));
    p.min_radius = 0.5f, p.photon_count = photon_count, p.pass_photons = pass_photons;
    set3(p.pass_flux, 1.0f, 2.0f, 3.0f);
    return p;
  }
  void update(int iteration, float scale, float alpha, float ratio, bool clamp) {
    const measurement_point last = points.back();
    ppm_tree& tree = tree_over(points);
    tree.count -= 1, tree.radius_ratio = ratio;
    tree.progressive_update(iteration, clamp, scale, alpha);
    EXPECT_EQ(std::memcmp(&points.back(), &last, sizeof last), 0);
  }
};

// At iteration 3 with flux scale 0.5, alpha 0.999 and the radius ratio 12: a young point (N up to
// 16) shrinks by sqrt((N + alpha M) / (N + M)); an older one by (1 - 0.05 q^2 + v)^(1/6), with the
// offset statistic q = |S|^2 / (pi R^2 (N + M)) (at most 2) and v = 0.2 sqrt(V) / (L i + 1e-10).
TEST_F(tree_progressive_update,
       young_points_shrink_by_their_count_and_older_ones_by_their_offsets) {
  points.reserve(8);
  measurement_point& young = add(2, 0, 10);
  set3(young.radiance, 1.0f, 2.0f, 3.0f);
  set3(young.offset_sum, 1.0f, -2.0f, 0.5f);
  young.variance_sum = 10;
  add(1, 16, 4);
  set3(add(2, 30, 0).radiance, 1.0f, 2.0f, 3.0f);  // no photons: only the variance grows, by L^2
  add(1, 16.5f, 4);                                // no offsets and no variance: the radius stays
  set3(add(1, 100, 4).offset_sum, 3.0f, 4.0f, 12.0f);  // |S|^2 = 169
  measurement_point& spread = add(1, 100, 4);
  spread.variance_sum = 100;
  set3(spread.radiance, 1.0f, 1.0f, 1.0f);
  set3(add(1, 100, 4).offset_sum, 30.0f, 40.0f, 0.0f);  // q = 7.7: held at 2
  add(1, 0, 1);
  std::vector<measurement_point> expected = points;
  update(3, 0.5f, 0.999f, 12, false);
  // g = 0.5 / 2^2: the radiance gains (1, 2, 3) / 8; the pass's estimate (6 / 8) x 3 passes
  // deviates by 0.75 x 3 - 6 from the old luminance 6.
  measurement_point& e = expected[0];
  set3(e.radiance, 1.125f, 2.25f, 3.375f);
  e.variance_sum = (0.75f * 3 - 6) * (0.75f * 3 - 6) + 10;
  e.radius = 2 * std::sqrt(0.999f);
  e.photon_count = 10 * ((e.radius * e.radius) / 4);
  for (float& o : e.offset_sum) o *= (e.radius * e.radius) / 4;
  expected[2].variance_sum = 36;
  e.pass_photons = 0;
  EXPECT_TRUE(std::memcmp(&points[0], &e, sizeof e) == 0 &&
              std::memcmp(&points[2], &expected[2], sizeof e) == 0);
  EXPECT_FLOAT_EQ(points[1].radius, std::sqrt((16 + 0.999f * 4) / 20));
  EXPECT_TRUE(points[3].radius == 1 && points[3].photon_count == 20.5f);
  EXPECT_NEAR(points[4].radius, 0.997758, 1e-6);
  EXPECT_FLOAT_EQ(points[5].radius, std::pow(1 + 2.0f / 9, 1.0f / 6));
  EXPECT_FLOAT_EQ(points[6].radius, std::pow(0.8f, 1.0f / 6));
}

TEST_F(tree_progressive_update, the_radius_band_and_the_outlier_limit_include_their_bounds) {
  // alpha 0.25 halves a fresh point's radius: 2 becomes 1. With the ratio 2 the first point's band
  // is [1, 2), which takes it, and the second's [0.5, 1), which does not.
  add(2, 0, 1).min_radius = 1;
  add(2, 0, 1).offset_sum[0] = 4;
  add(0, 0, 0);
  update(0, 1, 0.25f, 2, false);
  EXPECT_TRUE(points[0].radius == 1 && points[0].photon_count == 0.25f);
  EXPECT_TRUE(points[1].radius == 2 && points[1].photon_count == 0 && points[1].offset_sum[0] == 4);
  // 60 points whose channels sum to 360 after the update: the limit is 360 / 180 x 50 = 100. A
  // channel at the limit is kept; one above it clears its point.
  points.assign(61, make_point(0, 0, 0, 1));
  set3(points[0].pass_flux, 50.0f, 0.0f, 0.0f);
  points[0].pass_photons = 1;
  points[1].radiance[1] = 101, points[2].radiance[1] = 100, points[3].radiance[2] = 100;
  points[4].radiance[0] = 9, points[60].radiance[0] = 1000;
  update(0, 1, 0.999f, 12, true);
  EXPECT_EQ(host().texts(), (strings{"Max radiance = 100\n", "Got radiance 0 101 0 > 100\n"}));
  EXPECT_TRUE(points[1].radiance[1] == 0 && points[0].radiance[0] == 50 &&
              points[2].radiance[1] == 100 && points[3].radiance[2] == 100);
}

// A main and a second-set point of radius 1 in the band [0.5, 6), each with flux (1, 0, 0) from
// the pass, refined at the given iteration.
class tree_refine : public module_test {
 protected:
  void refine(int iteration, int point_mode, int refine_mode = 2) {
    if (!renderer->tree) create(defaults());
    renderer->refine_mode = refine_mode, renderer->point_mode = point_mode,
    renderer->iteration = iteration;
    for (std::vector<measurement_point>* set : {&points, &points2}) {
      set->assign(2, make_point(0, 0, 0, 1));
      (*set)[0].min_radius = 0.5f, (*set)[0].pass_photons = 1, (*set)[0].pass_flux[0] = 1;
    }
    renderer->points = points.data(), renderer->points2 = points2.data();
    renderer->point_count = renderer->point2_count = 1;
    if (!renderer->tree) renderer->build_trees(scene(), 0);
    renderer->refine_points(scene());
  }
};

// The flux scale 1 / (pi^2 (i + 1)), in double; times i + 1 for a second set made anew each pass,
// whose outliers are checked. A kept second set is refined in its first three passes only.
TEST_F(tree_refine, the_progressive_update_averages_the_main_set_and_the_kept_second_set) {
  refine(20, 1);
  const float s = static_cast<float>((1.0f / 21.0f) * 0.10132118364233779);
  EXPECT_TRUE(points[0].radiance[0] == s && points2[0].radiance[0] == s * 21.0f &&
              points[0].radius < 1);
  EXPECT_EQ(host().texts(), (strings{"[21] Refining points [2]\n", "Max radiance = 1.68869\n"}));
  for (int i = 0; i < 4; ++i) {
    refine(i, 2);
    EXPECT_EQ(points2[0].radiance[0],
              i <= 2 ? static_cast<float>((1.0f / (i + 1)) * 0.10132118364233779) : 0);
  }
  refine(1, 0);  // one point set: the second tree is left alone
  EXPECT_TRUE(points[0].pass_photons == 0 && points2[0].pass_photons == 1);
  // A photon light of irradiance (4, 8, 12) at the points adds E x reflectance / pi to the main
  // point's mean over the passes.
  renderer->light_irradiance = true;
  renderer->photon_lights = {{{4, 8, 12}, {0, 0, -1}, {0, 0, 0.5f}}};
  refine(1, 0);
  EXPECT_FLOAT_EQ(points[0].light_radiance[2], 12 * 0.5 / M_PI);
}

// The classic update keeps w = 3/4 of the old estimate and offsets and adds the pass's; the
// radius shrinks by sqrt((N + alpha M) / (N + M)) unless it is at its lower bound already.
TEST_F(tree_refine, the_classic_update_rescales_the_main_points_and_keeps_the_lower_bound) {
  refine(3, 1, 1);
  const float s = static_cast<float>(0.25f * 0.10132118364233779);
  EXPECT_TRUE(points[0].radiance[0] == s && points[0].radius == std::sqrt(0.999f) &&
              points2[0].pass_photons == 1);
  for (measurement_point& p : points) {
    p = make_point(0, 0, 0, 1);
    p.radiance[0] = 4, p.offset_sum[2] = 8, p.pass_flux[0] = 1;
    p.min_radius = 0.5f, p.pass_photons = p.photon_count = 4;
  }
  points[0].radius = 0.5f;
  points.push_back(make_point(0, 0, 0, 1));  // no photons yet: only the decay
  renderer->points = points.data(), renderer->point_count = 3;
  renderer->refine_points(scene());
  EXPECT_EQ(points[0].radiance[0], 3.0f + s * 4);
  EXPECT_TRUE(points[0].radius == 0.5f && points[0].photon_count == 4 &&
              points[0].offset_sum[2] == 6);
  EXPECT_EQ(points[1].radius, std::sqrt((4 + 0.999f * 4) / 8));
  EXPECT_TRUE(points[2].radius == 1 && points[2].photon_count == 0);
}

// A photon light adds its power times both cosines over the squared distance, that at least 1,
// when neither lies behind the other's surface (or in its plane) and no blocker lies between.
TEST_F(tree_refine, photon_lights_light_the_points_by_both_cosines_over_the_capped_distance) {
  const float x[3] = {0, 0, 0}, n[3] = {0, 0, 1};
  std::unique_ptr<qorRay> ray(make_ray(0, qor_ray_camera));
  std::vector<qorRay> traced;
  host().intersect = [&traced](qorRay& r) { return traced.push_back(r), r.max_distance > 4.0; };
  const std::pair<photon_light, floats> cases[] = {
      {{{4, 8, 12}, {0, 0, -1}, {0, 0, 0.5f}}, {4, 8, 12}},
      {{{4, 8, 12}, {0, 0, -1}, {0, 0, 2}}, {1, 2, 3}},
      {{{81, 81, 81}, {0, 0, -1}, {1, 2, 2}}, {4, 4, 4}},
      {{{1, 1, 1}, {0, 0, -1}, {0, 0, -2}}, {0, 0, 0}},
      {{{1, 1, 1}, {-1, 0, 0}, {2, 0, 0}}, {0, 0, 0}},
      {{{1, 1, 1}, {0, 0, 1}, {0, 0, 2}}, {0, 0, 0}},
      {{{1, 1, 1}, {1, 0, 0}, {0, 0, 2}}, {0, 0, 0}},
      {{{1, 1, 1}, {0, 0, -1}, {0, 0, 10}}, {0, 0, 0}}};
  for (const auto& [light, out] : cases) {
    renderer->photon_lights = {light};
    float e[3] = {-1, -1, -1};
    renderer->photon_light_irradiance(e, x, n, *ray);
    EXPECT_EQ(rgb(e), out) << light.position[0] << light.position[2];
  }
  ASSERT_EQ(traced.size(), 4u);  // a shadow ray for each light the cosines let through
  EXPECT_EQ(std::vector<double>(traced[2].direction, traced[2].direction + 3),
            (std::vector<double>{1.0 / 3, 2.0 / 3, 2.0 / 3}));
  EXPECT_TRUE(traced[2].max_distance == 3 && traced[2].min_distance == static_cast<double>(1e-5f));
}

}  // namespace
