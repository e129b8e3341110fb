#include <cmath>
#include <cstring>

#include "module/photons/random.h"
#include "tests/module/module_test.h"
#include "tests/module/render_arrays.h"

namespace {

// Thread 1 shades hits of a 4 x 3 image at (0, 0, 10), seen through pixels of angle 0.001 from
// the origin: a pixel's footprint is 0.01 (radius scale 6, lower bound scale 0.5).
class candidates_test : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    saved_selection = selection_random;
    start(false, qor_ray_camera, 0);
  }
  void TearDown() override {
    selection_random = saved_selection;
    module_test::TearDown();
  }

  // A fresh renderer, with a second point set or not, and a ray of thread 1 at the given depth.
  void start(bool second_set, uint32_t ray_type, int depth) {
    start_over();
    create(default_parameters());
    arrays = std::make_unique<render_arrays>(*renderer, 4, 3, 2, second_set);
    renderer->pixel_angle = 0.001f;
    ray.reset(make_ray(1, ray_type));
    host().thread(1).thread_index = 1;
    ray->material = &material;
    set_spread(0.5f);
    host().info_and_sub_shader = [this](qorRay* r, qorShader* shader, int info, void* data) {
      // Asked for the material's reflectance as for a camera ray.
      EXPECT_TRUE(shader == material.shader && info == qor_shader_reflectance && r->depth == 0);
      ++shader_calls;
      std::memcpy(data, reflectance, sizeof reflectance);
      return 1;
    };
    hit(0, depth);
  }
  void hit(double x, int depth = 0, float weight = 1.0f) {
    set3(ray->hit_position, x, 0.0, 10.0);
    set3(ray->shading_normal, 0.0, 1.0, 0.0);
    ray->depth = depth;
    ray->weight = weight;
  }
  // Differentials whose combined length is `spread`.
  void set_spread(float spread) {
    host().compute_ray_differentials = [spread](fake_ray& r) {
      set3(r.differential_x, 0.0f, spread, 0.0f);
      set3(r.differential_y, 0.0f, 0.0f, 0.0f);
    };
  }
  int shade(float* result = nullptr) {
    float ignored[3];
    return renderer->indirect_illumination(result ? result : ignored, *ray);
  }
  candidate_buffer& buffer() { return renderer->candidates_of(1); }

  int shader_calls = 0;
  float reflectance[3] = {0.5f, 0.25f, 0.125f};
  qorMaterial material{reinterpret_cast<qorShader*>(0x5eed)};
  std::unique_ptr<render_arrays> arrays;
  ray_ptr ray;
  xorshift128 saved_selection;
};

TEST_F(candidates_test, radius_is_twice_the_footprint_or_the_spread_down_to_a_tenth_of_it) {
  const float spreads[4] = {0.5f, 0.005f, 0.0f, NAN}, radii[4] = {0.02f, 0.005f, 0.001f, 0.001f};
  for (int k = 0; k < 4; ++k) {
    set_spread(spreads[k]);
    EXPECT_EQ(shade(), 1);
    EXPECT_FLOAT_EQ(buffer().slots[k].radius, 6.0f * radii[k]) << spreads[k];
    EXPECT_FLOAT_EQ(buffer().slots[k].min_radius, 0.5f * radii[k]) << spreads[k];
  }

  // The camera distance is formed in single precision.
  set3(renderer->camera_pos, 0.1, 0.2, 0.3);
  set3(ray->hit_position, 10.9595, -3.2535, 4.8895);
  set_spread(1.0f);  // wider than twice the footprint: r0 = 2 d pixel_angle
  shade();
  float v[3];
  double w = 0.0;
  for (int c = 0; c < 3; ++c) {
    v[c] = static_cast<float>(ray->hit_position[c]) - static_cast<float>(renderer->camera_pos[c]);
    w += std::pow(ray->hit_position[c] - renderer->camera_pos[c], 2);
  }
  const float d = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  ASSERT_NE(d, static_cast<float>(std::sqrt(w)));  // the case tells the two apart
  EXPECT_EQ(buffer().slots[4].radius, 6.0f * (2.0f * (d * 0.001f)));
  EXPECT_EQ(buffer().slots[4].min_radius, 0.5f * (2.0f * (d * 0.001f)));
}

