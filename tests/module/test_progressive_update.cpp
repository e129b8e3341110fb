#include <cmath>
#include <cstring>

#include "tests/module/point_tree_test.h"

namespace {

class progressive_update_test : public point_tree_test {
 protected:
  void SetUp() override {
    point_tree_test::SetUp();
    points.reserve(64);  // add() hands out references that must stay valid
  }

  // Points inside the band [0.5, 6) with flux (1, 0, 0) from this pass.
  measurement_point& add(float radius, float photon_count, int pass_photons) {
    points.push_back(make_point(0, 0, 0, radius));
    measurement_point& p = points.back();
    p.min_radius = 0.5f;
    p.photon_count = photon_count;
    p.pass_photons = pass_photons;
    p.pass_flux[0] = 1;
    return p;
  }
  void update(int iteration, float flux_scale, float alpha, float ratio = 12, bool clamp = false) {
    ppm_tree& tree = build(points);
    tree.radius_ratio = ratio;
    tree.progressive_update(iteration, clamp, flux_scale, alpha);
  }
  std::vector<measurement_point> points;
};

TEST_F(progressive_update_test, point_without_photons_only_adds_its_squared_luminance) {
  measurement_point& p = add(2, 30, 0);
  p.radiance[0] = 1, p.radiance[1] = 2, p.radiance[2] = 3;
  p.offset_sum[1] = p.variance_sum = 5;
  measurement_point expected = p;
  expected.variance_sum = 41;
  update(4, 0.5f, 0.999f);
  EXPECT_EQ(std::memcmp(&p, &expected, sizeof p), 0);
}

TEST_F(progressive_update_test, young_point_folds_its_flux_and_shrinks_by_the_photon_count_rule) {
  measurement_point& p = add(2, 0, 10);
  p.radiance[0] = p.radiance[1] = p.radiance[2] = 1;
  p.pass_flux[0] = 8, p.pass_flux[1] = 16, p.pass_flux[2] = 24;
  p.offset_sum[0] = 1, p.offset_sum[1] = -2;
  p.variance_sum = 10;
  add(1, 16, 4);  // 16 photons so far is still young; an older point would keep its radius
  update(3, 0.5f, 0.999f);

  // g = 0.5 / 2^2; the pass estimate 6 x 3 passes deviates by 15 from the old luminance 3.
  EXPECT_EQ(rgb(p.radiance), (std::vector<float>{2, 3, 4}));
  EXPECT_EQ(p.variance_sum, 235.0f);
  EXPECT_FLOAT_EQ(p.radius, 2 * std::sqrt(0.999f));
  EXPECT_NEAR(p.photon_count, 9.99f, 1e-5f);
  EXPECT_NEAR(p.offset_sum[1], -1.998f, 1e-6f);
  EXPECT_EQ(p.pass_photons, 0);
  EXPECT_EQ(p.pass_flux[2], 24.0f);  // cleared by the next pass, not here
  EXPECT_FLOAT_EQ(points[1].radius, std::sqrt((16 + 0.999f * 4) / 20));
}

TEST_F(progressive_update_test, older_points_scale_by_their_offsets_and_variance) {
  add(1, 16.5f, 4);                    // no offsets, no variance: radius kept
  add(1, 100, 4).offset_sum[0] = 100;  // offset statistic saturated at 2
  measurement_point& spread = add(1, 100, 4);
  spread.variance_sum = 100;  // v = 0.2 x 10 / (3 x 1)
  spread.radiance[0] = spread.radiance[1] = spread.radiance[2] = 1;
  // Inputs where single-precision products for the offset statistic would give another radius.
  const float r = 0x1.26d09p-1f, sx = -0x1.7b883cp+2f, sy = 0x1.c85fbap+1f, s2 = sx * sx + sy * sy;
  measurement_point& exact = add(r, 64, 18);
  exact.offset_sum[0] = sx, exact.offset_sum[1] = sy;
  update(1, 1e-3f, 0.5f);

  EXPECT_EQ(points[0].radius, 1.0f);
  EXPECT_EQ(points[0].photon_count, 20.5f);
  EXPECT_FLOAT_EQ(points[1].radius, std::pow(0.8f, 1.0f / 6));
  EXPECT_FLOAT_EQ(points[1].offset_sum[0], 100 * std::pow(0.8f, 1.0f / 3));
  EXPECT_FLOAT_EQ(spread.radius, std::pow(1 + 2.0f / 3, 1.0f / 6));
  auto radius_for = [r](float q) { return r * powf(1.0f - 0.05f * (q * q), 1.0f / 6.0f); };
  const double q = double(s2) * 0.3183098861837907 * double(1.0f / (r * r)) * double(1.0f / 82);
  EXPECT_NE(radius_for(float(q)), radius_for(s2 * 0.31830987f * (1.0f / (r * r)) * (1.0f / 82)));
  EXPECT_EQ(points[3].radius, radius_for(float(q)));
}

TEST_F(progressive_update_test, flux_scale_multiplies_the_single_precision_reciprocal_of_r2) {
  const float r = 0x1.0000c2p-1f, s = static_cast<float>(0.10132118364233779);
  add(r, 0, 1);
  update(0, s, 0.999f);
  ASSERT_NE(s * (1.0f / (r * r)), s / (r * r));
  EXPECT_EQ(points[0].radiance[0], s * (1.0f / (r * r)));
}

TEST_F(progressive_update_test, radius_band_includes_its_lower_bound_and_excludes_its_upper) {
  // alpha 0.25 halves the radius of a fresh point exactly: 2 becomes 1. With the ratio 2 the
  // first point's band is [1, 2) and the second's [0.5, 1).
  add(2, 0, 1).min_radius = 1;
  add(2, 0, 1);
  add(0, 0, 3);  // zero radius: kept finite, as a point without photons
  for (measurement_point& p : points) p.offset_sum[0] = 4;
  update(0, 1, 0.25f, 2);
  EXPECT_EQ(std::vector<float>({points[0].radius, points[0].photon_count, points[0].offset_sum[0]}),
            std::vector<float>({1, 0.25f, 1}));
  EXPECT_EQ(std::vector<float>({points[1].radius, points[1].photon_count, points[1].offset_sum[0]}),
            std::vector<float>({2, 0, 4}));
  EXPECT_EQ(points[1].radiance[0], 0.25f);
  EXPECT_EQ(points[1].pass_photons, 0);
  EXPECT_EQ(points[2].radiance[0], 0.0f);
  EXPECT_EQ(points[2].pass_photons, 0);
}

TEST_F(progressive_update_test, outliers_above_fifty_times_the_mean_channel_are_cleared) {
  // 50 points whose channels sum to 300 after the update: the limit is 300 / 150 x 50 = 100.
  for (bool above : {false, true}) {
    start_over();
    points.assign(50, make_point(0, 0, 0, 1));
    points[0].radiance[0] = points[0].radiance[1] = points[0].radiance[2] = 50;
    points[1].pass_photons = 1;
    points[1].pass_flux[0] = 50;  // becomes radiance in this update
    points[49].radiance[1] = above ? std::nextafter(100.0f, 200.0f) : 100.0f;
    update(0, 1, 0.999f, 12, true);
    std::vector<std::string> expected{"Max radiance = 100\n"};
    if (above) expected.push_back("Got radiance 0 100 0 > 100\n");
    EXPECT_EQ(host().texts(), expected);
    EXPECT_EQ(points[49].radiance[1], above ? 0.0f : 100.0f);
    EXPECT_EQ(points[0].radiance[2], 50.0f);
  }
  points.clear();
  update(0, 1, 0.999f, 12, true);
  EXPECT_EQ(host().texts().size(), 2u);
}

}  // namespace
