#include <array>
#include <cmath>

#include "tests/module/module_test.h"
#include "tests/module/render_arrays.h"

namespace {

using rgb3 = std::array<float, 3>;

// Views of a 4 x 3 image whose accumulation image holds 1, 1.5, 2, ... and whose output block
// starts as NaN everywhere.
class visualize_test : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    create(default_parameters());
    renderer->sampling_mode = 0;  // views paint `points` unless a test says otherwise
    arrays = std::make_unique<render_arrays>(*renderer, 4, 3, 1);
    output_words.assign(qorImage_block::bytes(4, 3) / 4, 0x7fc00000u);
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
  // A pixel of the image the last view showed, and the accumulation image plus v.
  rgb3 shown(int x, int y) const {
    const float* p = host().shown_pixels.back().data() + 3 * (y * 4 + x);
    return {p[0], p[1], p[2]};
  }
  rgb3 accumulated(int x, int y, rgb3 v = {}) {
    const float* p = arrays->pixel(x, y);
    return {p[0] + v[0], p[1] + v[1], p[2] + v[2]};
  }
  floats accumulation() { return {arrays->pixels(), arrays->pixels() + 36}; }

  const floats black = floats(36, 0.0f);
  std::unique_ptr<render_arrays> arrays;
  std::vector<uint32_t> output_words;
};

TEST_F(visualize_test, views_without_points_show_the_accumulation_image_or_black) {
  renderer->visualize(scene(), view{3}, 4);
  EXPECT_EQ(host().texts("sprint").at(0), "[5] Visualize 3\n");
  const qorImage_block& block = *renderer->output_block;
  EXPECT_EQ((std::array<int32_t, 4>{block.x0, block.y0, block.width, block.height}),
            (std::array<int32_t, 4>{0, 0, 4, 3}));
  EXPECT_EQ(host().shown_blocks, std::vector<qorImage_block*>{renderer->output_block});
  for (int mode : {0, 2, 9, 1, 4, 5, 6, 7, 8, 10, -1}) {
    renderer->visualize(scene(), view{mode}, 1);
    EXPECT_EQ(host().shown_pixels.back(),
              mode == 0 || mode == 2 || mode == 9 ? accumulation() : black)
        << "view " << mode;
  }
  // Views 2, 5 and past 9 paint no point.
  add_point(1, 1).radiance[0] = 9.0f;
  for (int mode : {2, 5, 10}) {
    renderer->visualize(scene(), view{mode}, 1);
    EXPECT_EQ(host().shown_pixels.back(), mode == 2 ? accumulation() : black) << "view " << mode;
  }
}

TEST_F(visualize_test, views_0_and_1_add_the_points_radiance) {
  measurement_point& a = add_point(1, 2);
  set3(a.radiance, 1.0f, 2.0f, 4.0f);
  a.light_radiance[0] = 100.0f;  // not shown without the light irradiance step
  add_point(1, 2).radiance[0] = 0.5f;
  renderer->visualize(scene(), view{0}, 1);
  EXPECT_EQ(shown(1, 2), accumulated(1, 2, {1.5f, 2.0f, 4.0f}));
  EXPECT_EQ(shown(2, 1), accumulated(2, 1));
  renderer->visualize(scene(), view{1}, 1);
  EXPECT_EQ(shown(1, 2), (rgb3{1.5f, 2.0f, 4.0f}));
  EXPECT_EQ(shown(2, 1), (rgb3{0.0f, 0.0f, 0.0f}));

  // With light irradiance, radiance + light radiance is one sum before it meets the pixel: each
  // half alone is below half an ulp of 1, their sum is not.
  renderer->light_irradiance = true;
  arrays->pixel(3, 0)[0] = 1.0f;
  measurement_point& p = add_point(3, 0);
  p.radiance[0] = p.light_radiance[0] = 3e-8f;
  p.light_radiance[2] = 2.0f;
  renderer->visualize(scene(), view{0}, 1);
  ASSERT_EQ((1.0f + 3e-8f) + 3e-8f, 1.0f);
  EXPECT_EQ(shown(3, 0), accumulated(3, 0, {3e-8f + 3e-8f, 0.0f, 2.0f}));
  EXPECT_GT(shown(3, 0)[0], 1.0f);
}

