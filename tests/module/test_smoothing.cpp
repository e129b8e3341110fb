#include <cmath>
#include <string>
#include <vector>

#include "tests/module/module_test.h"

namespace {

class smoothing_test : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    renderer->iteration = 1;
  }

  // An image of records on one surface (normal +z); red radiance v, green 2v, blue 3v.
  void use_image(int width, int height, const std::vector<float>& radiance = {},
                 const std::vector<float>& counts = {}) {
    renderer->width = width;
    renderer->height = height;
    records.assign(static_cast<size_t>(width) * height, measurement_point{});
    for (size_t i = 0; i < records.size(); ++i) {
      records[i].normal[2] = 1.0f;
      const float v = i < radiance.size() ? radiance[i] : 0.0f;
      for (int c = 0; c < 3; ++c) records[i].radiance[c] = v * static_cast<float>(c + 1);
      records[i].photon_count = i < counts.size() ? counts[i] : 0.0f;
    }
    renderer->pixel_points = records.data();
  }
  measurement_point& at(int x, int y) { return records[y * renderer->width + x]; }
  static void set_smoothed(measurement_point& r, float v) {
    std::fill(r.smoothed_radiance, r.smoothed_radiance + 3, v);
  }
  // Another surface: a normal whose cosine with +z is exactly 0.8.
  static void tilt(measurement_point& r) {
    r.normal[0] = 0.6f;
    r.normal[2] = 0.8f;
  }

  // The Gaussian mean of the red radiance of the given records of a row, seen from column x0.
  double gaussian_mean(int x0, const std::vector<int>& columns) const {
    double sum = 0.0, weights = 0.0;
    for (int x : columns) {
      const double w = std::exp(-static_cast<double>((x - x0) * (x - x0)) / 64.0);
      sum += w * records[x].radiance[0];
      weights += w;
    }
    return sum / weights;
  }

  std::vector<measurement_point> records;
};

TEST_F(smoothing_test, nothing_happens_before_the_first_pass_is_complete) {
  use_image(2, 2, {4, 4, 4, 4}, {10, 10, 10, 10});
  for (measurement_point& r : records) set_smoothed(r, 7.0f);
  renderer->iteration = 0;
  renderer->smooth_points(2);
  renderer->smooth_points_2();
  renderer->smooth_pass(0, false);
  EXPECT_TRUE(host().messages.empty());
  EXPECT_TRUE(records[3].smoothed_radiance[0] == 7.0f && records[3].smoothing_input[0] == 0.0f);
}

TEST_F(smoothing_test, gaussian_takes_records_of_equal_density_only_when_four_qualify) {
  // Against 100 photons, 174 still agrees and 175 (a relative difference of exactly 0.25) does
  // not; 0 and 1000 never do. Column 5 lies on another surface; column 4 has no photons.
  use_image(8, 1, {1, 2, 3, 4, 5, 6, 7, 8}, {100, 100, 174, 100, 0, 0, 1000, 0});
  tilt(records[5]);
  renderer->smooth_points(1);
  double expected = gaussian_mean(0, {0, 1, 2, 3});
  EXPECT_NEAR(records[0].smoothed_radiance[0], expected, 1e-5 * expected);
  EXPECT_NEAR(records[0].smoothed_radiance[2], 3.0 * expected, 3e-5 * expected);
  EXPECT_EQ(records[0].radiance[0], 1.0f);
  EXPECT_EQ(host().texts(), std::vector<std::string>{"Smooth measurement points\n"});
  // A record without photons takes every record of its surface.
  expected = gaussian_mean(4, {0, 1, 2, 3, 4, 6, 7});
  EXPECT_NEAR(records[4].smoothed_radiance[0], expected, 1e-5 * expected);

  // With three the window is gathered again by the normal test alone.
  records[2].photon_count = 175.0f;
  renderer->smooth_points(1);
  expected = gaussian_mean(0, {0, 1, 2, 3, 4, 6, 7});
  EXPECT_NEAR(records[0].smoothed_radiance[0], expected, 1e-5 * expected);

  // The window reaches sixteen pixels along rows and columns, and not seventeen.
  for (const bool row : {true, false}) {
    use_image(row ? 18 : 1, row ? 1 : 18);
    records[17].radiance[0] = 1000.0f;
    renderer->smooth_points(renderer->height);
    EXPECT_EQ(records[0].smoothed_radiance[0], 0.0f);
    records[16].radiance[0] = 1000.0f;
    renderer->smooth_points(renderer->height);
    double weights = 0.0;
    for (int d = 0; d <= 16; ++d) weights += std::exp(-d * d / 64.0);
    expected = 1000.0 * std::exp(-4.0) / weights;
    EXPECT_NEAR(records[0].smoothed_radiance[0], expected, 1e-5 * expected) << row;
  }
}

