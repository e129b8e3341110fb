#include <array>
#include <cmath>
#include <cstring>

#include "tests/module/module_test.h"
#include "tests/module/render_arrays.h"

namespace {

using rgb = std::array<float, 3>;

void set(float (&field)[3], rgb v) {
  std::copy(v.begin(), v.end(), field);
}

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
    p.pixel_x = x;
    p.pixel_y = y;
    return p;
  }

  // The image the last view showed, one of its pixels, and a pixel of the accumulation image.
  const std::vector<float>& shown() const { return host().shown_pixels.back(); }
  rgb shown(int x, int y) const {
    const float* p = shown().data() + 3 * (y * 4 + x);
    return {p[0], p[1], p[2]};
  }
  rgb accumulated(int x, int y) {
    const float* p = arrays->pixel(x, y);
    return {p[0], p[1], p[2]};
  }
  rgb accumulated_plus(int x, int y, rgb v) {
    rgb a = accumulated(x, y);
    for (int c = 0; c < 3; ++c) a[c] += v[c];
    return a;
  }

  const std::vector<float> black = std::vector<float>(36, 0.0f);
  std::unique_ptr<render_arrays> arrays;
  std::vector<uint32_t> output_words;
};

TEST_F(visualize_test, a_view_announces_itself_writes_the_header_and_is_shown) {
  renderer->visualize(scene(), 3, 4);
  EXPECT_EQ(host().texts("sprint").at(0), "[5] Visualize 3\n");
  const qorImage_block& block = *renderer->output_block;
  EXPECT_EQ((std::array<int32_t, 4>{block.x0, block.y0, block.width, block.height}),
            (std::array<int32_t, 4>{0, 0, 4, 3}));
  EXPECT_EQ(host().shown_blocks, std::vector<qorImage_block*>{renderer->output_block});
}

TEST_F(visualize_test, view_0_adds_the_points_radiance_to_the_accumulation_image) {
  measurement_point& a = add_point(1, 2);
  set(a.radiance, {1.0f, 2.0f, 4.0f});
  a.light_radiance[0] = 100.0f;  // not shown without the light irradiance step
  add_point(1, 2).radiance[0] = 0.5f;
  renderer->visualize(scene(), 0, 1);
  EXPECT_EQ(shown(1, 2), accumulated_plus(1, 2, {1.5f, 2.0f, 4.0f}));
  EXPECT_EQ(shown(2, 1), accumulated(2, 1));

  // With light irradiance, radiance + light radiance is one sum before it meets the pixel: each
  // half alone is below half an ulp of 1, their sum is not.
  renderer->light_irradiance = true;
  arrays->pixel(3, 0)[0] = 1.0f;
  measurement_point& p = add_point(3, 0);
  p.radiance[0] = 3e-8f;
  set(p.light_radiance, {3e-8f, 0.0f, 2.0f});
  renderer->visualize(scene(), 0, 1);
  ASSERT_EQ((1.0f + 3e-8f) + 3e-8f, 1.0f);
  EXPECT_EQ(shown(3, 0), accumulated_plus(3, 0, {3e-8f + 3e-8f, 0.0f, 2.0f}));
  EXPECT_GT(shown(3, 0)[0], 1.0f);
}

TEST_F(visualize_test, with_a_new_eye_pass_per_iteration_the_per_pixel_records_are_painted) {
  renderer->sampling_mode = 1;
  add_point(0, 0).radiance[0] = 50.0f;  // a point of the pass, not shown by views 0 and 6
  measurement_point& record = arrays->pixel_points[6];  // pixel (2, 1)
  record.pixel_x = 2;
  record.pixel_y = 1;
  record.radiance[1] = 3.0f;
  measurement_point& last = arrays->pixel_points[11];
  last.pixel_x = 3;
  last.pixel_y = 2;
  last.smoothed_radiance[2] = 0.75f;
  renderer->visualize(scene(), 0, 2);
  EXPECT_EQ(shown(0, 0), accumulated(0, 0));
  EXPECT_EQ(shown(2, 1), accumulated_plus(2, 1, {0.0f, 3.0f, 0.0f}));
  renderer->visualize(scene(), 6, 2);
  EXPECT_EQ(shown(3, 2), (rgb{0.0f, 0.0f, 0.75f}));
  EXPECT_EQ(shown(0, 0), (rgb{0.0f, 0.0f, 0.0f}));
}