TEST_F(candidates_test, creation_writes_its_fields_and_keeps_those_of_later_stages) {
  std::memset(static_cast<void*>(&buffer().slots[0]), 0x41, sizeof(measurement_point));
  measurement_point expected = buffer().slots[0];
  set3(ray->hit_position, 1.1, -2.2, 10.3);
  set3(ray->shading_normal, 0.6, 0.0, -0.8);
  ray->weight = 0.141099989f;
  host().options.sample_weight_divisor = 3.0f;
  host().thread(1).pixel_x = 3;
  host().thread(1).pixel_y = 2;
  shade();
  // (1 / divisor) x weight, which differs from weight / divisor here.
  const float weight = (1.0f / 3.0f) * 0.141099989f;
  ASSERT_NE(weight, 0.141099989f / 3.0f);
  const measurement_point& p = buffer().slots[0];
  set3(expected.position, 1.1f, -2.2f, 10.3f);
  set3(expected.normal, 0.6f, 0.0f, -0.8f);
  expected.radius = p.radius;
  expected.min_radius = p.min_radius;
  expected.pixel_x = 3;
  expected.pixel_y = 2;
  expected.sample_weight = weight;
  set3(expected.reflectance, 0.5f * weight, 0.25f * weight, 0.125f * weight);
  // The accumulators start empty; refinement, smoothing and the history own the rest.
  expected.pass_photons = expected.lock = 0;
  expected.photon_count = expected.variance_sum = 0.0f;
  for (float* field : {expected.pass_flux, expected.offset_sum, expected.radiance}) {
    set3(field, 0.0f, 0.0f, 0.0f);
  }
  EXPECT_EQ(std::memcmp(&p, &expected, sizeof p), 0);

  hit(0, 2);  // depth 2 is not a continuation: the reflectance is weighted as at depth 0
  shade();
  EXPECT_EQ(ray->depth, 2);
  EXPECT_EQ(buffer().slots[1].reflectance[1], 0.25f * (1.0f / 3.0f));
  EXPECT_EQ(shader_calls, 2);
}

TEST_F(candidates_test, continuation_hits_get_sixteen_times_the_radius_and_their_weight) {
  hit(0, 1, 0.75f);
  host().options.sample_weight_divisor = 0.5f;
  shade();  // without a second set: a candidate
  const measurement_point& p = buffer().slots[0];
  EXPECT_FLOAT_EQ(p.radius, 1.92f);
  EXPECT_FLOAT_EQ(p.min_radius, 0.16f);
  // A continuation point gathers irradiance: its reflectance is the sample weight.
  EXPECT_EQ(p.sample_weight, 1.5f);
  EXPECT_EQ(rgb(p.reflectance), floats(3, 1.5f));

  // With a second set the point goes straight into it, until it is full.
  start(true, qor_ray_diffuse, 1);
  renderer->point_count = 12;  // the main set is full; the second is not
  renderer->point2_count = 10;
  for (int k = 0; k < 3; ++k) shade();
  EXPECT_EQ(renderer->point2_count, 12u);
  EXPECT_EQ(buffer().count, 0);
  EXPECT_FLOAT_EQ(renderer->points2[11].radius, 1.92f);
  EXPECT_EQ(renderer->points2[11].position[2], 10.0f);
}

TEST_F(candidates_test, the_main_set_keeps_reserved_records_free_and_the_last_slot_takes_the_rest) {
  renderer->point_count = 10;  // of 12
  const int reserved[3] = {2, 1, 13}, count[3] = {0, 1, 2};
  for (int k = 0; k < 3; ++k) {
    // More reserved than there are records: the difference wraps, as an unsigned limit.
    host().options.reserved_points = reserved[k];
    renderer->point_count += k == 2;
    shade();
    EXPECT_EQ(buffer().count, count[k]) << reserved[k];
  }
  EXPECT_EQ(shader_calls, 2);

  // From the 64th candidate of a sample on, each new one lands in slot 63.
  for (int k = 2; k < 65; ++k) {
    hit(k);
    shade();
  }
  EXPECT_EQ(buffer().count, 63);
  EXPECT_TRUE(buffer().slots[62].position[0] == 62.0f && buffer().slots[63].position[0] == 64.0f);
}

TEST_F(candidates_test, the_slot_answers_black_or_through_the_continuation_by_point_mode) {
  float result[3] = {7.0f, 7.0f, 7.0f};
  EXPECT_EQ(shade(result), 1);  // one point set
  EXPECT_EQ(rgb(result), floats(3, 0.0f));
  EXPECT_EQ(buffer().count, 1);

  // With a second set the camera hit shades through a continuation, which misses here.
  renderer->point_mode = 1;
  EXPECT_EQ(shade(), 0);
  EXPECT_EQ(buffer().count, 2);    // the candidate came first
  renderer->indirect_photons = 0;  // without bounced photons in the main set: no candidate
  EXPECT_EQ(shade(), 0);
  EXPECT_TRUE(buffer().count == 2 && shader_calls == 2);
  EXPECT_EQ(host().count_calls("trace_diffuse"), 2);

  host().options.indirect_enabled = 0;  // indirect light off: black, and nothing else
  set3(result, 7.0f, 7.0f, 7.0f);
  EXPECT_EQ(shade(result), 1);
  EXPECT_EQ(rgb(result), floats(3, 0.0f));
  EXPECT_TRUE(buffer().count == 2 && shader_calls == 2 && ray->thread->second_set_answered == 0);
  EXPECT_EQ(host().count_calls("trace_diffuse"), 2);
}

