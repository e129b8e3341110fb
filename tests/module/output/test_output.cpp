#include <cmath>
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

// The per-pixel records of a 3 x 2 image (a row stride of height would find other records), and
// a row beyond it.
class output_history : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    use_arrays(3, 3);
    renderer->height = 2;
  }
  measurement_point& record(int x, int y) { return pixel_points[y * 3 + x]; }
};

TEST_F(output_history, points_take_their_pixels_history_and_give_it_back_after_the_pass) {
  const measurement_point history = distinct_point(10, 1, 1), first = distinct_point(100, 2, 1);
  record(1, 1) = history;
  points[0] = distinct_point(100, 1, 1);
  points[1] = distinct_point(200, 0, 1);  // its pixel has no history (radius 0)
  points[2] = distinct_point(300, 0, 2);  // outside the image: no record
  points[3] = distinct_point(400, 3, 1);  // likewise, though it would index record (0, 2)
  renderer->iteration = 3;
  renderer->point_count = 4;
  renderer->carry_over_points();
  // The history decays by i / (i + 1) in single precision; the point takes the pixel's radius and
  // statistics and keeps everything of its own hit.
  measurement_point decayed = history, expected = distinct_point(100, 1, 1);
  for (int c = 0; c < 3; ++c) {
    decayed.radiance[c] *= 0.75f;
    decayed.offset_sum[c] *= 0.75f;
    expected.radiance[c] = decayed.radiance[c];
    expected.offset_sum[c] = decayed.offset_sum[c];
    expected.light_radiance[c] = history.light_radiance[c];
  }
  expected.variance_sum = history.variance_sum;
  expected.normal_deviation = history.normal_deviation;
  expected.radius = history.radius;
  expected.photon_count = history.photon_count;
  EXPECT_TRUE(same(record(1, 1), decayed) && same(points[0], expected));
  EXPECT_TRUE(same(points[1], distinct_point(200, 0, 1)));

  // After the pass the pixel takes the point's estimate, radius and statistics, and adds the turn
  // of its normal, 1 - cos, to its deviation; its own record is otherwise kept.
  set3(record(1, 1).normal, 1.0f, 0.0f, 0.0f);
  set3(points[0].normal, 0.6f, 0.0f, 0.8f);
  measurement_point merged = record(1, 1);
  renderer->merge_points();
  const measurement_point& p = points[0];
  for (int c = 0; c < 3; ++c) {
    merged.radiance[c] = p.radiance[c];
    merged.light_radiance[c] = p.light_radiance[c];
    merged.normal[c] = p.normal[c];
    merged.offset_sum[c] = p.offset_sum[c];
  }
  merged.normal_deviation += 1.0f - 0.6f;
  merged.variance_sum = p.variance_sum;
  merged.radius = p.radius;
  merged.pass_photons = p.pass_photons;
  merged.photon_count = p.photon_count;
  EXPECT_TRUE(same(record(1, 1), merged));
  // The first pass starts each pixel's history with its whole point, if it has a radius.
  renderer->iteration = 0;
  points[1].radius = 0;
  renderer->point_count = 2;
  points[0] = first;
  const measurement_point kept = record(0, 1);
  renderer->merge_points();
  EXPECT_TRUE(same(record(2, 1), first) && same(record(0, 1), kept));
  EXPECT_TRUE(same(record(1, 1), merged) && same(record(0, 2), measurement_point{}));
}

TEST_F(output_history, the_points_file_holds_the_second_set) {
  // One line per counted second-set point: position, radius and radiance as displayed. The
  // second set's pass accumulators restart after the merge.
  const std::string path = ::testing::TempDir() + "qor_points_file_test.txt";
  renderer->points_file = path.c_str();
  points2[0] = make_point(1, 2, 3, 0.5f);
  set3(points2[0].radiance, 0.25f, 0.5f, 1.0f);
  points2[1].position[0] = -0.125f;
  points2[1].radius = 1e-7f;
  points2[1].pass_flux[2] = points2[2].pass_flux[2] = 5;
  points2[2].radius = 99.0f;  // beyond the count
  renderer->point2_count = 2;
  renderer->save_points_file(2.0f);
  renderer->merge_points();
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  EXPECT_EQ(text.str(), " 1 2 3 0.5 0.5 1 2\n -0.125 0 0 1e-07 0 0 0\n");
  EXPECT_TRUE(points2[1].pass_flux[2] == 0 && points2[2].pass_flux[2] == 5);
  std::remove(path.c_str());
}

// --- Smoothing ----------------------------------------------------------------------------------

// Records on one surface (normal (0, 0.6, 0.8), so that every term of a cosine counts) of a w x h
// image, red radiance v, green 2v, blue 3v, and a row of records beyond the image that must stay as
// they are.
class output_smoothing : public module_test {
 protected:
  void image(int w, int h, floats radiance, floats counts = {}) {
    use_arrays(w, h + 1);
    renderer->height = h;
    renderer->iteration = 1;
    for (measurement_point& r : pixel_points) set3(r.normal, 0.0f, 0.6f, 0.8f);
    for (int i = 0; i < w * h; ++i) {
      const float v = i < int(radiance.size()) ? radiance[i] : 0.0f;
      set3(pixel_points[i].radiance, v, 2 * v, 3 * v);
      pixel_points[i].photon_count = i < int(counts.size()) ? counts[i] : 0.0f;
    }
  }
  float smoothed(int i) const { return pixel_points[i].smoothed_radiance[0]; }
};