TEST_F(visualize_test, views_1_2_and_0_without_points) {
  const std::vector<float> accumulation(arrays->pixels(), arrays->pixels() + 36);
  renderer->visualize(scene(), 1, 1);
  EXPECT_EQ(shown(), black);
  renderer->visualize(scene(), 0, 1);
  EXPECT_EQ(shown(), accumulation);

  add_point(2, 2).radiance[2] = 0.125f;
  renderer->visualize(scene(), 1, 1);
  EXPECT_EQ(shown(2, 2), (rgb{0.0f, 0.0f, 0.125f}));
  EXPECT_EQ(shown(1, 1), (rgb{0.0f, 0.0f, 0.0f}));
  renderer->visualize(scene(), 2, 1);
  EXPECT_EQ(shown(), accumulation);
}

TEST_F(visualize_test, views_5_and_past_9_are_black) {
  add_point(1, 1).radiance[0] = 9.0f;
  for (int mode : {5, 10, 11, -1}) {
    renderer->visualize(scene(), mode, 1);
    EXPECT_EQ(shown(), black) << "view " << mode;
  }
}

TEST_F(visualize_test, view_3_shows_radii_relative_to_the_largest_and_red_at_the_lower_bound) {
  host().options.display_scale = 2.0f;
  renderer->sampling_mode = 1;  // view 3 paints the pass's points whatever the scheme
  const float radii[4][2] = {{0.7f, 0.1f}, {0.13f, 0.13f}, {0.6f, 0.1f}, {0.2f, 0.1f}};
  const int columns[4] = {0, 1, 2, 2};  // the last record replaces the one before on its pixel
  for (int k = 0; k < 4; ++k) {
    measurement_point& p = add_point(columns[k], 0);
    p.radius = radii[k][0];
    p.min_radius = radii[k][1];
  }
  renderer->visualize(scene(), 3, 1);

  EXPECT_EQ(host().texts("sprint").at(1), "max radius = 0.7\n");
  const float inverse = 1.0f / (0.7f * 2.0f);
  ASSERT_NE(0.13f * inverse, 0.13f / (0.7f * 2.0f));  // the reciprocal is formed once
  EXPECT_EQ(shown(0, 0), (rgb{0.5f, 0.5f, 0.5f}));    // the largest: 1 / display_scale
  EXPECT_EQ(shown(1, 0), (rgb{10.0f, 0.13f * inverse, 0.13f * inverse}));
  EXPECT_EQ(shown(2, 0), (rgb{0.2f * inverse, 0.2f * inverse, 0.2f * inverse}));
  EXPECT_EQ(shown(3, 0), (rgb{0.0f, 0.0f, 0.0f}));

  renderer->point_count = 0;
  renderer->visualize(scene(), 3, 1);
  EXPECT_EQ(host().texts("sprint").back(), "max radius = 0\n");
  EXPECT_EQ(shown(), black);
}

TEST_F(visualize_test, view_4_scales_the_pass_flux_by_the_disc_and_one_over_pi_squared) {
  measurement_point& p = add_point(1, 2);
  p.radius = 0.0684799999f;
  set(p.pass_flux, {1.0f, 2.0f, 0.5f});
  renderer->visualize(scene(), 4, 1);
  const float per_area = 1.0f / (p.radius * p.radius);
  const float k = static_cast<float>(static_cast<double>(per_area) * 0.10132118364233779);
  ASSERT_NE(k, per_area * 0.10132118f);  // the product is taken in double
  EXPECT_EQ(shown(1, 2), (rgb{k, 2.0f * k, 0.5f * k}));

  // Before the first iteration has completed the flux is in units of the emitter weight.
  renderer->visualize(scene(), 4, 0);
  EXPECT_EQ(shown(1, 2)[0],
            static_cast<float>(static_cast<double>(0.25f * per_area) * 0.10132118364233779));
}

