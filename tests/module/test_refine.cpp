#include <cmath>
#include <cstring>

#include "tests/module/point_tree_test.h"

namespace {

constexpr double inv_pi_squared = 0.10132118364233779;

class refine_test : public point_tree_test {
 protected:
  void SetUp() override {
    point_tree_test::SetUp();
    configure();
  }

  void configure() {
    renderer->alpha = 0.5f;
    renderer->radius_scale = 6;
    renderer->min_radius_scale = 0.5f;
    renderer->refine_mode = 2;
    renderer->point2_last_iteration = 2;
  }

  // One gathering point per set: radius 1, band [0.5, 6), flux (1, 0, 0) in this pass.
  void make_points(int point_mode) {
    main.reserve(3);  // the classic update test grows it under the trees
    main.assign(1, make_point(0, 0, 0, 1));
    second.assign(1, make_point(0, 0, 0, 1));
    for (measurement_point* p : {&main[0], &second[0]}) {
      p->min_radius = 0.5f;
      p->pass_photons = 1;
      p->pass_flux[0] = 1;
    }
    renderer->point_mode = point_mode;
    renderer->points = main.data();
    renderer->points2 = second.data();
    renderer->point_count = renderer->point2_count = 1;
    renderer->build_trees(scene(), 0);
  }

  // Runs the refinement at the given iteration after a pass that gave each point flux (1, 0, 0).
  void refine_at(int iteration) {
    for (measurement_point* p : {&main[0], &second[0]}) {
      p->radiance[0] = 0;
      p->pass_photons = 1;
    }
    renderer->iteration = iteration;
    renderer->refine_points(scene());
  }

