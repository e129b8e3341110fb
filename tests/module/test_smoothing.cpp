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

  // An image of records that all lie on one surface (normal +z) without light.
  void use_image(int width, int height) {
    renderer->width = width;
    renderer->height = height;
    records.assign(static_cast<size_t>(width) * height, measurement_point{});
    for (measurement_point& r : records) r.normal[2] = 1.0f;
    renderer->pixel_points = records.data();
  }

  measurement_point& at(int x, int y) { return records[y * renderer->width + x]; }

  static void set_radiance(measurement_point& r, float value) {
    r.radiance[0] = value;
    r.radiance[1] = 2.0f * value;
    r.radiance[2] = 3.0f * value;
  }
  static void set_smoothed(measurement_point& r, float value) {
    for (float& c : r.smoothed_radiance) c = value;
  }
  static void set_normal(measurement_point& r, float x, float y, float z) {
    r.normal[0] = x;
    r.normal[1] = y;
    r.normal[2] = z;
  }

  // The Gaussian mean of the red radiance of the records of one row at the given columns, seen
  // from column x0: the value the smoother must produce, independent of the kernel's
  // normalisation.
  double gaussian_mean(int x0, int y, const std::vector<int>& columns) const {
    double sum = 0.0;
    double weights = 0.0;
    for (int x : columns) {
      const double w = std::exp(-static_cast<double>((x - x0) * (x - x0)) / 64.0);
      sum += w * records[y * renderer->width + x].radiance[0];
      weights += w;
    }
    return sum / weights;
  }

  std::vector<measurement_point> records;
};

TEST_F(smoothing_test, nothing_happens_before_the_first_pass_is_complete) {
  use_image(3, 2);
  for (measurement_point& r : records) {
    set_radiance(r, 4.0f);
    set_smoothed(r, 7.0f);
    r.photon_count = 10.0f;
    r.smoothing_limit = 5;
  }
  const std::vector<measurement_point> before = records;
  renderer->iteration = 0;
  renderer->smooth_points(2);
  renderer->smooth_points_2();
  renderer->smooth_pass(0, false);
  renderer->smooth_pass(3, true);
  EXPECT_TRUE(host().messages.empty());
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].smoothed_radiance[0], 7.0f);
    EXPECT_EQ(records[i].smoothing_input[0], 0.0f);
    EXPECT_EQ(records[i].smoothing_limit, 5);
  }
}

// --- Gaussian smoothing -------------------------------------------------------------------------

TEST_F(smoothing_test, gaussian_smoothing_takes_the_neighbours_of_equal_density_when_four_qualify) {
  use_image(8, 1);
  const float counts[8] = {100, 100, 174, 100, 0, 0, 1000, 0};
  for (int x = 0; x < 8; ++x) {
    set_radiance(at(x, 0), static_cast<float>(x + 1));
    at(x, 0).photon_count = counts[x];
  }
  renderer->smooth_points(1);
  // Columns 0 to 3 agree with column 0 (174 is just inside the density test); 4 to 7 do not.
  const double expected = gaussian_mean(0, 0, {0, 1, 2, 3});
  EXPECT_NEAR(at(0, 0).smoothed_radiance[0], expected, 1e-5 * expected);
  EXPECT_NEAR(at(0, 0).smoothed_radiance[2], 3.0 * expected, 3e-5 * expected);
  EXPECT_EQ(at(0, 0).radiance[0], 1.0f);  // the estimate itself is left alone
  EXPECT_EQ(host().texts(), std::vector<std::string>{"Smooth measurement points\n"});
}

TEST_F(smoothing_test, gaussian_smoothing_falls_back_to_the_normal_test_with_fewer_than_four) {
  use_image(8, 1);
  const float counts[8] = {100, 100, 175, 100, 0, 0, 1000, 0};
  for (int x = 0; x < 8; ++x) {
    set_radiance(at(x, 0), static_cast<float>(x + 1));
    at(x, 0).photon_count = counts[x];
  }
  set_normal(at(5, 0), 0.6f, 0.0f, 0.8f);  // cosine exactly 0.8: another surface
  renderer->smooth_points(1);
  // 175 against 100 is a relative difference of exactly 0.25, which no longer agrees, so only
  // three records qualify and the window is taken again by the normal test alone.
  const double expected = gaussian_mean(0, 0, {0, 1, 2, 3, 4, 6, 7});
  EXPECT_NEAR(at(0, 0).smoothed_radiance[0], expected, 1e-5 * expected);
}