TEST_F(output_smoothing, the_gaussian_takes_the_window_of_one_surface_and_a_like_photon_density) {
  // A row of 17 records, and two columns of 17: the window reaches 16 records and not past the
  // image, with weights exp(-d^2 / 64) normalised over the records taken.
  double weights = 0.0;
  for (int d = 0; d <= 16; ++d) weights += std::exp(-d * d / 64.0);
  for (int w : {17, 2}) {
    const int h = w == 17 ? 1 : 17, far = w == 17 ? 16 : 32;  // far: 16 records from the first
    image(w, h, {});
    pixel_points[far].radiance[0] = pixel_points[w * h].radiance[0] = 1000;
    renderer->smooth_points(renderer->height);
    const double second_column = w == 2 ? std::exp(-1 / 64.0) : 0.0;
    EXPECT_NEAR(smoothed(0), 1000 * std::exp(-4.0) / (weights * (1 + second_column)), 1e-3) << w;
    EXPECT_EQ(smoothed(w * h), 0.0f);
  }
  // P (40 photons) takes the records of a like count, |a - b| / (a + 25 + b) below 0.25, when at
  // least four qualify (itself included); else every record of its surface. A record without
  // photons takes any record with photons.
  const float counts[2][8] = {{40, 80, 60, 41, 150, 175, 0, 40},
                              {40, 80, 60, 41, 150, 175, 0, 175}};
  for (int k = 0; k < 2; ++k) {
    image(8, 1, {1, 2, 3, 4, 5, 6, 7, 8}, floats(counts[k], counts[k] + 8));
    if (k) set3(pixel_points[7].normal, 1.0f, 0.0f, 0.0f);  // another surface
    renderer->smooth_points(1);
    double sum = 0, w = 0;
    for (int x : k == 0 ? std::vector<int>{0, 2, 3, 7} : std::vector<int>{0, 1, 2, 3, 4, 5, 6}) {
      sum += std::exp(-x * x / 64.0) * (x + 1);
      w += std::exp(-x * x / 64.0);
    }
    EXPECT_NEAR(smoothed(0), sum / w, 1e-5) << k;
  }
}

TEST_F(output_smoothing, passes_average_the_four_neighbours_of_one_surface_and_class) {
  // One simultaneous step: the centre of a 3 x 3 image spreads to the four records beside it.
  image(3, 3, {0, 0, 0, 0, 9, 0, 0, 0, 5});
  set3(pixel_points[3].normal, 0.0f, -0.6f, 0.8f);  // (0, 1) lies on another surface
  pixel_points[9].radiance[0] = 1;                  // beyond the image
  renderer->smooth_pass(0, false);
  EXPECT_EQ(pixel_points[9].smoothing_input[0], 0);
  const floats after = {0, 9.0f / 4, 0, 0, 9.0f / 4, 14.0f / 4, 0, 14.0f / 4, 5.0f / 3};
  for (int i = 0; i < 9; ++i) EXPECT_FLOAT_EQ(smoothed(i), after[i]) << i;
  // Classes: an edge to the right or below, between records of more than two photons on one
  // surface whose smoothed radiance differs by more than 5% (relative to their sum + 1e-5).
  // Own photons, the other's, the other's radiance, another surface, own class; the other lies to
  // the right or below in a 2 x 2 image whose fourth record changes nothing.
  const float cases[][5] = {{10, 10, 1.10f, 0, 32}, {10, 10, 1.12f, 0, 1}, {2, 10, 1.5f, 0, 32},
                            {10, 2, 1.5f, 0, 32},   {3, 3, 1.5f, 0, 1},    {10, 10, 1.5f, 1, 32}};
  for (const auto& c : cases) {
    for (int other : {1, 2}) {
      image(2, 2, {}, {c[0], 10, 10, 10});
      for (int i = 0; i < 4; ++i) set3(pixel_points[i].smoothed_radiance, 1.0f, 1.0f, 1.0f);
      set3(pixel_points[other].smoothed_radiance, c[2], c[2], c[2]);
      pixel_points[other].photon_count = c[1];
      if (c[3] != 0) set3(pixel_points[other].normal, 1.0f, 0.0f, 0.0f);
      renderer->classify_points();
      EXPECT_EQ(pixel_points[0].smoothing_limit, c[4]) << c[0] << " " << c[2] << " " << other;
      EXPECT_TRUE(pixel_points[3].smoothing_limit == 32 && pixel_points[4].smoothing_limit == 0);
    }
  }
}