  std::vector<measurement_point> main, second;
};

TEST_F(refine_test, refine_mode_0_changes_nothing_and_says_nothing) {
  make_points(1);
  renderer->refine_mode = 0;
  renderer->light_irradiance = true;
  renderer->photon_lights.push_back({{1, 1, 1}, {0, 0, -1}, {0, 0, 1}});
  const measurement_point before = main[0];
  refine_at(3);
  EXPECT_EQ(main[0].pass_photons, 1);
  EXPECT_EQ(std::memcmp(&main[0].light_radiance, &before.light_radiance, 12), 0);
  EXPECT_EQ(main[0].radius, 1.0f);
  EXPECT_TRUE(host().messages.empty());
  EXPECT_EQ(host().count_calls("qor_get_primary_ray 0 1"), 0);
}

TEST_F(refine_test, progressive_mode_scales_by_the_pass_count_and_sets_the_radius_ratio) {
  make_points(1);
  refine_at(20);
  EXPECT_EQ(host().texts()[0], "[21] Refining points [2]\n");
  EXPECT_EQ(renderer->tree->radius_ratio, 12.0f);
  EXPECT_EQ(renderer->tree2->radius_ratio, 12.0f);
  // 1 / (21 pi^2), with the product taken in double: the single-precision one differs.
  const float inv = 1.0f / 21.0f;
  const float s = static_cast<float>(inv * inv_pi_squared);
  EXPECT_NE(s, inv * static_cast<float>(inv_pi_squared));
  EXPECT_EQ(main[0].radiance[0], s);
  // A second set made anew every pass is not averaged over passes.
  EXPECT_EQ(second[0].radiance[0], s * 21.0f);
  EXPECT_FLOAT_EQ(second[0].radiance[0], static_cast<float>(inv_pi_squared));
  EXPECT_EQ(host().texts()[1].rfind("Max radiance = ", 0), 0u);
  EXPECT_EQ(host().texts().size(), 2u);
}

TEST_F(refine_test, kept_second_set_is_refined_in_the_first_three_passes_only) {
  make_points(2);
  for (int iteration = 0; iteration < 5; ++iteration) {
    refine_at(iteration);
    EXPECT_EQ(second[0].pass_photons, iteration <= 2 ? 0 : 1) << iteration;
    EXPECT_EQ(main[0].pass_photons, 0);
  }
  int outlier_checks = 0;
  for (const std::string& text : host().texts())
    outlier_checks += text.rfind("Max radiance", 0) == 0;
  EXPECT_EQ(outlier_checks, 3);

  start_over();
  configure();
  make_points(0);
  refine_at(0);
  EXPECT_EQ(renderer->tree2, nullptr);
  EXPECT_EQ(second[0].pass_photons, 1);
}

TEST_F(refine_test, classic_update_restarts_the_mean_at_iteration_0_and_respects_the_lower_bound) {
  make_points(1);
  renderer->refine_mode = 1;
  // Radius chosen so that s / R^2 differs from s x (1 / R^2).
  const float r = 0x1.0000c2p-1f, s = static_cast<float>(inv_pi_squared);
  main.assign(3, make_point(0, 0, 0, r));
  main[1].radius = main[1].min_radius = 1;
  for (measurement_point& p : main) {
    p.radiance[0] = p.radiance[1] = p.offset_sum[2] = 8;
    p.pass_flux[0] = 1;
    p.pass_photons = 4;
    p.photon_count = 4;
  }
  main[2].pass_photons = 0;
  renderer->points = main.data();
  renderer->point_count = 3;
  renderer->iteration = 0;
  renderer->refine_points(scene());

  ASSERT_NE(s / (r * r), s * (1.0f / (r * r)));
  EXPECT_EQ(main[0].radiance[0], s / (r * r));
  EXPECT_EQ(main[0].radiance[1], 0.0f);
  EXPECT_EQ(main[0].offset_sum[2], 0.0f);
  EXPECT_EQ(main[0].radius, r * std::sqrt(6.0f / 8.0f));
  EXPECT_EQ(main[0].photon_count, 6.0f);
  EXPECT_EQ(main[0].pass_photons, 0);
  EXPECT_EQ(main[1].radiance[0], s);  // at its lower bound: estimate updated, radius kept
  EXPECT_EQ(main[1].radius, 1.0f);
  EXPECT_EQ(main[1].photon_count, 4.0f);
  EXPECT_EQ(main[1].pass_photons, 0);
  EXPECT_EQ(main[2].radiance[0], 0.0f);  // no photons: only the rescale by w = 0
  EXPECT_EQ(second[0].pass_photons, 1);  // the second set is left alone, with no outlier check
  EXPECT_EQ(host().texts().size(), 1u);

  main[1].radiance[0] = 4, main[1].pass_photons = 1;
  renderer->iteration = 3;
  renderer->refine_points(scene());
  EXPECT_EQ(main[1].radiance[0], 3.0f + static_cast<float>(0.25 * inv_pi_squared));
}

TEST_F(refine_test, photon_light_irradiance_is_cosine_weighted_falloff_capped_at_distance_1) {
  const float x[3] = {0, 0, 0}, n[3] = {0, 0, 1};
  fake_ray* ray = make_ray(0, qor_ray_camera);
  std::vector<qorRay> traced;
  host().intersect = [&traced](fake_ray& r) {
    traced.push_back(r);
    return r.max_distance > 4.0;  // a blocker between 4 and 10
  };
  auto irradiance = [&](std::vector<photon_light> lights) {
    renderer->photon_lights = lights;
    std::vector<float> out(3, -1.0f);
    renderer->photon_light_irradiance(out.data(), x, n, *ray);
    return out;
  };
  EXPECT_EQ(irradiance({{{4, 8, 12}, {0, 0, -1}, {0, 0, 0.5f}}}), (std::vector<float>{4, 8, 12}));
  EXPECT_EQ(irradiance({{{4, 8, 12}, {0, 0, -1}, {0, 0, 2}}}), (std::vector<float>{1, 2, 3}));
  EXPECT_EQ(irradiance({}), (std::vector<float>{0, 0, 0}));
  traced.clear();
  EXPECT_EQ(irradiance({{{1, 1, 1}, {0, 0, -1}, {0, 0, -2}},    // behind the point's surface
                        {{1, 1, 1}, {0, 0, 1}, {0, 0, 2}},      // facing away from the point
                        {{1, 1, 1}, {1, 0, 0}, {0, 0, 2}},      // light on edge: cl = 0
                        {{1, 1, 1}, {0, 0, -1}, {0, 0, 10}}}),  // blocked
            (std::vector<float>{0, 0, 0}));
  ASSERT_EQ(traced.size(), 1u);

  traced.clear();
  const std::vector<float> oblique = irradiance({{{81, 81, 81}, {0, 0, -1}, {1, 2, 2}}});
  EXPECT_EQ(oblique[0], 4.0f);  // cosines 2/3 at both ends, distance 3
  ASSERT_EQ(traced.size(), 1u);
  const qorRay& shadow = traced[0];
  EXPECT_EQ(shadow.origin[2], 0.0);
  EXPECT_EQ(shadow.direction[0], 1.0 / 3.0);
  EXPECT_EQ(shadow.direction[1], 2.0 / 3.0);
  EXPECT_EQ(shadow.max_distance, 3.0);
  EXPECT_EQ(shadow.min_distance, static_cast<double>(1e-5f));
  delete ray;
}

TEST_F(refine_test, light_irradiance_keeps_a_running_mean_of_reflected_light) {
  make_points(0);
  renderer->refine_mode = 1;
  renderer->light_irradiance = true;
  host().clock_step = 0.5;
  measurement_point& p = main[0];
  p.reflectance[0] = p.reflectance[1] = 0.7f;
  p.light_radiance[0] = p.light_radiance[1] = p.light_radiance[2] = 0.3f;
  renderer->photon_lights.push_back({{1, 1, 1}, {0, 0, -1}, {0, 0, 2}});
  refine_at(2);

  // E = 1/4; (E x 0.7 x 1/3) / pi + 0.3 x 2/3 in double; the single-precision sum differs.
  const float share = 0.25f * 0.7f * (1.0f / 3.0f), kept = 0.3f * (2.0f * (1.0f / 3.0f));
  const float expected = static_cast<float>(share * 0.3183098861837907 + kept);
  EXPECT_NE(expected, share * 0.31830987f + kept);
  EXPECT_EQ(p.light_radiance[0], expected);
  const float white_share = 0.25f * 1.0f * (1.0f / 3.0f);
  EXPECT_EQ(p.light_radiance[2], static_cast<float>(white_share * 0.3183098861837907 + kept));
  EXPECT_EQ(host().texts(),
            (std::vector<std::string>{"[3] Refining points [1]\n",
                                      "Computing light irradiance for 1 points\n", "Got 1 lights\n",
                                      "Computed light irradiance in 0.5 seconds\n"}));
  EXPECT_EQ(host().count_calls("qor_get_primary_ray 0 1"), 1);
  EXPECT_EQ(host().count_calls("delete_ray"), 1);

  renderer->photon_lights.clear();
  refine_at(3);
  EXPECT_EQ(p.light_radiance[1], expected * 0.75f);
  EXPECT_TRUE(host().said("Got 0 lights\n"));
}

}  // namespace
