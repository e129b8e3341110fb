#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/module/module_test.h"

namespace {

// A point with a distinct value in every word, so that a copy into or from the wrong field shows.
measurement_point distinct_point(float base, int x, int y) {
  measurement_point p{};
  float* words = reinterpret_cast<float*>(&p);
  for (size_t i = 0; i < sizeof p / sizeof(float); ++i) words[i] = base + static_cast<float>(i);
  p.pass_photons = static_cast<int32_t>(base) + 7;
  p.pixel_x = x;
  p.pixel_y = y;
  return p;
}

bool same(const measurement_point& a, const measurement_point& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

void copy3(float (&to)[3], const float (&from)[3]) {
  std::copy(from, from + 3, to);
}

// A 3 x 2 image: a row stride of height would find other records.
class history_test : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    renderer->width = 3;
    renderer->height = 2;
    renderer->max_points = 6;
    renderer->pixel_points = records.data();
    renderer->points = points.data();
  }
  measurement_point& record(int x, int y) { return records[y * 3 + x]; }
  void add_point(const measurement_point& p) { points[renderer->point_count++] = p; }

  std::vector<measurement_point> records = std::vector<measurement_point>(6);
  std::vector<measurement_point> points = std::vector<measurement_point>(6);
};

TEST_F(history_test, carry_over_decays_the_history_and_hands_it_to_points_from_the_second_pass) {
  const measurement_point history = distinct_point(10.0f, 1, 1);
  record(1, 1) = history;
  renderer->iteration = 3;
  renderer->carry_over_points();  // no points: not even the decay
  EXPECT_TRUE(same(record(1, 1), history));

  const measurement_point point = distinct_point(100.0f, 1, 1);
  const measurement_point without_history = distinct_point(200.0f, 0, 1);  // its radius is 0
  add_point(point);
  add_point(without_history);
  renderer->carry_over_points();
  measurement_point decayed = history;
  for (int c = 0; c < 3; ++c) {
    decayed.radiance[c] *= 0.75f;
    decayed.offset_sum[c] *= 0.75f;
  }
  EXPECT_TRUE(same(record(1, 1), decayed));
  // The point takes the pixel's radius and statistics, and keeps everything of its own hit.
  measurement_point expected = point;
  copy3(expected.radiance, decayed.radiance);
  copy3(expected.offset_sum, decayed.offset_sum);
  copy3(expected.light_radiance, history.light_radiance);
  expected.variance_sum = history.variance_sum;
  expected.normal_deviation = history.normal_deviation;
  expected.radius = history.radius;
  expected.photon_count = history.photon_count;
  EXPECT_TRUE(same(points[0], expected));
  EXPECT_TRUE(same(points[1], without_history));

  // At the first pass the factor is 0: the history is cleared and nothing is handed on.
  renderer->iteration = 0;
  renderer->carry_over_points();
  EXPECT_EQ(rgb(record(1, 1).radiance), floats(3, 0.0f));
  EXPECT_EQ(rgb(record(1, 1).offset_sum), floats(3, 0.0f));
  EXPECT_EQ(record(1, 1).radius, history.radius);
  EXPECT_TRUE(same(points[0], expected));

  // The decay is a single-precision product: 7.1 x 2/3 in double would round differently.
  record(1, 1).offset_sum[2] = 7.1f;
  renderer->iteration = 2;
  renderer->carry_over_points();
  EXPECT_EQ(record(1, 1).offset_sum[2], 7.1f * (2.0f / 3.0f));
  ASSERT_NE(record(1, 1).offset_sum[2], static_cast<float>(7.1f * (2.0 / 3.0)));
}

TEST_F(history_test, merge_starts_the_history_with_whole_points_then_updates_its_fields) {
  const measurement_point first = distinct_point(100.0f, 1, 1);
  measurement_point no_radius = distinct_point(200.0f, 0, 0);
  no_radius.radius = 0.0f;
  add_point(first);
  add_point(no_radius);
  renderer->iteration = 0;
  renderer->merge_points();
  EXPECT_TRUE(same(record(1, 1), first));
  EXPECT_TRUE(same(record(0, 0), measurement_point{}));

  // Two later points of pixel (1, 1): the last one's fields remain and each adds the turn of
  // the normal from the one before (+z to +x adds 1, +x to -x adds 2).
  record(1, 1).normal[0] = record(1, 1).normal[1] = 0.0f;
  record(1, 1).normal[2] = 1.0f;
  const measurement_point history = record(1, 1);
  measurement_point a = distinct_point(300.0f, 1, 1), b = distinct_point(400.0f, 1, 1);
  std::fill(a.normal, a.normal + 3, 0.0f);
  std::fill(b.normal, b.normal + 3, 0.0f);
  a.normal[0] = 1.0f;
  b.normal[0] = -1.0f;
  renderer->point_count = 0;
  add_point(a);
  add_point(b);
  renderer->iteration = 4;
  renderer->merge_points();
  measurement_point expected = history;
  copy3(expected.radiance, b.radiance);
  copy3(expected.light_radiance, b.light_radiance);
  copy3(expected.normal, b.normal);
  copy3(expected.offset_sum, b.offset_sum);
  expected.normal_deviation += 3.0f;
  expected.variance_sum = b.variance_sum;
  expected.radius = b.radius;
  expected.pass_photons = b.pass_photons;
  expected.photon_count = b.photon_count;
  EXPECT_TRUE(same(record(1, 1), expected));

  // The counted second-set points restart their pass; the others are not touched.
  std::vector<measurement_point> second(3, distinct_point(10.0f, 0, 0));
  renderer->points2 = second.data();
  renderer->point2_count = 2;
  renderer->merge_points();
  measurement_point restarted = second[2];
  restarted.pass_photons = 0;
  std::fill(restarted.pass_flux, restarted.pass_flux + 3, 0.0f);
  EXPECT_TRUE(same(second[1], restarted));
  EXPECT_TRUE(same(second[2], distinct_point(10.0f, 0, 0)));
}

