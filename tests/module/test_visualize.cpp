#include <cmath>
#include <cstring>

#include "tests/module/module_test.h"
#include "tests/module/render_arrays.h"

namespace {

class visualize_test : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    host().options.width = 4;
    host().options.height = 3;
    create(default_parameters());
    renderer->sampling_mode = 0;  // views paint `points` unless a test says otherwise
    arrays = std::make_unique<render_arrays>(*renderer, 4, 3, 1);
    output_words.assign(qorImage_block::bytes(4, 3) / 4, 0x7fc00000u);  // NaN everywhere
    renderer->output_block = reinterpret_cast<qorImage_block*>(output_words.data());
    for (int i = 0; i < 36; ++i) arrays->pixels()[i] = 1.0f + 0.5f * static_cast<float>(i);
    renderer->mean_emitter_weight = 0.25f;
  }

  measurement_point& add_point(int x, int y) {
    measurement_point& p = renderer->points[renderer->point_count++];
    std::memset(static_cast<void*>(&p), 0, sizeof p);
    p.pixel_x = x;
    p.pixel_y = y;
    return p;
  }

  // The image the view showed, and one pixel of it.
  const std::vector<float>& shown() const { return host().shown_pixels.back(); }
  const float* shown(int x, int y) const { return shown().data() + 3 * (y * 4 + x); }
  float framebuffer(int x, int y, int c) { return arrays->pixel(x, y)[c]; }

  std::unique_ptr<render_arrays> arrays;
  std::vector<uint32_t> output_words;
};

TEST_F(visualize_test, a_view_announces_itself_writes_the_header_and_is_shown) {
  renderer->visualize(scene(), 3, 4);
  EXPECT_EQ(host().texts("sprint").at(0), "[5] Visualize 3\n");
  const qorImage_block& block = *renderer->output_block;
  EXPECT_EQ(block.x0, 0);
  EXPECT_EQ(block.y0, 0);
  EXPECT_EQ(block.width, 4);
  EXPECT_EQ(block.height, 3);
  ASSERT_EQ(host().shown_blocks.size(), 1u);
  EXPECT_EQ(host().shown_blocks[0], renderer->output_block);
}

TEST_F(visualize_test, view_0_adds_the_points_radiance_to_the_accumulation_image) {
  measurement_point& a = add_point(1, 2);
  a.radiance[0] = 1.0f;
  a.radiance[1] = 2.0f;
  a.radiance[2] = 4.0f;
  a.light_radiance[0] = 100.0f;  // not shown without the light irradiance step
  measurement_point& b = add_point(1, 2);
  b.radiance[0] = 0.5f;
  renderer->visualize(scene(), 0, 1);
  EXPECT_EQ(shown(1, 2)[0], framebuffer(1, 2, 0) + 1.0f + 0.5f);
  EXPECT_EQ(shown(1, 2)[1], framebuffer(1, 2, 1) + 2.0f);
  EXPECT_EQ(shown(1, 2)[2], framebuffer(1, 2, 2) + 4.0f);
  EXPECT_EQ(shown(2, 1)[1], framebuffer(2, 1, 1));
  EXPECT_EQ(shown(0, 0)[0], framebuffer(0, 0, 0));
}

TEST_F(visualize_test, view_0_adds_light_radiance_and_radiance_as_one_sum) {
  renderer->light_irradiance = true;
  arrays->pixel(3, 0)[0] = 1.0f;
  measurement_point& p = add_point(3, 0);
  p.radiance[0] = 3e-8f;
  p.light_radiance[0] = 3e-8f;
  p.light_radiance[2] = 2.0f;
  renderer->visualize(scene(), 0, 1);
  // Each half alone is below half an ulp of 1; their sum is not.
  ASSERT_EQ((1.0f + 3e-8f) + 3e-8f, 1.0f);
  EXPECT_EQ(shown(3, 0)[0], 1.0f + (3e-8f + 3e-8f));
  EXPECT_GT(shown(3, 0)[0], 1.0f);
  EXPECT_EQ(shown(3, 0)[2], framebuffer(3, 0, 2) + 2.0f);
}

