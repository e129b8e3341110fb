#include <cmath>
#include <cstring>

#include "tests/module/point_tree_test.h"

namespace {

constexpr double inv_pi_squared = 0.10132118364233779;

// --- The progressive update of one tree's points --------------------------------------------

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

TEST_F(progressive_update_test, young_points_fold_their_flux_and_shrink_by_the_photon_count_rule) {
  measurement_point& p = add(2, 0, 10);
  set3(p.radiance, 1.0f, 1.0f, 1.0f);
  set3(p.pass_flux, 8.0f, 16.0f, 24.0f);
  p.offset_sum[0] = 1, p.offset_sum[1] = -2;
  p.variance_sum = 10;
  add(1, 16, 4);  // 16 photons so far is still young; an older point would keep its radius
  measurement_point& idle = add(2, 30, 0);  // no photons: only its squared luminance is added
  set3(idle.radiance, 1.0f, 2.0f, 3.0f);
  idle.offset_sum[1] = idle.variance_sum = 5;
  measurement_point expected_idle = idle;
  expected_idle.variance_sum = 41;
  update(3, 0.5f, 0.999f);

  // g = 0.5 / 2^2; the pass estimate 6 x 3 passes deviates by 15 from the old luminance 3.
  EXPECT_EQ(rgb(p.radiance), (floats{2, 3, 4}));
  EXPECT_EQ(p.variance_sum, 235.0f);
  EXPECT_FLOAT_EQ(p.radius, 2 * std::sqrt(0.999f));
  EXPECT_NEAR(p.photon_count, 9.99f, 1e-5f);
  EXPECT_NEAR(p.offset_sum[1], -1.998f, 1e-6f);
  EXPECT_TRUE(p.pass_photons == 0 && p.pass_flux[2] == 24.0f);  // cleared by the next pass
  EXPECT_FLOAT_EQ(points[1].radius, std::sqrt((16 + 0.999f * 4) / 20));
  EXPECT_EQ(std::memcmp(&idle, &expected_idle, sizeof idle), 0);

  // flux_scale multiplies the single-precision reciprocal of R^2.
  const float r = 0x1.0000c2p-1f, s = static_cast<float>(inv_pi_squared);
  points.clear();
  add(r, 0, 1);
  update(0, s, 0.999f);
  ASSERT_NE(s * (1.0f / (r * r)), s / (r * r));
  EXPECT_EQ(points[0].radiance[0], s * (1.0f / (r * r)));
}

TEST_F(progressive_update_test, older_points_scale_by_their_offsets_and_variance) {
  add(1, 16.5f, 4);                    // no offsets, no variance: radius kept
  add(1, 100, 4).offset_sum[0] = 100;  // offset statistic saturated at 2
  measurement_point& spread = add(1, 100, 4);
  spread.variance_sum = 100;  // v = 0.2 x 10 / (3 x 1)
  set3(spread.radiance, 1.0f, 1.0f, 1.0f);
  // Inputs where single-precision products for the offset statistic would give another radius.
  const float r = 0x1.26d09p-1f, sx = -0x1.7b883cp+2f, sy = 0x1.c85fbap+1f, s2 = sx * sx + sy * sy;
  measurement_point& exact = add(r, 64, 18);
  exact.offset_sum[0] = sx, exact.offset_sum[1] = sy;
  update(1, 1e-3f, 0.5f);

  EXPECT_TRUE(points[0].radius == 1.0f && points[0].photon_count == 20.5f);
  EXPECT_FLOAT_EQ(points[1].radius, std::pow(0.8f, 1.0f / 6));
  EXPECT_FLOAT_EQ(points[1].offset_sum[0], 100 * std::pow(0.8f, 1.0f / 3));
  EXPECT_FLOAT_EQ(spread.radius, std::pow(1 + 2.0f / 3, 1.0f / 6));
  auto radius_for = [r](float q) { return r * powf(1.0f - 0.05f * (q * q), 1.0f / 6.0f); };
  const double q = double(s2) * 0.3183098861837907 * double(1.0f / (r * r)) * double(1.0f / 82);
  ASSERT_NE(radius_for(float(q)), radius_for(s2 * 0.31830987f * (1.0f / (r * r)) * (1.0f / 82)));
  EXPECT_EQ(points[3].radius, radius_for(float(q)));
}

TEST_F(progressive_update_test, radius_band_includes_its_lower_bound_and_excludes_its_upper) {
  // alpha 0.25 halves the radius of a fresh point exactly: 2 becomes 1. With the ratio 2 the
  // first point's band is [1, 2) and the second's [0.5, 1).
  add(2, 0, 1).min_radius = 1;
  add(2, 0, 1);
  add(0, 0, 3);  // zero radius: kept finite, as a point without photons
  for (measurement_point& p : points) p.offset_sum[0] = 4;
  update(0, 1, 0.25f, 2);
  const float kept[2][3] = {{1, 0.25f, 1}, {2, 0, 4}};  // radius, photon count, offset
  for (int k = 0; k < 2; ++k) {
    const measurement_point& p = points[k];
    EXPECT_EQ(floats({p.radius, p.photon_count, p.offset_sum[0]}), floats(kept[k], kept[k] + 3));
  }
  EXPECT_TRUE(points[1].radiance[0] == 0.25f && points[1].pass_photons == 0);
  EXPECT_TRUE(points[2].radiance[0] == 0.0f && points[2].pass_photons == 0);
}

TEST_F(progressive_update_test, outliers_above_fifty_times_the_mean_channel_are_cleared) {
  // 50 points whose channels sum to 300 after the update: the limit is 300 / 150 x 50 = 100.
  for (bool above : {false, true}) {
    start_over();
    points.assign(50, make_point(0, 0, 0, 1));
    set3(points[0].radiance, 50.0f, 50.0f, 50.0f);
    points[1].pass_photons = 1;
    points[1].pass_flux[0] = 50;  // becomes radiance in this update
    points[49].radiance[1] = above ? std::nextafter(100.0f, 200.0f) : 100.0f;
    update(0, 1, 0.999f, 12, true);
    strings expected{"Max radiance = 100\n"};
    if (above) expected.push_back("Got radiance 0 100 0 > 100\n");
    EXPECT_EQ(host().texts(), expected);
    EXPECT_TRUE(points[49].radiance[1] == (above ? 0.0f : 100.0f) && points[0].radiance[2] == 50);
  }
  points.clear();
  update(0, 1, 0.999f, 12, true);
  EXPECT_EQ(host().texts().size(), 2u);
}

// --- Refinement after a photon pass -----------------------------------------------------------

class refine_test : public point_tree_test {
 protected:
  // One point per set, radius 1 in the band [0.5, 6), trees built as at iteration 0.
  void make_points(int point_mode, int refine_mode = 2) {
    renderer->alpha = 0.5f;
    renderer->radius_scale = 6;
    renderer->min_radius_scale = 0.5f;
    renderer->refine_mode = refine_mode;
    renderer->point2_last_iteration = 2;
    renderer->point_mode = point_mode;
    main.assign(3, make_point(0, 0, 0, 1));
    second.assign(1, make_point(0, 0, 0, 1));
    main[0].min_radius = second[0].min_radius = 0.5f;
    renderer->points = main.data();
    renderer->points2 = second.data();
    renderer->point_count = renderer->point2_count = 1;
    renderer->build_trees(scene(), 0);
  }
  // Refines at the given iteration after a pass that gave each point flux (1, 0, 0).
  void refine_at(int iteration) {
    for (measurement_point* p : {&main[0], &second[0]}) {
      p->radiance[0] = 0;
      p->pass_photons = 1;
      p->pass_flux[0] = 1;
    }
    renderer->iteration = iteration;
    renderer->refine_points(scene());
  }