TEST_F(visualize_test, view_7_is_the_standard_deviation_over_the_iterations) {
  add_point(3, 1).variance_sum = 9.0f;
  renderer->visualize(scene(), 7, 4);
  EXPECT_EQ(shown(3, 1), (rgb{1.5f, 1.5f, 1.5f}));
  EXPECT_EQ(shown(0, 0), (rgb{0.0f, 0.0f, 0.0f}));
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
  set(p.offset_sum, {0.3f, -0.2f, 0.7f});
  renderer->visualize(scene(), 8, 3);

  EXPECT_EQ(shown(0, 1), (rgb{0.0f, 0.0f, 0.0f}));  // ten photons or fewer: black
  const float q = static_cast<float>(0.1 / 5.75);
  ASSERT_NE(q, 0.1f / 5.75f);
  const float numerator = (0.3f * 0.3f + -0.2f * -0.2f + 0.7f * 0.7f) * q;
  const float disc = 17.0f * (0.0562f * 0.0562f);
  const float v = static_cast<float>(static_cast<double>(numerator) /
                                     (static_cast<double>(disc) * 3.141592653589793));
  ASSERT_NE(v, numerator / (disc * 3.14159265f));
  EXPECT_EQ(shown(1, 1), (rgb{v, v, v}));
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
  EXPECT_EQ(shown(1, 1), accumulated_plus(1, 1, {1.0f, 1.5f, 1.0f}));
  EXPECT_EQ(shown(2, 1), accumulated(2, 1));

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

  // Nothing the keys change has changed.
  void expect_untouched() {
    EXPECT_EQ(mode, 4);
    EXPECT_FALSE(renderer->smooth);
    EXPECT_EQ(renderer->iteration, 6);
    EXPECT_TRUE(host().messages.empty());
  }

  int32_t mode = 4;
};

TEST_F(poll_input_test, no_pending_event_keeps_rendering_and_changes_nothing) {
  EXPECT_TRUE(renderer->poll_input(scene(), &mode));
  expect_untouched();
  EXPECT_EQ(host().count_calls("qor_output_check_input"), 1);
}

TEST_F(poll_input_test, other_keys_and_other_event_types_change_nothing) {
  for (uint32_t key : {'.', '/', ':', 'R', 'S', 'q', ' '}) EXPECT_TRUE(poll(qor_event_key, key));
  EXPECT_TRUE(poll(2, '5'));  // not a key press, whatever its code
  EXPECT_TRUE(poll(0, 'r'));
  expect_untouched();
}

TEST_F(poll_input_test, digits_choose_the_view_s_toggles_smoothing_r_and_minus_reset) {
  for (uint32_t key = '0'; key <= '9'; ++key) {
    EXPECT_TRUE(poll(qor_event_key, key));
    EXPECT_EQ(mode, static_cast<int32_t>(key - '0'));
  }
  EXPECT_TRUE(poll(qor_event_key, 's'));
  EXPECT_TRUE(renderer->smooth);
  EXPECT_TRUE(poll(qor_event_key, 's'));
  EXPECT_FALSE(renderer->smooth);
  for (uint32_t key : {'r', '-'}) {
    renderer->iteration = 6;
    EXPECT_TRUE(poll(qor_event_key, key));
    EXPECT_EQ(renderer->iteration, 0);
  }
  EXPECT_EQ(mode, 9);
  EXPECT_EQ(host().texts("info"), (std::vector<std::string>{"Reset points\n", "Reset points\n"}));
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