TEST_F(visualize_test, with_a_new_eye_pass_per_iteration_the_per_pixel_records_are_painted) {
  renderer->sampling_mode = 1;
  measurement_point& pass_point = add_point(0, 0);
  pass_point.radiance[0] = 50.0f;
  arrays->pixel_points[6].pixel_x = 2;  // the record of pixel (2, 1)
  arrays->pixel_points[6].pixel_y = 1;
  arrays->pixel_points[6].radiance[1] = 3.0f;
  arrays->pixel_points[11].pixel_x = 3;  // the last record
  arrays->pixel_points[11].pixel_y = 2;
  arrays->pixel_points[11].smoothed_radiance[2] = 0.75f;
  renderer->visualize(scene(), 0, 2);
  EXPECT_EQ(shown(0, 0)[0], framebuffer(0, 0, 0));
  EXPECT_EQ(shown(2, 1)[1], framebuffer(2, 1, 1) + 3.0f);
  renderer->visualize(scene(), 6, 2);
  EXPECT_EQ(shown(3, 2)[2], 0.75f);
  EXPECT_EQ(shown(0, 0)[0], 0.0f);
}

TEST_F(visualize_test, view_1_is_the_radiance_alone_and_black_without_points) {
  renderer->visualize(scene(), 1, 1);
  EXPECT_EQ(shown(), std::vector<float>(36, 0.0f));
  measurement_point& p = add_point(2, 2);
  p.radiance[2] = 0.125f;
  renderer->visualize(scene(), 1, 1);
  EXPECT_EQ(shown(2, 2)[2], 0.125f);
  EXPECT_EQ(shown(2, 2)[0], 0.0f);
  EXPECT_EQ(shown(1, 1)[0], 0.0f);
}

TEST_F(visualize_test, view_0_without_points_and_view_2_always_are_the_accumulation_image) {
  const std::vector<float> accumulation(arrays->pixels(), arrays->pixels() + 36);
  renderer->visualize(scene(), 0, 1);
  EXPECT_EQ(shown(), accumulation);
  add_point(1, 1).radiance[0] = 9.0f;
  renderer->visualize(scene(), 2, 1);
  EXPECT_EQ(shown(), accumulation);
}

TEST_F(visualize_test, views_5_and_past_9_are_black) {
  add_point(1, 1).radiance[0] = 9.0f;
  for (int mode : {5, 10, 11, -1}) {
    renderer->visualize(scene(), mode, 1);
    EXPECT_EQ(shown(), std::vector<float>(36, 0.0f)) << "view " << mode;
  }
}

TEST_F(visualize_test, view_3_shows_radii_relative_to_the_largest_and_red_at_the_lower_bound) {
  host().options.display_scale = 2.0f;
  renderer->sampling_mode = 1;  // view 3 paints the pass's points whatever the scheme
  measurement_point& largest = add_point(0, 0);
  largest.radius = 0.7f;
  largest.min_radius = 0.1f;
  measurement_point& shrunk = add_point(1, 0);
  shrunk.radius = 0.13f;
  shrunk.min_radius = 0.13f;
  measurement_point& twice = add_point(2, 0);  // a later record on the same pixel replaces it
  twice.radius = 0.6f;
  twice.min_radius = 0.1f;
  measurement_point& again = add_point(2, 0);
  again.radius = 0.2f;
  again.min_radius = 0.1f;
  renderer->visualize(scene(), 3, 1);

  EXPECT_EQ(host().texts("sprint").at(1), "max radius = 0.7\n");
  EXPECT_EQ(shown(0, 0)[1], 0.5f);  // 1 / display_scale
  EXPECT_EQ(shown(0, 0)[2], 0.5f);
  const float inverse = 1.0f / (0.7f * 2.0f);
  ASSERT_NE(0.13f * inverse, 0.13f / (0.7f * 2.0f));  // the reciprocal is formed once
  EXPECT_EQ(shown(1, 0)[0], 10.0f);
  EXPECT_EQ(shown(1, 0)[1], 0.13f * inverse);
  EXPECT_EQ(shown(2, 0)[1], 0.2f * inverse);
  EXPECT_EQ(shown(3, 0)[1], 0.0f);

  renderer->point_count = 0;
  renderer->visualize(scene(), 3, 1);
  EXPECT_EQ(host().texts("sprint").back(), "max radius = 0\n");
  EXPECT_EQ(shown(), std::vector<float>(36, 0.0f));
}