TEST_F(candidates_test, the_second_set_answers_continuations_with_its_radiance_times_pi) {
  start(true, qor_ray_diffuse, 1);
  renderer->point_mode = 1;
  float result[3] = {7.0f, 7.0f, 7.0f};
  EXPECT_EQ(shade(result), 1);  // no second tree yet: black, and not answered
  EXPECT_EQ(rgb(result), floats(3, 0.0f));
  EXPECT_EQ(ray->thread->second_set_answered, 0);
  renderer->point_mode = 2;  // a kept set answers from the second pass on, even without a tree
  renderer->iteration = 1;
  EXPECT_EQ(shade(result), 1);
  EXPECT_TRUE(result[0] == 0.0f && ray->thread->second_set_answered == 1);

  // Two points in one leaf: the lookup answers their mean.
  for (int k = 0; k < 2; ++k) arrays->points2[k] = make_point(0, 0, 10, 1);
  set3(arrays->points2[0].radiance, 0.1f, 0.3f, 0.0f);
  set3(arrays->points2[1].radiance, 0.1f, 0.1f, 0.6f);
  renderer->tree2 = new ppm_tree(arrays->points2.data(), 2);
  renderer->tree2->build();
  renderer->point2_count = 2;
  float looked_up[3];
  renderer->tree2->lookup_radiance(*ray, looked_up);
  ASSERT_EQ(looked_up[0], 0.1f);
  floats expected;
  bool precision_shows = false;
  for (float l : looked_up) {
    expected.push_back(static_cast<float>(static_cast<double>(l) * M_PI));
    precision_shows |= expected.back() != l * 3.14159265f;
  }
  ASSERT_TRUE(precision_shows);  // pi is applied in double

  // A second set rebuilt per pass answers after creating the hit's own point; a kept one
  // answers from the second pass on, without new points, and builds in the first.
  const int modes[3][3] = {{1, 0, 3}, {2, 1, 3}, {2, 0, 4}};  // point mode, iteration, points
  for (const auto& m : modes) {
    renderer->point_mode = m[0];
    renderer->iteration = m[1];
    ray->thread->second_set_answered = 0;
    EXPECT_EQ(shade(result), 1);
    EXPECT_EQ(ray->thread->second_set_answered, 1);
    EXPECT_EQ(rgb(result), expected);
    EXPECT_EQ(renderer->point2_count, uint32_t(m[2]));
  }
  EXPECT_EQ(buffer().count, 0);
}

// --- Committing one candidate per pixel sample ---------------------------------------------

class commit_test : public candidates_test {
 protected:
  // Candidates with the given weights, told apart by their x position.
  void make_candidates(floats weights) {
    buffer().count = 0;
    for (size_t k = 0; k < weights.size(); ++k) {
      hit(static_cast<double>(k), 0, weights[k]);
      shade();
    }
  }
  // The x position of the committed point; drew says whether the selection source moved.
  int commit() {
    const xorshift128 before = selection_random;
    const uint32_t k = renderer->point_count;
    renderer->commit_candidate(1);
    drew = std::memcmp(&before, &selection_random, sizeof before) != 0;
    return static_cast<int>(renderer->points[k].position[0]);
  }

  bool drew = false;
};

// Makes the next step of selection_random answer u: with x = 0 the step reduces to
// w ^ (w >> 19), whose inverse is u ^ (u >> 19).
void force_next_selection(uint32_t u) {
  selection_random = {0, 0, 0, u ^ (u >> 19)};
}

TEST_F(commit_test, the_first_slot_whose_running_weight_passes_the_target_is_chosen) {
  renderer->commit_candidate(1);  // an empty buffer commits nothing
  EXPECT_EQ(renderer->point_count, 0u);
  make_candidates({0.3f});
  buffer().slots[0].smoothed_radiance[1] = 4.5f;  // bytes the commit copies with the rest
  const measurement_point candidate = buffer().slots[0];
  renderer->point_count = 4;
  EXPECT_EQ(commit(), 0);
  EXPECT_FALSE(drew);  // a single candidate needs no draw
  EXPECT_EQ(std::memcmp(&renderer->points[4], &candidate, sizeof candidate), 0);
  EXPECT_TRUE(renderer->point_count == 5 && buffer().count == 0);

  const struct {
    floats weights;
    uint32_t draw;
    int chosen;
  } cases[] = {
      {{1, 1}, 0x80000000u, 1},  // target = half the total; 1 does not pass 1, strictly
      {{0, 0, 3}, 0u, 2},        // target 0: zero-weight slots never pass it
      {{1, 1}, 0xFFFFFFFFu, 0},  // target = the total, which no running sum exceeds
      {{0, 1}, 15u, 1},          // only the top 28 bits count: 15 is a draw of 0
  };
  for (const auto& c : cases) {
    make_candidates(c.weights);
    force_next_selection(c.draw);
    EXPECT_EQ(commit(), c.chosen) << c.draw;
  }
  make_candidates({0, 0, 0});  // all weights zero: the first slot, after a draw
  EXPECT_EQ(commit(), 0);
  EXPECT_TRUE(drew);
}

}  // namespace