TEST_F(history_test, reset_clears_the_statistics_but_keeps_the_radii_and_rewinds) {
  for (measurement_point& r : records) r = distinct_point(10.0f, 0, 0);
  const measurement_point before = records[0];
  renderer->iteration = 0;  // at the first pass only the rewind happens
  renderer->reset_points();
  EXPECT_TRUE(same(records[5], before));

  renderer->iteration = 6;
  renderer->reset_points();
  EXPECT_EQ(renderer->iteration, 0);
  EXPECT_EQ(host().texts("info"), strings(2, "Reset points\n"));
  measurement_point cleared = before;
  cleared.pass_photons = 0;
  cleared.photon_count = cleared.normal_deviation = cleared.variance_sum = 0.0f;
  std::fill(cleared.offset_sum, cleared.offset_sum + 3, 0.0f);
  std::fill(cleared.radiance, cleared.radiance + 3, 0.0f);
  for (const measurement_point& q : records) EXPECT_TRUE(same(q, cleared));
}

TEST_F(history_test, the_points_file_has_one_line_per_counted_second_set_point) {
  const std::string path = ::testing::TempDir() + "qor_points_file_test.txt";
  auto file_text = [&path] {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
  };
  std::ofstream(path) << "stale\n";
  renderer->points_file = path.c_str();
  renderer->save_points_file(1.0f);  // without a second set: an empty file
  EXPECT_TRUE(std::ifstream(path).good());
  EXPECT_EQ(file_text(), "");

  std::vector<measurement_point> second(3);
  second[0] = make_point(1, 2, 3, 0.5f);
  copy3(second[0].radiance, {0.25f, 0.5f, 1.0f});
  second[1].position[0] = -0.125f;
  second[1].radius = 1e-7f;
  second[2].radius = 99.0f;  // beyond the count
  renderer->points2 = second.data();
  renderer->point2_count = 2;
  renderer->save_points_file(2.0f);  // radiance as displayed
  EXPECT_EQ(file_text(), " 1 2 3 0.5 0.5 1 2\n -0.125 0 0 1e-07 0 0 0\n");
  EXPECT_EQ(host().texts(), strings(2, "Saving points file\n"));
  std::remove(path.c_str());

  // No name: no file and no message. An unwritable path is skipped silently.
  renderer->points_file = nullptr;
  renderer->save_points_file(1.0f);
  const std::string unwritable = ::testing::TempDir() + "qor_no_such_directory/points.txt";
  renderer->points_file = unwritable.c_str();
  renderer->save_points_file(1.0f);
  EXPECT_EQ(host().texts().size(), 3u);
  EXPECT_FALSE(std::ifstream(unwritable).good());
}

// --- Smoothing -------------------------------------------------------------------------------

class smoothing_test : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    renderer->iteration = 1;
  }

  // An image of records on one surface (normal +z); red radiance v, green 2v, blue 3v.
  void use_image(int width, int height, const floats& radiance = {}, const floats& counts = {}) {
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
  EXPECT_EQ(host().texts(), strings{"Smooth measurement points\n"});
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
  EXPECT_EQ(rgb(at(2, 0).smoothed_radiance), floats(3, 0.0f));

  renderer->smooth_pass(1, false);  // from the result of pass 0
  EXPECT_FLOAT_EQ(at(2, 2).smoothed_radiance[0], (3.0f + 2.25f) / 3.0f);
  EXPECT_EQ(at(1, 1).radiance[0], 9.0f);
  EXPECT_EQ(host().texts(), (strings{"Smooth measurement points (iteration 0) [3 x 3]\n", "+",
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
  floats step(40, 0.1f);
  std::fill(step.begin() + 20, step.end(), 1.0f);
  use_image(40, 1, step, floats(40, 10.0f));
  renderer->smooth_points_2();
  for (int x : {18, 19, 20, 21}) EXPECT_EQ(records[x].smoothing_limit, 1) << x;
  for (int x : {0, 5, 22, 30, 39}) EXPECT_EQ(records[x].smoothing_limit, 32) << x;
  // Two passes over the detail records alone (column 22 is smooth and left out).
  EXPECT_FLOAT_EQ(records[18].smoothed_radiance[0], 0.2f);
  EXPECT_FLOAT_EQ(records[19].smoothed_radiance[0], 0.4f);
  EXPECT_FLOAT_EQ(records[20].smoothed_radiance[0], 0.7f);
  EXPECT_FLOAT_EQ(records[21].smoothed_radiance[2], 2.55f);
  EXPECT_FLOAT_EQ(records[22].smoothed_radiance[0], 1.0f);

  strings expected{"Smooth measurement points 2\n"};
  for (int k = 0; k < 64; ++k) {
    expected.push_back("Smooth measurement points (iteration " + std::to_string(k % 32) +
                       ") [40 x 1]\n");
    expected.push_back("+");
  }
  EXPECT_EQ(host().texts(), expected);
}

}  // namespace