TEST_F(smoothing_test, a_record_without_photons_takes_every_neighbour_of_its_surface) {
  use_image(5, 1);
  const float counts[5] = {0, 0, 3, 50, 1000};
  for (int x = 0; x < 5; ++x) {
    set_radiance(at(x, 0), static_cast<float>(x + 1));
    at(x, 0).photon_count = counts[x];
  }
  renderer->smooth_points(1);
  const double all = gaussian_mean(0, 0, {0, 1, 2, 3, 4});
  EXPECT_NEAR(at(0, 0).smoothed_radiance[0], all, 1e-5 * all);
  // The record with 1000 photons agrees with none of the others, so it falls back to all five.
  const double from_last = gaussian_mean(4, 0, {0, 1, 2, 3, 4});
  EXPECT_NEAR(at(4, 0).smoothed_radiance[0], from_last, 1e-5 * from_last);
}

TEST_F(smoothing_test, the_gaussian_window_reaches_sixteen_pixels_in_both_directions) {
  for (const bool across : {true, false}) {
    SCOPED_TRACE(across ? "row" : "column");
    const int width = across ? 18 : 1;
    const int height = across ? 1 : 18;
    use_image(width, height);
    measurement_point& far = across ? at(17, 0) : at(0, 17);
    measurement_point& edge_of_window = across ? at(16, 0) : at(0, 16);
    set_radiance(far, 1000.0f);
    renderer->smooth_points(height);
    EXPECT_EQ(records[0].smoothed_radiance[0], 0.0f);

    set_radiance(edge_of_window, 1000.0f);
    renderer->smooth_points(height);
    double weights = 0.0;
    for (int d = 0; d <= 16; ++d) weights += std::exp(-d * d / 64.0);
    const double expected = 1000.0 * std::exp(-256.0 / 64.0) / weights;
    EXPECT_NEAR(records[0].smoothed_radiance[0], expected, 1e-5 * expected);
  }
}

TEST_F(smoothing_test, a_record_without_a_point_smooths_to_black_and_is_nobodys_neighbour) {
  use_image(3, 3);
  for (measurement_point& r : records) {
    set_radiance(r, 5.0f);
    r.photon_count = 10.0f;
  }
  at(1, 1) = measurement_point{};
  set_smoothed(at(1, 1), 7.0f);
  renderer->smooth_points(3);
  EXPECT_EQ(at(1, 1).smoothed_radiance[0], 0.0f);
  EXPECT_EQ(at(1, 1).smoothed_radiance[2], 0.0f);
  EXPECT_NEAR(at(0, 0).smoothed_radiance[0], 5.0f, 5e-6f);

  for (measurement_point& r : records) set_smoothed(r, 7.0f);
  renderer->smooth_pass(0, false);
  EXPECT_EQ(at(1, 1).smoothed_radiance[0], 0.0f);
  EXPECT_EQ(at(1, 0).smoothed_radiance[0], 5.0f);  // (5 + 5 + 5) / 3, the empty record left out
  renderer->smooth_pass(1, false);
  EXPECT_EQ(at(1, 1).smoothed_radiance[0], 0.0f);
}

// --- Five-point passes --------------------------------------------------------------------------