  std::vector<measurement_point> main, second;
};

TEST_F(refine_test, progressive_mode_averages_the_main_set_and_not_a_fresh_second_set) {
  make_points(1);
  refine_at(20);
  EXPECT_EQ(host().texts()[0], "[21] Refining points [2]\n");
  EXPECT_TRUE(renderer->tree->radius_ratio == 12 && renderer->tree2->radius_ratio == 12);
  // 1 / (21 pi^2), the product taken in double: the single-precision one differs.
  const float inv = 1.0f / 21.0f, s = static_cast<float>(inv * inv_pi_squared);
  ASSERT_NE(s, inv * static_cast<float>(inv_pi_squared));
  EXPECT_EQ(main[0].radiance[0], s);
  EXPECT_EQ(second[0].radiance[0], s * 21.0f);
  EXPECT_EQ(host().texts()[1].rfind("Max radiance = ", 0), 0u);  // outliers checked

  // A kept second set is refined in its first three passes only; refine mode 0 changes nothing.
  start_over();
  make_points(2);
  for (int iteration = 0; iteration < 5; ++iteration) {
    refine_at(iteration);
    EXPECT_TRUE(second[0].pass_photons == (iteration <= 2 ? 0 : 1) && main[0].pass_photons == 0);
  }
  EXPECT_EQ(host().texts().size(), 5u + 3u);  // one outlier check per refinement of the set
  renderer->refine_mode = 0;
  renderer->light_irradiance = true;
  renderer->photon_lights.push_back({{1, 1, 1}, {0, 0, -1}, {0, 0, 1}});
  refine_at(3);
  EXPECT_TRUE(main[0].pass_photons == 1 && main[0].light_radiance[0] == 0);
  EXPECT_EQ(host().texts().size(), 8u);
}

TEST_F(refine_test, classic_update_restarts_the_mean_at_iteration_0_and_respects_the_lower_bound) {
  make_points(1, 1);
  const float r = 0x1.0000c2p-1f, s = static_cast<float>(inv_pi_squared);
  main[0].radius = r;  // chosen so that s / R^2 differs from s x (1 / R^2)
  main[1].radius = main[1].min_radius = 1;
  for (measurement_point& p : main) {
    p.radiance[0] = p.radiance[1] = p.offset_sum[2] = 8;
    p.pass_flux[0] = 1;
    p.pass_photons = p.photon_count = 4;
  }
  main[2].pass_photons = 0;
  second[0].pass_photons = 1;
  renderer->point_count = 3;
  renderer->refine_points(scene());
  ASSERT_NE(s / (r * r), s * (1.0f / (r * r)));
  EXPECT_EQ(rgb(main[0].radiance), (floats{s / (r * r), 0, 0}));
  EXPECT_EQ(main[0].offset_sum[2], 0.0f);
  EXPECT_EQ(main[0].radius, r * std::sqrt(6.0f / 8.0f));
  EXPECT_TRUE(main[0].photon_count == 6 && main[0].pass_photons == 0);
  EXPECT_EQ(main[1].radiance[0], s);  // at its lower bound: estimate updated, radius kept
  EXPECT_TRUE(main[1].radius == 1 && main[1].photon_count == 4 && main[1].pass_photons == 0);
  EXPECT_EQ(main[2].radiance[0], 0.0f);
  EXPECT_EQ(second[0].pass_photons, 1);  // never refined here, and no outlier check
  EXPECT_EQ(host().texts().size(), 1u);

  main[1].radiance[0] = 4, main[1].pass_photons = 1;
  renderer->iteration = 3;
  renderer->refine_points(scene());
  EXPECT_EQ(main[1].radiance[0], 3.0f + static_cast<float>(0.25 * inv_pi_squared));
}

TEST_F(refine_test, photon_light_irradiance_is_cosine_weighted_falloff_capped_at_distance_1) {
  const float x[3] = {0, 0, 0}, n[3] = {0, 0, 1};
  ray_ptr ray(make_ray(0, qor_ray_camera));
  std::vector<qorRay> traced;
  host().intersect = [&traced](fake_ray& r) {
    traced.push_back(r);
    return r.max_distance > 4.0;  // a blocker between 4 and 10
  };
  auto irradiance = [&](std::vector<photon_light> lights) {
    renderer->photon_lights = lights;
    floats out(3, -1.0f);
    renderer->photon_light_irradiance(out.data(), x, n, *ray);
    return out;
  };
  EXPECT_EQ(irradiance({{{4, 8, 12}, {0, 0, -1}, {0, 0, 0.5f}}}), (floats{4, 8, 12}));
  EXPECT_EQ(irradiance({{{4, 8, 12}, {0, 0, -1}, {0, 0, 2}}}), (floats{1, 2, 3}));
  traced.clear();
  EXPECT_EQ(irradiance({{{1, 1, 1}, {0, 0, -1}, {0, 0, -2}},    // behind the point's surface
                        {{1, 1, 1}, {0, 0, 1}, {0, 0, 2}},      // facing away from the point
                        {{1, 1, 1}, {1, 0, 0}, {0, 0, 2}},      // edge on: no cosine
                        {{1, 1, 1}, {0, 0, -1}, {0, 0, 10}}}),  // blocked
            (floats{0, 0, 0}));
  EXPECT_EQ(traced.size(), 1u);
  traced.clear();
  // Cosines 2/3 at both ends and distance 3: 81 x 4/9 / 9.
  EXPECT_EQ(irradiance({{{81, 81, 81}, {0, 0, -1}, {1, 2, 2}}})[0], 4.0f);
  ASSERT_EQ(traced.size(), 1u);
  const qorRay& shadow = traced[0];
  EXPECT_EQ(std::vector<double>(shadow.direction, shadow.direction + 3),
            (std::vector<double>{1.0 / 3, 2.0 / 3, 2.0 / 3}));
  EXPECT_TRUE(shadow.origin[2] == 0 && shadow.max_distance == 3);
  EXPECT_EQ(shadow.min_distance, static_cast<double>(1e-5f));
}

TEST_F(refine_test, light_irradiance_keeps_a_running_mean_of_reflected_light) {
  make_points(0, 1);
  renderer->light_irradiance = true;
  host().now = [t = 0.0]() mutable { return t += 0.5; };
  measurement_point& p = main[0];
  p.reflectance[0] = 0.7f;
  p.light_radiance[0] = p.light_radiance[1] = 0.3f;
  renderer->photon_lights.push_back({{1, 1, 1}, {0, 0, -1}, {0, 0, 2}});
  refine_at(2);
  // E = 1/4; E x 0.7 x 1/3 goes through 1/pi and into the sum in double, which here differs
  // from the single-precision result.
  const float share = 0.25f * 0.7f * (1.0f / 3.0f), kept = 0.3f * (2.0f * (1.0f / 3.0f));
  const float expected = static_cast<float>(share * 0.3183098861837907 + kept);
  ASSERT_NE(expected, share * 0.31830987f + kept);
  EXPECT_EQ(p.light_radiance[0], expected);
  EXPECT_EQ(p.light_radiance[1],
            static_cast<float>(0.25f * 1.0f * (1.0f / 3.0f) * 0.3183098861837907 + kept));
  EXPECT_EQ(host().texts(),
            (strings{"[3] Refining points [1]\n", "Computing light irradiance for 1 points\n",
                     "Got 1 lights\n", "Computed light irradiance in 0.5 seconds\n"}));
  EXPECT_TRUE(host().count_calls("qor_get_primary_ray 0 1") == 1 &&
              host().count_calls("delete_ray") == 1);
  renderer->photon_lights.clear();
  refine_at(3);
  EXPECT_EQ(p.light_radiance[0], expected * 0.75f);
  EXPECT_TRUE(host().said("Got 0 lights\n"));
}

}  // namespace