TEST_F(visualize_test, view_4_scales_the_pass_flux_by_the_disc_and_one_over_pi_squared) {
  measurement_point& p = add_point(1, 2);
  p.radius = 0.0684799999f;
  p.pass_flux[0] = 1.0f;
  p.pass_flux[1] = 2.0f;
  p.pass_flux[2] = 0.5f;
  renderer->visualize(scene(), 4, 1);
  const float area = 1.0f / (p.radius * p.radius);
  const float k = static_cast<float>(static_cast<double>(area) * 0.10132118364233779);
  ASSERT_NE(k, area * 0.10132118f);  // the product is taken in double
  EXPECT_EQ(shown(1, 2)[0], k);
  EXPECT_EQ(shown(1, 2)[1], 2.0f * k);
  EXPECT_EQ(shown(1, 2)[2], 0.5f * k);

  // Before the first iteration has completed the flux is in units of the emitter weight.
  renderer->visualize(scene(), 4, 0);
  const float k0 =
      static_cast<float>(static_cast<double>(0.25f / (p.radius * p.radius)) * 0.10132118364233779);
  EXPECT_EQ(shown(1, 2)[0], k0);
}

TEST_F(visualize_test, view_7_is_the_standard_deviation_over_the_iterations) {
  add_point(3, 1).variance_sum = 9.0f;
  renderer->visualize(scene(), 7, 4);
  EXPECT_EQ(shown(3, 1)[0], 1.5f);
  EXPECT_EQ(shown(3, 1)[1], 1.5f);
  EXPECT_EQ(shown(3, 1)[2], 1.5f);
  EXPECT_EQ(shown(0, 0)[0], 0.0f);
}

TEST_F(visualize_test, view_8_shows_the_photon_offset_relative_to_the_disc) {
  host().options.display_scale = 5.75f;
  measurement_point& few = add_point(0, 1);
  few.photon_count = 10.0f;
  few.radius = 0.05f;
  few.offset_sum[0] = 3.0f;
  measurement_point& p = add_point(1, 1);
  p.photon_count = 17.0f;
  p.radius = 0.0562f;
  p.offset_sum[0] = 0.3f;
  p.offset_sum[1] = -0.2f;
  p.offset_sum[2] = 0.7f;
  renderer->visualize(scene(), 8, 3);

  EXPECT_EQ(shown(0, 1)[0], 0.0f);  // ten photons or fewer: black
  const float q = static_cast<float>(0.1 / 5.75);
  ASSERT_NE(q, 0.1f / 5.75f);
  const float numerator = (0.3f * 0.3f + -0.2f * -0.2f + 0.7f * 0.7f) * q;
  const float disc = 17.0f * (0.0562f * 0.0562f);
  const float v = static_cast<float>(static_cast<double>(numerator) /
                                     (static_cast<double>(disc) * 3.141592653589793));
  ASSERT_NE(v, numerator / (disc * 3.14159265f));
  EXPECT_EQ(shown(1, 1)[0], v);
  EXPECT_EQ(shown(1, 1)[1], v);
  EXPECT_EQ(shown(1, 1)[2], v);
}