TEST_F(visualize_test, with_a_new_eye_pass_per_iteration_the_per_pixel_records_are_painted) {
  renderer->sampling_mode = 1;
  add_point(0, 0).radiance[0] = 50.0f;  // a point of the pass, not shown by views 0, 6 and 9
  measurement_point& record = arrays->pixel_points[6];  // pixel (2, 1)
  record.pixel_x = 2;
  record.pixel_y = 1;
  record.radiance[1] = 3.0f;
  record.smoothed_radiance[2] = 0.75f;
  renderer->visualize(scene(), view{0}, 2);
  EXPECT_EQ(shown(0, 0), accumulated(0, 0));
  EXPECT_EQ(shown(2, 1), accumulated(2, 1, {0.0f, 3.0f, 0.0f}));
  renderer->visualize(scene(), view{6}, 2);
  EXPECT_EQ(shown(2, 1), (rgb3{0.0f, 0.0f, 0.75f}));
  EXPECT_EQ(shown(0, 0), (rgb3{0.0f, 0.0f, 0.0f}));

  // View 9 lights up pixels whose normal varied: t = 2 |-3 / 3| / 2 = 1 with each channel.
  host().options.display_scale = 2.0f;
  record.normal_deviation = -3.0f;
  renderer->visualize(scene(), view{9}, 2);
  EXPECT_EQ(shown(2, 1), accumulated(2, 1, {1.0f, 4.0f, 1.0f}));
  EXPECT_EQ(shown(0, 0), accumulated(0, 0));
  // The radiance and t are summed before they meet the pixel: t = 2 x 1.5e-8 = 3e-8 here.
  arrays->pixel(2, 1)[2] = 1.0f;
  host().options.display_scale = 1.0f;
  record.radiance[2] = 3e-8f;
  record.normal_deviation = 4.5e-8f;
  renderer->visualize(scene(), view{9}, 2);
  const float t = 2.0f * std::fabs(4.5e-8f / 3.0f);
  ASSERT_EQ((1.0f + 3e-8f) + t, 1.0f);
  EXPECT_EQ(shown(2, 1)[2], 1.0f + (3e-8f + t));
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
  renderer->visualize(scene(), view{3}, 1);
  EXPECT_EQ(host().texts("sprint").at(1), "max radius = 0.7\n");
  const float inverse = 1.0f / (0.7f * 2.0f);
  ASSERT_NE(0.13f * inverse, 0.13f / (0.7f * 2.0f));  // the reciprocal is formed once
  EXPECT_EQ(shown(0, 0), (rgb3{0.5f, 0.5f, 0.5f}));   // the largest: 1 / display_scale
  EXPECT_EQ(shown(1, 0), (rgb3{10.0f, 0.13f * inverse, 0.13f * inverse}));
  EXPECT_EQ(shown(2, 0), (rgb3{0.2f * inverse, 0.2f * inverse, 0.2f * inverse}));
  EXPECT_EQ(shown(3, 0), (rgb3{0.0f, 0.0f, 0.0f}));
  renderer->point_count = 0;
  renderer->visualize(scene(), view{3}, 1);
  EXPECT_EQ(host().texts("sprint").back(), "max radius = 0\n");
}

