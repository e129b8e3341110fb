#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

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

class history_test : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    renderer->width = 3;  // a 3 x 2 image: a row stride of height would find other records
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
  measurement_point without_history = distinct_point(200.0f, 0, 1);
  record(0, 1).radius = 0.0f;
  add_point(point);
  add_point(without_history);
  renderer->carry_over_points();
  const measurement_point& q = record(1, 1);
  const measurement_point& p = points[0];
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(q.radiance[c], history.radiance[c] * 0.75f);
    EXPECT_EQ(q.offset_sum[c], history.offset_sum[c] * 0.75f);
    EXPECT_EQ(p.radiance[c], q.radiance[c]);
    EXPECT_EQ(p.offset_sum[c], q.offset_sum[c]);
    EXPECT_EQ(p.light_radiance[c], history.light_radiance[c]);
    EXPECT_EQ(p.position[c], point.position[c]);
    EXPECT_EQ(p.normal[c], point.normal[c]);
    EXPECT_EQ(p.reflectance[c], point.reflectance[c]);
    EXPECT_EQ(p.pass_flux[c], point.pass_flux[c]);
  }
  EXPECT_EQ(p.variance_sum, history.variance_sum);
  EXPECT_EQ(p.normal_deviation, history.normal_deviation);
  EXPECT_EQ(p.radius, history.radius);
  EXPECT_EQ(p.photon_count, history.photon_count);
  EXPECT_EQ(p.min_radius, point.min_radius);
  EXPECT_EQ(p.sample_weight, point.sample_weight);
  EXPECT_EQ(p.pass_photons, point.pass_photons);
  EXPECT_TRUE(same(points[1], without_history));

  // The decay is a single-precision ratio: 2/3 in double would round 7.1 differently.
  record(1, 1).offset_sum[2] = 7.1f;
  renderer->iteration = 2;
  renderer->carry_over_points();
  EXPECT_EQ(record(1, 1).offset_sum[2], 7.1f * (2.0f / 3.0f));
  EXPECT_NE(record(1, 1).offset_sum[2], static_cast<float>(7.1f * (2.0 / 3.0)));
}

TEST_F(history_test, carry_over_at_the_first_pass_clears_the_history_and_copies_nothing) {
  record(2, 0) = distinct_point(10.0f, 2, 0);
  const measurement_point point = distinct_point(100.0f, 2, 0);
  add_point(point);
  renderer->iteration = 0;
  renderer->carry_over_points();
  EXPECT_EQ(record(2, 0).radiance[1], 0.0f);
  EXPECT_EQ(record(2, 0).offset_sum[2], 0.0f);
  EXPECT_EQ(record(2, 0).radius, distinct_point(10.0f, 2, 0).radius);
  EXPECT_TRUE(same(points[0], point));
}

TEST_F(history_test, merge_starts_the_history_with_whole_points_then_updates_its_fields) {
  measurement_point first = distinct_point(100.0f, 1, 1);
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
  const measurement_point history = record(1, 1);
  record(1, 1).normal[0] = 0.0f;
  record(1, 1).normal[1] = 0.0f;
  record(1, 1).normal[2] = 1.0f;
  measurement_point a = distinct_point(300.0f, 1, 1);
  measurement_point b = distinct_point(400.0f, 1, 1);
  const float x_axis[3] = {1.0f, 0.0f, 0.0f};
  const float minus_x[3] = {-1.0f, 0.0f, 0.0f};
  std::memcpy(a.normal, x_axis, sizeof x_axis);
  std::memcpy(b.normal, minus_x, sizeof minus_x);
  renderer->point_count = 0;
  add_point(a);
  add_point(b);
  renderer->iteration = 4;
  renderer->merge_points();
  const measurement_point& q = record(1, 1);
  EXPECT_EQ(q.normal_deviation, history.normal_deviation + 3.0f);
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(q.radiance[c], b.radiance[c]);
    EXPECT_EQ(q.light_radiance[c], b.light_radiance[c]);
    EXPECT_EQ(q.normal[c], b.normal[c]);
    EXPECT_EQ(q.offset_sum[c], b.offset_sum[c]);
    EXPECT_EQ(q.position[c], history.position[c]);
    EXPECT_EQ(q.pass_flux[c], history.pass_flux[c]);
    EXPECT_EQ(q.smoothed_radiance[c], history.smoothed_radiance[c]);
  }
  EXPECT_EQ(q.variance_sum, b.variance_sum);
  EXPECT_EQ(q.radius, b.radius);
  EXPECT_EQ(q.pass_photons, b.pass_photons);
  EXPECT_EQ(q.photon_count, b.photon_count);
  EXPECT_EQ(q.min_radius, history.min_radius);
  EXPECT_EQ(q.smoothing_limit, history.smoothing_limit);
}

