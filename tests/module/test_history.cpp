#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/module/module_test.h"

namespace {

// A point with a distinct value in every field, so that a copy into or from the wrong field
// shows. base spreads the values of different points apart.
measurement_point distinct_point(float base, int x, int y) {
  measurement_point p{};
  float* words = reinterpret_cast<float*>(&p);
  for (size_t i = 0; i < sizeof p / sizeof(float); ++i) words[i] = base + static_cast<float>(i);
  p.pass_photons = static_cast<int32_t>(base) + 7;
  p.lock = 0;
  p.pixel_x = x;
  p.pixel_y = y;
  p.smoothing_limit = 32;
  p.spare = 0;
  return p;
}

bool same_bytes(const measurement_point& a, const measurement_point& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

class history_test : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    use_image(3, 2);
  }

  void use_image(int width, int height) {
    renderer->width = width;
    renderer->height = height;
    renderer->max_points = width * height;
    pixel_records.assign(static_cast<size_t>(width) * height, measurement_point{});
    main_points.assign(static_cast<size_t>(width) * height, measurement_point{});
    renderer->pixel_points = pixel_records.data();
    renderer->points = main_points.data();
    renderer->point_count = 0;
  }

  measurement_point& record(int x, int y) { return pixel_records[y * renderer->width + x]; }

  void add_point(const measurement_point& p) { main_points[renderer->point_count++] = p; }

  std::vector<measurement_point> pixel_records;
  std::vector<measurement_point> main_points;
};

// --- Carrying the history into the new points --------------------------------------------------

TEST_F(history_test, carry_over_without_points_changes_nothing_not_even_the_decay) {
  renderer->iteration = 3;
  record(1, 1) = distinct_point(10.0f, 1, 1);
  const measurement_point before = record(1, 1);
  renderer->carry_over_points();
  EXPECT_TRUE(same_bytes(record(1, 1), before));
}

TEST_F(history_test, carry_over_at_iteration_zero_clears_the_history_and_copies_nothing) {
  renderer->iteration = 0;
  record(0, 0) = distinct_point(10.0f, 0, 0);
  record(2, 1) = distinct_point(50.0f, 2, 1);
  const measurement_point point = distinct_point(100.0f, 0, 0);
  add_point(point);
  renderer->carry_over_points();

  for (const measurement_point& q : pixel_records) {
    for (int c = 0; c < 3; ++c) {
      EXPECT_EQ(q.radiance[c], 0.0f);
      EXPECT_EQ(q.offset_sum[c], 0.0f);
    }
  }
  // Only those two fields decay; the rest of the history stays.
  EXPECT_EQ(record(0, 0).radius, distinct_point(10.0f, 0, 0).radius);
  EXPECT_EQ(record(0, 0).light_radiance[1], distinct_point(10.0f, 0, 0).light_radiance[1]);
  EXPECT_TRUE(same_bytes(main_points[0], point));
}

TEST_F(history_test, carry_over_decays_the_history_and_copies_its_statistics_into_the_point) {
  renderer->iteration = 3;  // decay 3/4, exact in binary
  measurement_point history = distinct_point(10.0f, 1, 0);
  record(1, 0) = history;
  const measurement_point point = distinct_point(100.0f, 1, 0);
  add_point(point);
  renderer->carry_over_points();

  const measurement_point& q = record(1, 0);
  const measurement_point& p = main_points[0];
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(q.radiance[c], history.radiance[c] * 0.75f);
    EXPECT_EQ(q.offset_sum[c], history.offset_sum[c] * 0.75f);
    // The point continues the decayed estimate.
    EXPECT_EQ(p.radiance[c], q.radiance[c]);
    EXPECT_EQ(p.offset_sum[c], q.offset_sum[c]);
    EXPECT_EQ(p.light_radiance[c], history.light_radiance[c]);
    // Its own hit and the pass accumulators stay.
    EXPECT_EQ(p.position[c], point.position[c]);
    EXPECT_EQ(p.normal[c], point.normal[c]);
    EXPECT_EQ(p.reflectance[c], point.reflectance[c]);
    EXPECT_EQ(p.pass_flux[c], point.pass_flux[c]);
    EXPECT_EQ(p.smoothed_radiance[c], point.smoothed_radiance[c]);
  }
  EXPECT_EQ(p.variance_sum, history.variance_sum);
  EXPECT_EQ(p.normal_deviation, history.normal_deviation);
  EXPECT_EQ(p.radius, history.radius);
  EXPECT_EQ(p.photon_count, history.photon_count);
  EXPECT_EQ(p.min_radius, point.min_radius);
  EXPECT_EQ(p.sample_weight, point.sample_weight);
  EXPECT_EQ(p.pass_photons, point.pass_photons);
  EXPECT_EQ(p.pixel_x, 1);
  EXPECT_EQ(p.pixel_y, 0);
  // The other fields of the history are not touched.
  EXPECT_EQ(q.radius, history.radius);
  EXPECT_EQ(q.variance_sum, history.variance_sum);
}