TEST_F(visualize_test, views_4_7_and_8_show_the_flux_the_deviation_and_the_photon_offsets) {
  measurement_point& p = add_point(1, 2);
  p.radius = 0.0684799999f;
  set3(p.pass_flux, 1.0f, 2.0f, 0.5f);
  renderer->visualize(scene(), view{4}, 1);
  const float per_area = 1.0f / (p.radius * p.radius);
  const float k = static_cast<float>(static_cast<double>(per_area) * 0.10132118364233779);
  ASSERT_NE(k, per_area * 0.10132118f);  // the product is taken in double
  EXPECT_EQ(shown(1, 2), (rgb3{k, 2.0f * k, 0.5f * k}));
  // Before the first iteration has completed the flux is in units of the emitter weight.
  renderer->visualize(scene(), view{4}, 0);
  EXPECT_EQ(shown(1, 2)[0],
            static_cast<float>(static_cast<double>(0.25f * per_area) * 0.10132118364233779));

  add_point(3, 1).variance_sum = 9.0f;  // view 7: the standard deviation over the iterations
  renderer->visualize(scene(), view{7}, 4);
  EXPECT_EQ(shown(3, 1), (rgb3{1.5f, 1.5f, 1.5f}));

  // View 8: the mean photon offset relative to the disc; ten photons or fewer show black.
  host().options.display_scale = 5.75f;
  measurement_point& few = add_point(0, 1);
  few.photon_count = 10.0f;
  few.radius = 0.05f;
  few.offset_sum[0] = 3.0f;
  measurement_point& q = add_point(1, 1);
  q.photon_count = 17.0f;
  q.radius = 0.0562f;
  set3(q.offset_sum, 0.3f, -0.2f, 0.7f);
  renderer->visualize(scene(), view{8}, 3);
  EXPECT_EQ(shown(0, 1), (rgb3{0.0f, 0.0f, 0.0f}));
  const float scale = static_cast<float>(0.1 / 5.75);
  ASSERT_NE(scale, 0.1f / 5.75f);
  const float numerator = (0.3f * 0.3f + -0.2f * -0.2f + 0.7f * 0.7f) * scale;
  const float disc = 17.0f * (0.0562f * 0.0562f);
  const float v = static_cast<float>(static_cast<double>(numerator) /
                                     (static_cast<double>(disc) * 3.141592653589793));
  ASSERT_NE(v, numerator / (disc * 3.14159265f));
  EXPECT_EQ(shown(1, 1), (rgb3{v, v, v}));
}

// --- Run-time keys ------------------------------------------------------------------------

TEST_F(visualize_test, keys_choose_the_view_toggle_smoothing_reset_and_end_the_render) {
  renderer->smooth = false;
  view mode{4};
  auto poll = [&](uint32_t type, uint32_t key) {
    host().events.push_back({type, key});
    return renderer->poll_input(scene(), &mode);
  };
  EXPECT_TRUE(renderer->poll_input(scene(), &mode));  // nothing pending
  for (uint32_t key : {'.', '/', ':', 'R', 'S', 'q', ' '}) EXPECT_TRUE(poll(qor_event_key, key));
  EXPECT_TRUE(poll(2, '5'));  // not a key press, whatever its code
  EXPECT_TRUE(poll(0, 'r'));
  EXPECT_TRUE(mode == view{4} && !renderer->smooth && host().messages.empty());

  for (uint32_t key = '0'; key <= '9'; ++key) {
    EXPECT_TRUE(poll(qor_event_key, key));
    EXPECT_EQ(mode, static_cast<view>(key - '0'));
  }
  EXPECT_TRUE(poll(qor_event_key, 's') && renderer->smooth);
  EXPECT_TRUE(poll(qor_event_key, 's') && !renderer->smooth);
  for (uint32_t key : {'r', '-'}) {
    renderer->iteration = 6;
    EXPECT_TRUE(poll(qor_event_key, key));
    EXPECT_EQ(renderer->iteration, 0);
  }
  EXPECT_EQ(host().texts("info"), strings(2, "Reset points\n"));

  // The end event stops the render; each call takes one event.
  host().events.push_back({qor_event_end, 0});
  EXPECT_FALSE(poll(qor_event_key, '7'));
  EXPECT_EQ(mode, view{9});
  EXPECT_TRUE(renderer->poll_input(scene(), &mode));
  EXPECT_EQ(mode, view{7});
}

}  // namespace