TEST_F(visualize_test, view_9_lights_up_pixels_whose_normal_varied) {
  renderer->sampling_mode = 1;
  host().options.display_scale = 2.0f;
  measurement_point& p = arrays->pixel_points[5];  // pixel (1, 1)
  p.pixel_x = 1;
  p.pixel_y = 1;
  p.radiance[1] = 0.5f;
  p.normal_deviation = -3.0f;
  renderer->visualize(scene(), 9, 2);
  // t = 2 |-3 / 3| / 2 = 1, added to each channel with the radiance.
  EXPECT_EQ(shown(1, 1)[0], framebuffer(1, 1, 0) + 1.0f);
  EXPECT_EQ(shown(1, 1)[1], framebuffer(1, 1, 1) + 1.5f);
  EXPECT_EQ(shown(2, 1)[0], framebuffer(2, 1, 0));

  // The radiance and t are summed before they meet the pixel: t = 2 x 1.5e-8 = 3e-8 here.
  arrays->pixel(1, 1)[2] = 1.0f;
  host().options.display_scale = 1.0f;
  p.radiance[2] = 3e-8f;
  p.normal_deviation = 4.5e-8f;
  renderer->visualize(scene(), 9, 2);
  const float t = 2.0f * std::fabs(4.5e-8f / 3.0f);
  ASSERT_EQ((1.0f + 3e-8f) + t, 1.0f);
  EXPECT_EQ(shown(1, 1)[2], 1.0f + (3e-8f + t));
  EXPECT_GT(shown(1, 1)[2], 1.0f);
}

// --- Run-time keys ------------------------------------------------------------------------

class poll_input_test : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    renderer->iteration = 6;
  }

  bool poll(uint32_t type, uint32_t key = 0) {
    host().events.push_back({type, key});
    return renderer->poll_input(scene(), &mode);
  }

  int32_t mode = 4;
};

TEST_F(poll_input_test, no_pending_event_keeps_rendering_and_changes_nothing) {
  EXPECT_TRUE(renderer->poll_input(scene(), &mode));
  EXPECT_EQ(mode, 4);
  EXPECT_FALSE(renderer->smooth);
  EXPECT_EQ(renderer->iteration, 6);
  EXPECT_TRUE(host().messages.empty());
  EXPECT_EQ(host().count_calls("qor_output_check_input"), 1);
}

TEST_F(poll_input_test, digit_keys_choose_the_view) {
  for (uint32_t key = '0'; key <= '9'; ++key) {
    EXPECT_TRUE(poll(qor_event_key, key));
    EXPECT_EQ(mode, static_cast<int32_t>(key - '0'));
  }
}

TEST_F(poll_input_test, r_and_minus_reset_the_points_and_the_iteration) {
  for (uint32_t key : {'r', '-'}) {
    renderer->iteration = 6;
    EXPECT_TRUE(poll(qor_event_key, key));
    EXPECT_EQ(renderer->iteration, 0);
    EXPECT_EQ(mode, 4);
  }
  EXPECT_EQ(host().texts("info"), (std::vector<std::string>{"Reset points\n", "Reset points\n"}));
}

TEST_F(poll_input_test, s_toggles_smoothing) {
  EXPECT_TRUE(poll(qor_event_key, 's'));
  EXPECT_TRUE(renderer->smooth);
  EXPECT_TRUE(poll(qor_event_key, 's'));
  EXPECT_FALSE(renderer->smooth);
}

TEST_F(poll_input_test, other_keys_and_other_event_types_change_nothing) {
  for (uint32_t key : {'.', '/', ':', 'R', 'S', 'q', ' '}) {
    EXPECT_TRUE(poll(qor_event_key, key)) << key;
  }
  EXPECT_TRUE(poll(2, '5'));  // not a key press, whatever its code
  EXPECT_TRUE(poll(0, 'r'));
  EXPECT_EQ(mode, 4);
  EXPECT_FALSE(renderer->smooth);
  EXPECT_EQ(renderer->iteration, 6);
  EXPECT_TRUE(host().messages.empty());
}

TEST_F(poll_input_test, the_end_event_stops_the_render_and_one_event_is_taken_per_call) {
  host().events.push_back({qor_event_end, 0});
  host().events.push_back({qor_event_key, '7'});
  EXPECT_FALSE(renderer->poll_input(scene(), &mode));
  EXPECT_EQ(mode, 4);
  EXPECT_EQ(host().events.size(), 1u);
  EXPECT_TRUE(renderer->poll_input(scene(), &mode));
  EXPECT_EQ(mode, 7);
}

}  // namespace