TEST_F(history_test, carry_over_decay_is_a_single_precision_ratio) {
  renderer->iteration = 2;
  record(0, 0).radiance[0] = 0.3f;
  record(0, 0).offset_sum[2] = 7.1f;
  add_point(distinct_point(100.0f, 0, 0));
  renderer->carry_over_points();
  const float decay = 2.0f / 3.0f;
  EXPECT_EQ(record(0, 0).radiance[0], 0.3f * decay);
  EXPECT_EQ(record(0, 0).offset_sum[2], 7.1f * decay);
  // Scaling by the double-precision 2/3 rounds differently for this value.
  EXPECT_NE(record(0, 0).offset_sum[2], static_cast<float>(7.1f * (2.0 / 3.0)));
}

TEST_F(history_test, a_point_whose_pixel_has_no_history_keeps_its_own_values) {
  renderer->iteration = 5;
  measurement_point no_history = distinct_point(10.0f, 2, 1);
  no_history.radius = 0.0f;
  record(2, 1) = no_history;
  const measurement_point point = distinct_point(100.0f, 2, 1);
  add_point(point);
  renderer->carry_over_points();
  EXPECT_TRUE(same_bytes(main_points[0], point));
}

TEST_F(history_test, carry_over_finds_the_record_by_row_and_column) {
  renderer->iteration = 1;
  record(2, 0).radius = 5.0f;
  record(0, 1).radius = 6.0f;  // index 3, where a row stride of height would find (1, 1)
  record(1, 1).radius = 7.0f;  // index 4
  add_point(distinct_point(100.0f, 2, 0));
  add_point(distinct_point(200.0f, 1, 1));
  renderer->carry_over_points();
  EXPECT_EQ(main_points[0].radius, 5.0f);
  EXPECT_EQ(main_points[1].radius, 7.0f);
}

// --- Merging the points back into the history ---------------------------------------------------

TEST_F(history_test, merge_at_iteration_zero_copies_whole_points_with_a_radius) {
  renderer->iteration = 0;
  const measurement_point with_radius = distinct_point(100.0f, 1, 1);
  measurement_point without_radius = distinct_point(200.0f, 0, 0);
  without_radius.radius = 0.0f;
  add_point(with_radius);
  add_point(without_radius);
  renderer->merge_points();
  EXPECT_TRUE(same_bytes(record(1, 1), with_radius));
  EXPECT_TRUE(same_bytes(record(0, 0), measurement_point{}));
}

TEST_F(history_test, merge_later_updates_the_listed_fields_and_accumulates_the_turn_of_the_normal) {
  renderer->iteration = 4;
  measurement_point history = distinct_point(10.0f, 2, 1);
  history.normal[0] = 0.0f;
  history.normal[1] = 0.6f;
  history.normal[2] = 0.8f;
  history.normal_deviation = 0.25f;
  record(2, 1) = history;
  measurement_point point = distinct_point(100.0f, 2, 1);
  point.normal[0] = 0.0f;
  point.normal[1] = 0.8f;
  point.normal[2] = 0.6f;
  add_point(point);
  renderer->merge_points();

  const measurement_point& q = record(2, 1);
  const float cos_turn = (0.0f * 0.0f + 0.6f * 0.8f) + 0.8f * 0.6f;
  EXPECT_EQ(q.normal_deviation, 0.25f + (1.0f - cos_turn));
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(q.radiance[c], point.radiance[c]);
    EXPECT_EQ(q.light_radiance[c], point.light_radiance[c]);
    EXPECT_EQ(q.normal[c], point.normal[c]);
    EXPECT_EQ(q.offset_sum[c], point.offset_sum[c]);
    // Not part of the history update.
    EXPECT_EQ(q.position[c], history.position[c]);
    EXPECT_EQ(q.pass_flux[c], history.pass_flux[c]);
    EXPECT_EQ(q.reflectance[c], history.reflectance[c]);
    EXPECT_EQ(q.smoothed_radiance[c], history.smoothed_radiance[c]);
    EXPECT_EQ(q.smoothing_input[c], history.smoothing_input[c]);
  }
  EXPECT_EQ(q.variance_sum, point.variance_sum);
  EXPECT_EQ(q.radius, point.radius);
  EXPECT_EQ(q.pass_photons, point.pass_photons);
  EXPECT_EQ(q.photon_count, point.photon_count);
  EXPECT_EQ(q.min_radius, history.min_radius);
  EXPECT_EQ(q.sample_weight, history.sample_weight);
  EXPECT_EQ(q.smoothing_limit, history.smoothing_limit);
}

