#include <cmath>
#include <cstring>

#include "tests/module/point_tree_test.h"

namespace {

using progressive_update_test = point_tree_test;

// A point inside the default band [0.5, 6) with the given photons so far and in this pass.
measurement_point gathering_point(float radius, float photon_count, int pass_photons) {
  measurement_point p = make_point(0, 0, 0, radius);
  p.min_radius = 0.5f;
  p.photon_count = photon_count;
  p.pass_photons = pass_photons;
  return p;
}

TEST_F(progressive_update_test, point_without_photons_only_adds_its_squared_luminance) {
  std::vector<measurement_point> points{gathering_point(2, 30, 0)};
  measurement_point& p = points[0];
  p.radiance[0] = 1, p.radiance[1] = 2, p.radiance[2] = 3;
  p.pass_flux[0] = p.offset_sum[1] = p.variance_sum = 5;
  measurement_point expected = p;
  expected.variance_sum = 41;
  ppm_tree& tree = build(points);
  tree.radius_ratio = 12;
  tree.progressive_update(4, false, 0.5f, 0.999f);
  EXPECT_EQ(std::memcmp(&p, &expected, sizeof p), 0);
}

TEST_F(progressive_update_test, young_point_folds_its_flux_and_shrinks_by_the_photon_count_rule) {
  std::vector<measurement_point> points{gathering_point(2, 0, 10)};
  measurement_point& p = points[0];
  p.radiance[0] = p.radiance[1] = p.radiance[2] = 1;
  p.pass_flux[0] = 8, p.pass_flux[1] = 16, p.pass_flux[2] = 24;
  p.offset_sum[0] = 1, p.offset_sum[1] = -2;
  p.variance_sum = 10;
  ppm_tree& tree = build(points);
  tree.radius_ratio = 12;
  tree.progressive_update(3, false, 0.5f, 0.999f);

  // g = 0.5 / 2^2; the pass estimate 6 x 3 passes deviates by 15 from the old luminance 3.
  EXPECT_EQ(std::vector<float>(p.radiance, p.radiance + 3), (std::vector<float>{2, 3, 4}));
  EXPECT_EQ(p.variance_sum, 235.0f);
  EXPECT_FLOAT_EQ(p.radius, 2 * std::sqrt(0.999f));
  EXPECT_NEAR(p.photon_count, 9.99f, 1e-5f);
  EXPECT_NEAR(p.offset_sum[0], 0.999f, 1e-6f);
  EXPECT_NEAR(p.offset_sum[1], -1.998f, 1e-6f);
  EXPECT_EQ(p.pass_photons, 0);
  EXPECT_EQ(p.pass_flux[2], 24.0f);  // cleared by the next pass, not here
}

TEST_F(progressive_update_test, points_past_sixteen_photons_scale_by_offsets_and_variance) {
  std::vector<measurement_point> points{gathering_point(1, 16, 4), gathering_point(1, 16.5f, 4),
                                        gathering_point(1, 100, 4), gathering_point(1, 100, 4)};
  for (measurement_point& p : points) p.pass_flux[0] = 1;
  points[2].offset_sum[0] = 100;  // q far above its limit 2
  points[3].variance_sum = 100;   // v = 0.2 x 10 / (3 x 1)
  points[3].radiance[0] = points[3].radiance[1] = points[3].radiance[2] = 1;
  ppm_tree& tree = build(points);
  tree.radius_ratio = 12;
  tree.progressive_update(1, false, 1e-3f, 0.5f);

  EXPECT_FLOAT_EQ(points[0].radius, std::sqrt(18.0f / 20.0f));
  EXPECT_FLOAT_EQ(points[0].photon_count, 18);
  EXPECT_EQ(points[1].radius, 1.0f);
  EXPECT_EQ(points[1].photon_count, 20.5f);
  EXPECT_FLOAT_EQ(points[2].radius, std::pow(0.8f, 1.0f / 6));
  EXPECT_FLOAT_EQ(points[2].offset_sum[0], 100 * std::pow(0.8f, 1.0f / 3));
  EXPECT_FLOAT_EQ(points[3].radius, std::pow(1 + 2.0f / 3, 1.0f / 6));
}

TEST_F(progressive_update_test,
       offset_statistic_is_formed_in_double_and_flux_scale_uses_1_over_r2) {
  // Inputs where single-precision products would give another radius and another radiance.
  const float r = 0x1.26d09p-1f, s = static_cast<float>(0.10132118364233779);
  std::vector<measurement_point> points{gathering_point(r, 64, 18),
                                        gathering_point(0x1.0000c2p-1f, 0, 1)};
  points[0].min_radius = 0.01f;
  points[0].offset_sum[0] = -0x1.7b883cp+2f;  // |S|^2 = sx^2 + sy^2 below
  points[0].offset_sum[1] = 0x1.c85fbap+1f;
  points[1].pass_flux[0] = 1;
  ppm_tree& tree = build(points);
  tree.radius_ratio = 1000;
  tree.progressive_update(0, false, s, 0.999f);

  const float sx = -0x1.7b883cp+2f, sy = 0x1.c85fbap+1f, s2 = sx * sx + sy * sy;
  auto radius_for = [r](float q) { return r * powf(1.0f - 0.05f * (q * q), 1.0f / 6.0f); };
  const double q = double(s2) * 0.3183098861837907 * double(1.0f / (r * r)) * double(1.0f / 82.0f);
  const float single_q = s2 * 0.31830987f * (1.0f / (r * r)) * (1.0f / 82.0f);
  EXPECT_NE(radius_for(float(q)), radius_for(single_q));
  EXPECT_EQ(points[0].radius, radius_for(float(q)));

  const float r1 = 0x1.0000c2p-1f;
  EXPECT_NE(s * (1.0f / (r1 * r1)), s / (r1 * r1));
  EXPECT_EQ(points[1].radiance[0], s * (1.0f / (r1 * r1)));
}

TEST_F(progressive_update_test, radius_band_includes_its_lower_bound_and_excludes_its_upper) {
  // alpha 0.25 halves the radius of a fresh point exactly: 2 becomes 1.
  std::vector<measurement_point> points{gathering_point(2, 0, 1), gathering_point(2, 0, 1),
                                        gathering_point(0, 0, 3)};
  points[0].min_radius = 1;  // band [1, 2): 1 accepted
  for (measurement_point& p : points) p.offset_sum[0] = 4, p.pass_flux[0] = 8;
  ppm_tree& tree = build(points);
  tree.radius_ratio = 2;  // the second point's band is [0.5, 1)
  tree.progressive_update(0, false, 1, 0.25f);

  EXPECT_EQ(points[0].radius, 1.0f);
  EXPECT_EQ(points[0].photon_count, 0.25f);
  EXPECT_EQ(points[0].offset_sum[0], 1.0f);
  EXPECT_EQ(points[1].radius, 2.0f);
  EXPECT_EQ(points[1].photon_count, 0.0f);
  EXPECT_EQ(points[1].offset_sum[0], 4.0f);
  EXPECT_EQ(points[1].radiance[0], 2.0f);
  EXPECT_EQ(points[1].pass_photons, 0);
  // A point of zero radius keeps a finite estimate.
  EXPECT_EQ(points[2].radiance[0], 0.0f);
  EXPECT_EQ(points[2].pass_photons, 0);
}

TEST_F(progressive_update_test, outliers_above_fifty_times_the_mean_channel_are_cleared) {
  // 50 points whose channels sum to 300 after the update: the limit is 300 / 150 x 50 = 100.
  for (bool above : {false, true}) {
    start_over();
    std::vector<measurement_point> points(50, gathering_point(1, 0, 0));
    points[0].radiance[0] = points[0].radiance[1] = points[0].radiance[2] = 50;
    points[1].pass_photons = 1;
    points[1].pass_flux[0] = 50;  // becomes radiance in this update
    points[49].radiance[1] = above ? std::nextafter(100.0f, 200.0f) : 100.0f;
    ppm_tree& tree = build(points);
    tree.radius_ratio = 12;
    tree.progressive_update(0, true, 1, 0.999f);

    std::vector<std::string> expected{"Max radiance = 100\n"};
    if (above) expected.push_back("Got radiance 0 100 0 > 100\n");
    EXPECT_EQ(host().texts(), expected);
    EXPECT_EQ(points[49].radiance[1], above ? 0.0f : 100.0f);
    EXPECT_EQ(points[0].radiance[2], 50.0f);
  }
  std::vector<measurement_point> none;
  build(none).progressive_update(0, true, 1, 0.999f);
  EXPECT_EQ(host().texts().size(), 2u);
}

}  // namespace
