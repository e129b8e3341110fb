#include <cmath>

#include "tests/module/point_tree_test.h"

namespace {

constexpr double inv_pi_squared = 0.10132118364233779;

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

TEST_F(refine_test, refine_mode_0_changes_nothing_and_says_nothing) {
  make_points(1, 0);
  renderer->light_irradiance = true;
  renderer->photon_lights.push_back({{1, 1, 1}, {0, 0, -1}, {0, 0, 1}});
  refine_at(3);
  EXPECT_TRUE(main[0].pass_photons == 1 && main[0].radiance[0] == 0);
  EXPECT_EQ(main[0].light_radiance[0], 0.0f);
  EXPECT_TRUE(host().messages.empty());
}

TEST_F(refine_test, progressive_mode_averages_the_main_set_and_not_a_fresh_second_set) {
  make_points(1);
  refine_at(20);
  EXPECT_EQ(host().texts()[0], "[21] Refining points [2]\n");
  EXPECT_TRUE(renderer->tree->radius_ratio == 12 && renderer->tree2->radius_ratio == 12);
  // 1 / (21 pi^2), the product taken in double: the single-precision one differs.
  const float inv = 1.0f / 21.0f, s = static_cast<float>(inv * inv_pi_squared);
  EXPECT_NE(s, inv * static_cast<float>(inv_pi_squared));
  EXPECT_EQ(main[0].radiance[0], s);
  EXPECT_EQ(second[0].radiance[0], s * 21.0f);
  EXPECT_FLOAT_EQ(second[0].radiance[0], static_cast<float>(inv_pi_squared));
  EXPECT_EQ(host().texts()[1].rfind("Max radiance = ", 0), 0u);  // outliers checked
}

TEST_F(refine_test, kept_second_set_is_refined_in_the_first_three_passes_only) {
  make_points(2);
  for (int iteration = 0; iteration < 5; ++iteration) {
    refine_at(iteration);
    EXPECT_EQ(second[0].pass_photons, iteration <= 2 ? 0 : 1) << iteration;
    EXPECT_EQ(main[0].pass_photons, 0);
  }
  EXPECT_EQ(host().texts().size(), 5u + 3u);  // one outlier check per refinement of the set
}

TEST_F(refine_test, classic_update_restarts_the_mean_at_iteration_0_and_respects_the_lower_bound) {
  make_points(1, 1);
  const float r = 0x1.0000c2p-1f, s = static_cast<float>(inv_pi_squared);
  main[0].radius = r;  // chosen so that s / R^2 differs from s x (1 / R^2)
  main[1].radius = main[1].min_radius = 1;
  for (measurement_point& p : main) {
    p.radiance[0] = p.radiance[1] = p.offset_sum[2] = 8;
    p.pass_flux[0] = 1;
    p.pass_photons = 4;
    p.photon_count = 4;
  }
  main[2].pass_photons = 0;
  second[0].pass_photons = 1;
  renderer->point_count = 3;
  renderer->refine_points(scene());

  ASSERT_NE(s / (r * r), s * (1.0f / (r * r)));
  EXPECT_EQ(rgb(main[0].radiance), (std::vector<float>{s / (r * r), 0, 0}));
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
  traced.clear();
  EXPECT_EQ(irradiance({{{1, 1, 1}, {0, 0, -1}, {0, 0, -2}},    // behind the point's surface
                        {{1, 1, 1}, {0, 0, 1}, {0, 0, 2}},      // facing away from the point
                        {{1, 1, 1}, {1, 0, 0}, {0, 0, 2}},      // edge on: no cosine
                        {{1, 1, 1}, {0, 0, -1}, {0, 0, 10}}}),  // blocked
            (std::vector<float>{0, 0, 0}));
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
  delete ray;
}

TEST_F(refine_test, light_irradiance_keeps_a_running_mean_of_reflected_light) {
  make_points(0, 1);
  renderer->light_irradiance = true;
  host().clock_step = 0.5;
  measurement_point& p = main[0];
  p.reflectance[0] = 0.7f;
  p.light_radiance[0] = p.light_radiance[1] = 0.3f;
  renderer->photon_lights.push_back({{1, 1, 1}, {0, 0, -1}, {0, 0, 2}});
  refine_at(2);

  // E = 1/4; E x 0.7 x 1/3 goes through 1/pi and into the sum in double, which here differs
  // from the single-precision result.
  const float share = 0.25f * 0.7f * (1.0f / 3.0f), kept = 0.3f * (2.0f * (1.0f / 3.0f));
  const float expected = static_cast<float>(share * 0.3183098861837907 + kept);
  EXPECT_NE(expected, share * 0.31830987f + kept);
  EXPECT_EQ(p.light_radiance[0], expected);
  EXPECT_EQ(p.light_radiance[1],
            static_cast<float>(0.25f * 1.0f * (1.0f / 3.0f) * 0.3183098861837907 + kept));
  EXPECT_EQ(host().texts(),
            (std::vector<std::string>{"[3] Refining points [1]\n",
                                      "Computing light irradiance for 1 points\n", "Got 1 lights\n",
                                      "Computed light irradiance in 0.5 seconds\n"}));
  EXPECT_EQ(host().count_calls("qor_get_primary_ray 0 1"), 1);
  EXPECT_EQ(host().count_calls("delete_ray"), 1);

  renderer->photon_lights.clear();
  refine_at(3);
  EXPECT_EQ(p.light_radiance[0], expected * 0.75f);
  EXPECT_TRUE(host().said("Got 0 lights\n"));
}

}  // namespace
