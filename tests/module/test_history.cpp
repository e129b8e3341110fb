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
  EXPECT_EQ(rgb(record(1, 1).radiance), std::vector<float>(3, 0.0f));
  EXPECT_EQ(rgb(record(1, 1).offset_sum), std::vector<float>(3, 0.0f));
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
  EXPECT_EQ(host().texts("info"), std::vector<std::string>(2, "Reset points\n"));
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
  EXPECT_EQ(host().texts(), std::vector<std::string>(2, "Saving points file\n"));
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

}  // namespace