TEST_F(history_test, merge_restarts_the_pass_of_the_counted_second_set_points) {
  std::vector<measurement_point> second(3, distinct_point(10.0f, 0, 0));
  renderer->points2 = second.data();
  renderer->point2_count = 2;
  renderer->merge_points();
  EXPECT_EQ(second[1].pass_photons, 0);
  EXPECT_EQ(second[1].pass_flux[2], 0.0f);
  EXPECT_EQ(second[1].radiance[0], distinct_point(10.0f, 0, 0).radiance[0]);
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
  EXPECT_EQ(host().texts("info"), (std::vector<std::string>{"Reset points\n", "Reset points\n"}));
  for (const measurement_point& q : records) {
    EXPECT_EQ(q.pass_photons, 0);
    EXPECT_EQ(q.photon_count, 0.0f);
    EXPECT_EQ(q.normal_deviation, 0.0f);
    EXPECT_EQ(q.variance_sum, 0.0f);
    EXPECT_EQ(q.offset_sum[1], 0.0f);
    EXPECT_EQ(q.radiance[2], 0.0f);
    EXPECT_EQ(q.radius, before.radius);
    EXPECT_EQ(q.normal[0], before.normal[0]);
    EXPECT_EQ(q.light_radiance[1], before.light_radiance[1]);
    EXPECT_EQ(q.smoothed_radiance[2], before.smoothed_radiance[2]);
  }
}

class points_file_test : public history_test {
 protected:
  void SetUp() override {
    history_test::SetUp();
    std::remove(path.c_str());
    renderer->points_file = path.c_str();
  }
  void TearDown() override {
    std::remove(path.c_str());
    history_test::TearDown();
  }
  std::string file_text() const {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
  }
  std::string path = ::testing::TempDir() + "qor_points_file_test.txt";
};

TEST_F(points_file_test, one_line_per_counted_second_set_point_with_the_displayed_radiance) {
  std::vector<measurement_point> second(3);
  const float position[3] = {1, 2, 3};
  const float radiance[3] = {0.25f, 0.5f, 1};
  std::memcpy(second[0].position, position, sizeof position);
  std::memcpy(second[0].radiance, radiance, sizeof radiance);
  second[0].radius = 0.5f;
  second[1].position[0] = -0.125f;
  second[1].radius = 1e-7f;
  second[2].radius = 99.0f;  // beyond the count
  renderer->points2 = second.data();
  renderer->point2_count = 2;
  renderer->save_points_file(2.0f);
  EXPECT_EQ(file_text(), " 1 2 3 0.5 0.5 1 2\n -0.125 0 0 1e-07 0 0 0\n");
  EXPECT_EQ(host().texts(), std::vector<std::string>{"Saving points file\n"});
}

TEST_F(points_file_test, without_a_second_set_each_save_leaves_an_empty_file) {
  std::ofstream(path) << "stale\n";
  renderer->save_points_file(1.0f);
  EXPECT_TRUE(std::ifstream(path).good());
  EXPECT_EQ(file_text(), "");

  renderer->points_file = nullptr;  // no name: no file, no message
  renderer->save_points_file(1.0f);
  EXPECT_EQ(host().texts().size(), 1u);
}

TEST_F(points_file_test, an_unwritable_path_is_skipped_silently) {
  const std::string unwritable = ::testing::TempDir() + "qor_no_such_directory/points.txt";
  renderer->points_file = unwritable.c_str();
  renderer->save_points_file(1.0f);
  EXPECT_EQ(host().texts(), std::vector<std::string>{"Saving points file\n"});
  EXPECT_FALSE(std::ifstream(unwritable).good());
}

}  // namespace