TEST_F(smoothing_test, each_pass_is_one_simultaneous_five_point_step) {
  use_image(3, 3);
  set_radiance(at(1, 1), 9.0f);
  renderer->smooth_pass(0, false);
  EXPECT_EQ(at(1, 1).smoothing_input[0], 9.0f);
  EXPECT_FLOAT_EQ(at(1, 1).smoothed_radiance[0], 9.0f / 5.0f);
  EXPECT_FLOAT_EQ(at(1, 0).smoothed_radiance[0], 9.0f / 4.0f);  // above, left, right of centre
  EXPECT_FLOAT_EQ(at(0, 1).smoothed_radiance[0], 9.0f / 4.0f);
  EXPECT_FLOAT_EQ(at(2, 1).smoothed_radiance[1], 18.0f / 4.0f);
  EXPECT_EQ(at(0, 0).smoothed_radiance[0], 0.0f);  // the corners see only the old centre: 0

  renderer->smooth_pass(1, false);  // from the result of pass 0
  EXPECT_FLOAT_EQ(at(0, 0).smoothed_radiance[0], (2.25f + 2.25f) / 3.0f);
  EXPECT_FLOAT_EQ(at(1, 1).smoothed_radiance[0], (1.8f + 4.0f * 2.25f) / 5.0f);
  EXPECT_EQ(at(1, 1).radiance[0], 9.0f);
  EXPECT_EQ(host().texts(),
            (std::vector<std::string>{"Smooth measurement points (iteration 0) [3 x 3]\n", "+",
                                      "Smooth measurement points (iteration 1) [3 x 3]\n", "+"}));
}

TEST_F(smoothing_test, a_neighbour_counts_only_above_a_cosine_of_0_8) {
  use_image(3, 1);
  set_radiance(at(0, 0), 3.0f);
  set_normal(at(0, 0), 0.6f, 0.0f, 0.8f);  // cosine exactly 0.8 with the centre
  set_radiance(at(2, 0), 6.0f);
  set_normal(at(2, 0), 0.59f, 0.0f, 0.81f);
  renderer->smooth_pass(0, false);
  EXPECT_EQ(at(1, 0).smoothed_radiance[0], 3.0f);  // (0 + 6) / 2
}

TEST_F(smoothing_test, a_one_pixel_image_keeps_its_input_and_is_smooth) {
  use_image(1, 1);
  set_radiance(at(0, 0), 2.5f);
  at(0, 0).photon_count = 100.0f;
  renderer->smooth_pass(0, false);
  EXPECT_EQ(at(0, 0).smoothed_radiance[1], 5.0f);
  set_smoothed(at(0, 0), 0.75f);
  renderer->smooth_pass(4, false);
  EXPECT_EQ(at(0, 0).smoothed_radiance[0], 0.75f);
  renderer->classify_points();
  EXPECT_EQ(at(0, 0).smoothing_limit, 32);
}

TEST_F(smoothing_test, detail_records_average_only_among_themselves_and_only_in_two_passes) {
  use_image(4, 1);
  const float radiance[4] = {3.0f, 0.0f, 0.0f, 100.0f};
  const int limit[4] = {1, 1, 1, 32};
  for (int x = 0; x < 4; ++x) {
    set_radiance(at(x, 0), radiance[x]);
    at(x, 0).smoothing_limit = limit[x];
  }
  for (int k = 0; k < 32; ++k) renderer->smooth_pass(k, true);
  // Pass 0: 1.5, 1, 0; pass 1: 1.25, 0.8333, 0.5; later passes leave the detail records alone.
  EXPECT_FLOAT_EQ(at(0, 0).smoothed_radiance[0], 1.25f);
  EXPECT_FLOAT_EQ(at(1, 0).smoothed_radiance[0], 2.5f / 3.0f);
  EXPECT_FLOAT_EQ(at(2, 0).smoothed_radiance[0], 0.5f);
  EXPECT_EQ(at(3, 0).smoothed_radiance[0], 100.0f);
}

// --- Classification -----------------------------------------------------------------------------

TEST_F(smoothing_test, the_last_row_and_column_are_classified_by_their_one_forward_neighbour) {
  use_image(2, 2);
  for (measurement_point& r : records) {
    r.photon_count = 10.0f;
    set_smoothed(r, 1.0f);
  }
  set_smoothed(at(1, 1), 2.0f);
  renderer->classify_points();
  EXPECT_EQ(at(0, 0).smoothing_limit, 32);  // same as its right and lower neighbours
  EXPECT_EQ(at(1, 0).smoothing_limit, 1);   // last column: its lower neighbour differs
  EXPECT_EQ(at(0, 1).smoothing_limit, 1);   // last row: its right neighbour differs
  EXPECT_EQ(at(1, 1).smoothing_limit, 32);  // last row and column: no neighbour is tested
}