TEST_F(history_test, merge_later_takes_even_a_point_without_radius) {
  renderer->iteration = 1;
  record(0, 1).radius = 3.0f;
  measurement_point point = distinct_point(100.0f, 0, 1);
  point.radius = 0.0f;
  add_point(point);
  renderer->merge_points();
  EXPECT_EQ(record(0, 1).radius, 0.0f);
  EXPECT_EQ(record(0, 1).radiance[0], point.radiance[0]);
}

TEST_F(history_test, several_points_of_one_pixel_merge_in_order) {
  renderer->iteration = 2;
  record(1, 0).normal[2] = 1.0f;  // previous normal +z
  measurement_point first = distinct_point(100.0f, 1, 0);
  first.normal[0] = 1.0f;  // turned by 90 degrees: adds 1
  first.normal[1] = 0.0f;
  first.normal[2] = 0.0f;
  measurement_point second = distinct_point(200.0f, 1, 0);
  second.normal[0] = -1.0f;  // opposite of the first: adds 2
  second.normal[1] = 0.0f;
  second.normal[2] = 0.0f;
  add_point(first);
  add_point(second);
  renderer->merge_points();
  const measurement_point& q = record(1, 0);
  EXPECT_EQ(q.normal_deviation, 3.0f);
  EXPECT_EQ(q.radius, second.radius);
  EXPECT_EQ(q.radiance[1], second.radiance[1]);
  EXPECT_EQ(q.normal[0], -1.0f);
}

TEST_F(history_test, merge_restarts_the_pass_of_the_second_set_points_only) {
  std::vector<measurement_point> second_set(6);
  for (size_t i = 0; i < second_set.size(); ++i) {
    second_set[i] = distinct_point(10.0f * static_cast<float>(i + 1), 0, 0);
  }
  const std::vector<measurement_point> before = second_set;
  renderer->points2 = second_set.data();
  renderer->point2_count = 4;
  renderer->merge_points();
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(second_set[i].pass_photons, 0);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(second_set[i].pass_flux[c], 0.0f);
    EXPECT_EQ(second_set[i].photon_count, before[i].photon_count);
    EXPECT_EQ(second_set[i].radiance[2], before[i].radiance[2]);
  }
  EXPECT_TRUE(same_bytes(second_set[4], before[4]));
  EXPECT_TRUE(same_bytes(second_set[5], before[5]));
}

// --- Reset key ----------------------------------------------------------------------------------

TEST_F(history_test, reset_clears_the_statistics_but_keeps_the_radii) {
  renderer->iteration = 6;
  for (size_t i = 0; i < pixel_records.size(); ++i) {
    pixel_records[i] = distinct_point(10.0f * static_cast<float>(i + 1), 0, 0);
  }
  const std::vector<measurement_point> before = pixel_records;
  renderer->reset_points();

  EXPECT_EQ(renderer->iteration, 0);
  EXPECT_EQ(host().texts("info"), std::vector<std::string>{"Reset points\n"});
  for (size_t i = 0; i < pixel_records.size(); ++i) {
    const measurement_point& q = pixel_records[i];
    EXPECT_EQ(q.pass_photons, 0);
    EXPECT_EQ(q.photon_count, 0.0f);
    EXPECT_EQ(q.normal_deviation, 0.0f);
    EXPECT_EQ(q.variance_sum, 0.0f);
    for (int c = 0; c < 3; ++c) {
      EXPECT_EQ(q.offset_sum[c], 0.0f);
      EXPECT_EQ(q.radiance[c], 0.0f);
      EXPECT_EQ(q.normal[c], before[i].normal[c]);
      EXPECT_EQ(q.light_radiance[c], before[i].light_radiance[c]);
      EXPECT_EQ(q.smoothed_radiance[c], before[i].smoothed_radiance[c]);
      EXPECT_EQ(q.pass_flux[c], before[i].pass_flux[c]);
    }
    EXPECT_EQ(q.radius, before[i].radius);
    EXPECT_EQ(q.min_radius, before[i].min_radius);
  }
}