TEST_F(smoothing_test, each_pass_is_one_simultaneous_five_point_step_of_one_surface) {
  use_image(3, 3, {0, 0, 0, 0, 9, 0, 0, 0, 0});
  tilt(at(0, 1));
  at(2, 0) = measurement_point{};  // a record without a point stays black, nobody's neighbour
  set_smoothed(at(2, 0), 7.0f);
  renderer->smooth_pass(0, false);
  EXPECT_EQ(at(1, 1).smoothing_input[0], 9.0f);
  EXPECT_FLOAT_EQ(at(1, 1).smoothed_radiance[0], 9.0f / 4.0f);  // left neighbour left out
  EXPECT_FLOAT_EQ(at(1, 0).smoothed_radiance[0], 9.0f / 3.0f);  // so is the empty record
  EXPECT_FLOAT_EQ(at(2, 1).smoothed_radiance[1], 18.0f / 3.0f);
  EXPECT_EQ(at(0, 0).smoothed_radiance[0], 0.0f);  // corners see only the old centre
  EXPECT_EQ(rgb(at(2, 0).smoothed_radiance), std::vector<float>(3, 0.0f));

  renderer->smooth_pass(1, false);  // from the result of pass 0
  EXPECT_FLOAT_EQ(at(2, 2).smoothed_radiance[0], (3.0f + 2.25f) / 3.0f);
  EXPECT_EQ(at(1, 1).radiance[0], 9.0f);
  EXPECT_EQ(host().texts(),
            (std::vector<std::string>{"Smooth measurement points (iteration 0) [3 x 3]\n", "+",
                                      "Smooth measurement points (iteration 1) [3 x 3]\n", "+"}));

  // Restricted passes: detail records (limit 1) average among themselves in passes 0 and 1 only.
  use_image(4, 1, {3, 0, 0, 100});
  const int limit[4] = {1, 1, 1, 32};
  for (int x = 0; x < 4; ++x) records[x].smoothing_limit = limit[x];
  for (int k = 0; k < 32; ++k) renderer->smooth_pass(k, true);
  // Pass 0 gives 1.5, 1, 0; pass 1 the values below; later passes leave them alone.
  EXPECT_FLOAT_EQ(records[0].smoothed_radiance[0], 1.25f);
  EXPECT_FLOAT_EQ(records[1].smoothed_radiance[0], 2.5f / 3.0f);
  EXPECT_FLOAT_EQ(records[2].smoothed_radiance[0], 0.5f);
  EXPECT_EQ(records[3].smoothed_radiance[0], 100.0f);
}

TEST_F(smoothing_test, classification_looks_right_and_down_for_photons_one_surface_and_5_percent) {
  use_image(2, 2, {}, {10, 10, 10, 10});
  for (measurement_point& r : records) set_smoothed(r, 1.0f);
  set_smoothed(at(1, 1), 2.0f);
  renderer->classify_points();
  // The last column and row have one neighbour to test; the last record none.
  EXPECT_EQ((std::vector<int>{at(0, 0).smoothing_limit, at(1, 0).smoothing_limit,
                              at(0, 1).smoothing_limit, at(1, 1).smoothing_limit}),
            (std::vector<int>{32, 1, 1, 32}));

  const struct {
    float own_count, other_count, other_value;
    bool other_surface;
    int limit;
  } cases[] = {{10, 10, 1.10f, false, 32}, {10, 10, 1.12f, false, 1}, {2, 10, 1.5f, false, 32},
               {10, 2, 1.5f, false, 32},   {3, 3, 1.5f, false, 1},    {10, 10, 1.5f, true, 32}};
  for (const auto& c : cases) {
    use_image(2, 1, {}, {c.own_count, c.other_count});
    set_smoothed(records[0], 1.0f);
    set_smoothed(records[1], c.other_value);
    if (c.other_surface) tilt(records[1]);
    renderer->classify_points();
    EXPECT_EQ(records[0].smoothing_limit, c.limit) << c.own_count << " " << c.other_value;
    EXPECT_EQ(records[1].smoothing_limit, 32);
  }
}

TEST_F(smoothing_test, the_second_series_smooths_the_estimate_again_within_each_kind) {
  // A step in one row: the first series blurs it, the classification marks the records around
  // the step as detail, and the second series starts again from the unblurred estimate.
  std::vector<float> step(40, 0.1f);
  std::fill(step.begin() + 20, step.end(), 1.0f);
  use_image(40, 1, step, std::vector<float>(40, 10.0f));
  renderer->smooth_points_2();
  for (int x : {18, 19, 20, 21}) EXPECT_EQ(records[x].smoothing_limit, 1) << x;
  for (int x : {0, 5, 22, 30, 39}) EXPECT_EQ(records[x].smoothing_limit, 32) << x;
  // Two passes over the detail records alone (column 22 is smooth and left out).
  EXPECT_FLOAT_EQ(records[18].smoothed_radiance[0], 0.2f);
  EXPECT_FLOAT_EQ(records[19].smoothed_radiance[0], 0.4f);
  EXPECT_FLOAT_EQ(records[20].smoothed_radiance[0], 0.7f);
  EXPECT_FLOAT_EQ(records[21].smoothed_radiance[2], 2.55f);
  EXPECT_FLOAT_EQ(records[22].smoothed_radiance[0], 1.0f);

  std::vector<std::string> expected{"Smooth measurement points 2\n"};
  for (int k = 0; k < 64; ++k) {
    expected.push_back("Smooth measurement points (iteration " + std::to_string(k % 32) +
                       ") [40 x 1]\n");
    expected.push_back("+");
  }
  EXPECT_EQ(host().texts(), expected);
}

}  // namespace