TEST_F(output_smoothing, the_second_series_smooths_the_estimate_again_within_each_class) {
  // A step in one row: the first series blurs it and the classes mark the records around the step
  // as detail (limit 1); the second starts again from the estimate and averages the detail
  // records among themselves in its first two passes only.
  floats step(40, 0.1f);
  std::fill(step.begin() + 20, step.end(), 1.0f);
  image(40, 1, step, floats(40, 10.0f));
  renderer->smooth_points_2();
  for (int x = 0; x < 40; ++x)
    EXPECT_EQ(pixel_points[x].smoothing_limit, x >= 11 && x <= 21 ? 1 : 32) << x;
  const float detail[4] = {0.2f, 0.4f, 0.7f, 0.85f};
  for (int x = 18; x < 22; ++x) EXPECT_FLOAT_EQ(smoothed(x), detail[x - 18]) << x;
  EXPECT_FLOAT_EQ(smoothed(22), 1.0f);
  EXPECT_FLOAT_EQ(smoothed(5), 0.1f);
  EXPECT_TRUE(host().texts().size() == 1 + 2 * 64 &&
              host().texts()[0] == "Smooth measurement points 2\n");
}

// --- Views and keys ------------------------------------------------------------------------------

// Views of a 4 x 3 image whose accumulation image is 1 everywhere.
class output_visualize : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    use_arrays(4, 3);
    std::fill(renderer->pixels, renderer->pixels + 36, 1.0f);
    block.assign(qorImage_block::bytes(4, 3) / 4, -1.0f);
    renderer->output_block = reinterpret_cast<qorImage_block*>(block.data());
    renderer->mean_emitter_weight = 0.25f;
  }
  floats block;
};

TEST_F(output_visualize, each_view_paints_its_quantity_into_the_pixels_of_its_points) {
  // A point at (1, 2) with every quantity, one at (3, 1) at its lower bound with few photons, and
  // the per-pixel record at (2, 0).
  measurement_point& a = points[0];
  a.pixel_x = 1, a.pixel_y = 2, a.radius = 0.5f, a.min_radius = 0.1f, a.photon_count = 17;
  set3(a.radiance, 1.0f, 2.0f, 4.0f);
  set3(a.light_radiance, 100.0f, 0.0f, 0.0f);
  set3(a.pass_flux, 1.0f, 2.0f, 0.5f);
  set3(a.offset_sum, 0.3f, -0.2f, 0.7f);
  a.variance_sum = 9, a.normal_deviation = -6;
  points[1] = {
      .radius = 0.25f, .photon_count = 10, .min_radius = 0.25f, .pixel_x = 3, .pixel_y = 1};
  renderer->point_count = 2;
  pixel_points[2] = {.radiance = {7, 7, 7}, .pixel_x = 2, .smoothed_radiance = {0, 0, 0.75f}};
  // Per-pixel records (1) or points (0), view, iteration, light flag, pixel x and y, and RGB.
  const float k = 1 / (0.25 * M_PI * M_PI), v8 = 0.62 * 0.1 / (17 * 0.25 * M_PI);
  const float cases[][9] = {
      {0, 0, 1, 0, 1, 2, 2, 3, 5},         {0, 0, 1, 1, 1, 2, 102, 3, 5},
      {0, 0, 1, 0, 3, 2, 1, 1, 1},         {0, 1, 1, 0, 1, 2, 1, 2, 4},
      {0, 1, 1, 0, 3, 2, 0, 0, 0},         {0, 2, 1, 0, 1, 2, 1, 1, 1},
      {0, 3, 1, 0, 1, 2, 1, 1, 1},         {0, 3, 1, 0, 3, 1, 10, 0.5f, 0.5f},
      {0, 4, 1, 0, 1, 2, k, 2 * k, k / 2}, {0, 4, 0, 0, 1, 2, k / 4, k / 2, k / 8},
      {0, 5, 1, 0, 1, 2, 0, 0, 0},         {0, 7, 4, 0, 1, 2, 1.5f, 1.5f, 1.5f},
      {0, 8, 1, 0, 1, 2, v8, v8, v8},      {0, 8, 1, 0, 3, 1, 0, 0, 0},
      {0, 9, 2, 0, 1, 2, 6, 7, 9},         {0, 10, 1, 0, 1, 2, 0, 0, 0},
      {1, 1, 1, 0, 2, 0, 7, 7, 7},         {1, 1, 1, 0, 1, 2, 0, 0, 0},
      {1, 6, 1, 0, 2, 0, 0, 0, 0.75f},     {1, 4, 1, 0, 1, 2, k, 2 * k, k / 2}};
  for (const auto& c : cases) {
    renderer->sampling_mode = static_cast<int>(c[0]);
    renderer->light_irradiance = c[3] != 0;
    renderer->visualize(scene(), static_cast<view>(c[1]), static_cast<int>(c[2]));
    const float* px =
        host().shown.back().data() + 3 * (4 * static_cast<int>(c[5]) + static_cast<int>(c[4]));
    for (int ch = 0; ch < 3; ++ch)
      EXPECT_NEAR(px[ch], c[6 + ch], 1e-6f * c[6 + ch]) << c[1] << " " << c[4];
  }
}

}  // namespace