TEST_F(history_test, reset_at_iteration_zero_or_of_an_empty_image_only_prints_and_rewinds) {
  pixel_records[2] = distinct_point(10.0f, 2, 0);
  const std::vector<measurement_point> before = pixel_records;
  renderer->iteration = 0;
  renderer->reset_points();
  EXPECT_EQ(renderer->iteration, 0);
  for (size_t i = 0; i < pixel_records.size(); ++i) {
    EXPECT_TRUE(same_bytes(pixel_records[i], before[i]));
  }

  renderer->width = 0;
  renderer->iteration = 9;
  renderer->reset_points();
  EXPECT_EQ(renderer->iteration, 0);
  EXPECT_TRUE(same_bytes(pixel_records[2], before[2]));
  EXPECT_EQ(host().texts("info"), (std::vector<std::string>{"Reset points\n", "Reset points\n"}));
}

TEST_F(history_test, reset_key_clears_the_history_through_the_input_handler) {
  renderer->iteration = 3;
  record(0, 0).radiance[0] = 2.0f;
  record(0, 0).radius = 0.5f;
  host().events.push_back({qor_event_key, 'r'});
  EXPECT_TRUE(renderer->poll_input(scene(), &renderer->visualize_mode));
  EXPECT_EQ(renderer->iteration, 0);
  EXPECT_EQ(record(0, 0).radiance[0], 0.0f);
  EXPECT_EQ(record(0, 0).radius, 0.5f);
}

// --- Points file --------------------------------------------------------------------------------

class points_file_test : public history_test {
 protected:
  void SetUp() override {
    history_test::SetUp();
    path = ::testing::TempDir() + "qor_points_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
    std::remove(path.c_str());
    renderer->points_file = path.c_str();
  }
  void TearDown() override {
    std::remove(path.c_str());
    history_test::TearDown();
  }

  std::string file_text() const {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  bool file_exists() const { return std::ifstream(path).good(); }

  std::string path;
};

TEST_F(points_file_test, one_line_per_second_set_point_with_the_displayed_radiance) {
  std::vector<measurement_point> second_set(3);
  second_set[0].position[0] = 1.0f;
  second_set[0].position[1] = 2.0f;
  second_set[0].position[2] = 3.0f;
  second_set[0].radius = 0.5f;
  second_set[0].radiance[0] = 0.25f;
  second_set[0].radiance[1] = 0.5f;
  second_set[0].radiance[2] = 1.0f;
  second_set[1].position[0] = -0.125f;
  second_set[1].radius = 1e-7f;
  second_set[1].radiance[1] = 3.0f;
  second_set[2].radius = 99.0f;  // beyond the count: not written
  renderer->points2 = second_set.data();
  renderer->point2_count = 2;
  renderer->save_points_file(2.0f);

  EXPECT_EQ(file_text(), " 1 2 3 0.5 0.5 1 2\n -0.125 0 0 1e-07 0 6 0\n");
  EXPECT_EQ(host().texts("sprint"), std::vector<std::string>{"Saving points file\n"});
}

TEST_F(points_file_test, each_save_replaces_the_content) {
  std::vector<measurement_point> second_set(2);
  second_set[0].radius = 1.0f;
  second_set[1].radius = 2.0f;
  renderer->points2 = second_set.data();
  renderer->point2_count = 2;
  renderer->save_points_file(1.0f);
  renderer->point2_count = 1;
  second_set[0].radius = 4.0f;
  renderer->save_points_file(1.0f);
  EXPECT_EQ(file_text(), " 0 0 0 4 0 0 0\n");
}

TEST_F(points_file_test, without_a_second_set_the_file_is_created_empty) {
  {
    std::ofstream old(path);
    old << "stale content\n";
  }
  renderer->point_mode = 0;
  renderer->points2 = nullptr;
  renderer->point2_count = 0;
  renderer->save_points_file(1.0f);
  EXPECT_TRUE(file_exists());
  EXPECT_EQ(file_text(), "");
  EXPECT_EQ(host().texts("sprint"), std::vector<std::string>{"Saving points file\n"});
}

TEST_F(points_file_test, no_file_name_means_no_file_and_no_message) {
  renderer->points_file = nullptr;
  renderer->save_points_file(1.0f);
  EXPECT_FALSE(file_exists());
  EXPECT_TRUE(host().messages.empty());
}

TEST_F(points_file_test, an_unwritable_path_is_skipped_silently) {
  std::vector<measurement_point> second_set(1);
  renderer->points2 = second_set.data();
  renderer->point2_count = 1;
  const std::string unwritable = ::testing::TempDir() + "qor_no_such_directory/points.txt";
  renderer->points_file = unwritable.c_str();
  renderer->save_points_file(1.0f);
  EXPECT_EQ(host().texts(), std::vector<std::string>{"Saving points file\n"});
  EXPECT_FALSE(std::ifstream(unwritable).good());
}

}  // namespace