TEST_F(smoothing_test, an_edge_needs_photons_on_both_sides_one_surface_and_five_percent) {
  use_image(2, 1);
  struct edge_case {
    const char* what;
    float own_count, other_count, other_value;
    bool turned;
    int limit;
  };
  const edge_case cases[] = {
      {"4.8 percent apart", 10, 10, 1.10f, false, 32},
      {"5.7 percent apart", 10, 10, 1.12f, false, 1},
      {"own count 2", 2, 10, 1.5f, false, 32},
      {"other count 2", 10, 2, 1.5f, false, 32},
      {"counts 3", 3, 3, 1.5f, false, 1},
      {"another surface", 10, 10, 1.5f, true, 32},
  };
  for (const edge_case& c : cases) {
    SCOPED_TRACE(c.what);
    at(0, 0).photon_count = c.own_count;
    at(1, 0).photon_count = c.other_count;
    set_smoothed(at(0, 0), 1.0f);
    set_smoothed(at(1, 0), c.other_value);
    if (c.turned) {
      set_normal(at(1, 0), 1.0f, 0.0f, 0.0f);
    } else {
      set_normal(at(1, 0), 0.0f, 0.0f, 1.0f);
    }
    renderer->classify_points();
    EXPECT_EQ(at(0, 0).smoothing_limit, c.limit);
    EXPECT_EQ(at(1, 0).smoothing_limit, 32);  // its left neighbour is never tested
  }
}

// --- Both series --------------------------------------------------------------------------------

TEST_F(smoothing_test, two_series_print_a_header_and_sixty_four_passes) {
  use_image(2, 1);
  renderer->smooth_points_2();
  std::vector<std::string> expected{"Smooth measurement points 2\n"};
  for (int series = 0; series < 2; ++series) {
    for (int k = 0; k < 32; ++k) {
      expected.push_back("Smooth measurement points (iteration " + std::to_string(k) +
                         ") [2 x 1]\n");
      expected.push_back("+");
    }
  }
  EXPECT_EQ(host().texts("sprint"), expected);
  EXPECT_EQ(host().texts().size(), expected.size());
}

}  // namespace

TEST_F(smoothing_test, the_second_series_smooths_the_estimate_again_within_each_kind) {
  // A step in one row: the first series blurs it, the classification marks the records around
  // the step as detail, and the second series starts again from the unblurred estimate.
  use_image(40, 1);
  for (int x = 0; x < 40; ++x) {
    set_radiance(at(x, 0), x < 20 ? 0.1f : 1.0f);
    at(x, 0).photon_count = 10.0f;
  }
  renderer->smooth_points_2();
  for (int x = 18; x <= 21; ++x) EXPECT_EQ(at(x, 0).smoothing_limit, 1) << x;
  for (int x : {0, 5, 22, 30, 39}) EXPECT_EQ(at(x, 0).smoothing_limit, 32) << x;
  // Two passes over the detail records alone (column 22 is smooth and left out):
  // pass 0 gives 0.1, 0.4, 0.7, 1.0 and pass 1 the values below.
  EXPECT_FLOAT_EQ(at(18, 0).smoothed_radiance[0], 0.2f);
  EXPECT_FLOAT_EQ(at(19, 0).smoothed_radiance[0], 0.4f);
  EXPECT_FLOAT_EQ(at(20, 0).smoothed_radiance[0], 0.7f);
  EXPECT_FLOAT_EQ(at(21, 0).smoothed_radiance[0], 0.85f);
  EXPECT_FLOAT_EQ(at(21, 0).smoothed_radiance[2], 2.55f);
  // The smooth records on either side see only their own level.
  EXPECT_FLOAT_EQ(at(22, 0).smoothed_radiance[0], 1.0f);
  EXPECT_FLOAT_EQ(at(5, 0).smoothed_radiance[0], 0.1f);
}
