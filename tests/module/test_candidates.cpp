#include <array>
#include <cmath>
#include <cstring>

#include "photons/random.h"
#include "tests/module/module_test.h"
#include "tests/module/render_arrays.h"
#include "tree/ppm_tree.h"

namespace {

// Makes the next step of selection_random answer u: with x = 0 the step reduces to
// w ^ (w >> 19), whose inverse is u ^ (u >> 19).
void force_next_selection(uint32_t u) {
  selection_random.x = 0;
  selection_random.y = 0;
  selection_random.z = 0;
  selection_random.w = u ^ (u >> 19);
}

class candidates_test : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    host().options.width = 4;
    host().options.height = 3;
    create(default_parameters());  // radius scale 6, lower bound scale 0.5
    saved_selection = selection_random;
    arrays = std::make_unique<render_arrays>(*renderer, 4, 3, 2);
    renderer->pixel_angle = 0.001f;
    ray = make_ray(1, qor_ray_camera);
    host().thread(1).thread_index = 1;
    host().thread(1).pixel_x = 3;
    host().thread(1).pixel_y = 2;
    ray->material = &material;
    set_spread(0.5f);
    host().info_and_sub_shader = [this](qorRay* r, qorShader* shader, int info, void* data) {
      shader_calls.push_back({shader, info, r->depth});
      std::memcpy(data, reflectance, sizeof reflectance);
      return 1;
    };
    hit({0.0, 0.0, 10.0}, {0.0, 1.0, 0.0});
  }

  void TearDown() override {
    delete ray;
    selection_random = saved_selection;
    module_test::TearDown();
  }

  void hit(std::array<double, 3> position, std::array<double, 3> normal, int depth = 0,
           float weight = 1.0f) {
    for (int c = 0; c < 3; ++c) {
      ray->hit_position[c] = position[c];
      ray->shading_normal[c] = normal[c];
    }
    ray->depth = depth;
    ray->weight = weight;
  }

  // Differentials whose combined length is `spread`.
  void set_spread(float spread) {
    host().compute_ray_differentials = [spread](fake_ray& r) {
      r.differential_x[0] = 0.0f;
      r.differential_x[1] = spread;
      r.differential_x[2] = 0.0f;
      r.differential_y[0] = r.differential_y[1] = r.differential_y[2] = 0.0f;
    };
  }

  int shade(float result[3]) { return renderer->indirect_illumination(result, *ray); }
  int shade() {
    float result[3];
    return shade(result);
  }

  candidate_buffer& buffer() { return renderer->candidates_of(1); }

  // A fresh renderer with a second point set, shading a continuation ray of thread 1.
  void use_second_set() {
    delete ray;
    arrays.reset();
    start_over();
    create(default_parameters());
    arrays = std::make_unique<render_arrays>(*renderer, 4, 3, 2, true);
    renderer->pixel_angle = 0.001f;
    ray = make_ray(1, qor_ray_diffuse);
    host().thread(1).thread_index = 1;
    ray->material = &material;
    set_spread(0.5f);
    hit({0.0, 0.0, 10.0}, {0.0, 1.0, 0.0}, 1);
  }

  struct shader_call {
    qorShader* shader;
    int info;
    int32_t depth;
  };
  std::vector<shader_call> shader_calls;
  float reflectance[3] = {0.5f, 0.25f, 0.125f};
  qorMaterial material{reinterpret_cast<qorShader*>(0x5eed)};
  std::unique_ptr<render_arrays> arrays;
  fake_ray* ray = nullptr;
  xorshift128 saved_selection;
};

// --- The radius rule ----------------------------------------------------------------------

TEST_F(candidates_test, radius_starts_at_twice_the_footprint_when_the_differentials_spread_wider) {
  // d = 10, footprint 0.01: spread 0.5 > 0.02, r0 = 0.02.
  EXPECT_EQ(shade(), 1);
  ASSERT_EQ(buffer().count, 1);
  EXPECT_FLOAT_EQ(buffer().slots[0].radius, 0.12f);
  EXPECT_FLOAT_EQ(buffer().slots[0].min_radius, 0.01f);
}

TEST_F(candidates_test, radius_follows_the_spread_down_to_a_tenth_of_the_footprint) {
  set_spread(0.005f);
  shade();
  EXPECT_FLOAT_EQ(buffer().slots[0].radius, 6.0f * 0.005f);
  EXPECT_FLOAT_EQ(buffer().slots[0].min_radius, 0.5f * 0.005f);
  set_spread(0.0f);
  shade();
  EXPECT_FLOAT_EQ(buffer().slots[1].radius, 6.0f * 0.001f);
  EXPECT_FLOAT_EQ(buffer().slots[1].min_radius, 0.5f * 0.001f);
  set_spread(NAN);
  shade();
  EXPECT_FLOAT_EQ(buffer().slots[2].radius, 6.0f * 0.001f);
  EXPECT_FLOAT_EQ(buffer().slots[2].min_radius, 0.5f * 0.001f);
}

TEST_F(candidates_test, continuation_hits_get_sixteen_times_the_radius_in_the_second_set) {
  use_second_set();
  renderer->point2_count = 5;
  shade();
  EXPECT_EQ(renderer->point2_count, 6u);
  EXPECT_EQ(renderer->candidates_of(1).count, 0);
  EXPECT_FLOAT_EQ(renderer->points2[5].radius, 1.92f);
  EXPECT_FLOAT_EQ(renderer->points2[5].min_radius, 0.16f);
  EXPECT_EQ(renderer->points2[5].position[2], 10.0f);
}

TEST_F(candidates_test, continuation_hits_without_a_second_set_become_candidates) {
  hit({0.0, 0.0, 10.0}, {0.0, 1.0, 0.0}, 1);
  shade();
  ASSERT_EQ(buffer().count, 1);
  EXPECT_FLOAT_EQ(buffer().slots[0].radius, 1.92f);
  EXPECT_EQ(renderer->point2_count, 0u);
}

TEST_F(candidates_test, camera_distance_and_footprint_are_single_precision) {
  renderer->camera_pos[0] = 0.1;
  renderer->camera_pos[1] = 0.2;
  renderer->camera_pos[2] = 0.3;
  hit({10.9595, -3.2535, 4.8895}, {0.0, 1.0, 0.0});
  set_spread(1.0f);  // wider than twice the footprint: r0 = 2 d pixel_angle
  shade();

  float v[3];
  for (int c = 0; c < 3; ++c) {
    v[c] = static_cast<float>(ray->hit_position[c]) - static_cast<float>(renderer->camera_pos[c]);
  }
  const float d = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  double w = 0.0;
  for (int c = 0; c < 3; ++c) {
    const double e = ray->hit_position[c] - renderer->camera_pos[c];
    w += e * e;
  }
  const float d_in_double = static_cast<float>(std::sqrt(w));
  ASSERT_NE(d, d_in_double);  // the case tells the two apart
  EXPECT_EQ(buffer().slots[0].radius, 6.0f * (2.0f * (d * 0.001f)));
  EXPECT_EQ(buffer().slots[0].min_radius, 0.5f * (2.0f * (d * 0.001f)));
}

// --- The fields of a new point ------------------------------------------------------------

TEST_F(candidates_test, creation_writes_its_fields_and_keeps_those_of_later_stages) {
  std::memset(static_cast<void*>(&buffer().slots[0]), 0x41, sizeof(measurement_point));
  const measurement_point before = buffer().slots[0];
  hit({1.1, -2.2, 10.3}, {0.6, 0.0, -0.8}, 0, 0.141099989f);
  host().options.sample_weight_divisor = 3.0f;
  shade();

  const measurement_point& p = buffer().slots[0];
  EXPECT_EQ(p.position[0], 1.1f);
  EXPECT_EQ(p.position[1], -2.2f);
  EXPECT_EQ(p.position[2], 10.3f);
  EXPECT_EQ(p.normal[0], 0.6f);
  EXPECT_EQ(p.normal[1], 0.0f);
  EXPECT_EQ(p.normal[2], -0.8f);
  EXPECT_EQ(p.pixel_x, 3);
  EXPECT_EQ(p.pixel_y, 2);
  // (1 / divisor) x weight, which differs from weight / divisor here.
  const float weight = (1.0f / 3.0f) * 0.141099989f;
  ASSERT_NE(weight, 0.141099989f / 3.0f);
  EXPECT_EQ(p.sample_weight, weight);
  EXPECT_EQ(p.reflectance[0], 0.5f * weight);
  EXPECT_EQ(p.reflectance[1], 0.25f * weight);
  EXPECT_EQ(p.reflectance[2], 0.125f * weight);

  // The accumulators start empty.
  EXPECT_EQ(p.pass_photons, 0);
  EXPECT_EQ(p.photon_count, 0.0f);
  EXPECT_EQ(p.lock, 0u);
  EXPECT_EQ(p.variance_sum, 0.0f);
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(p.pass_flux[c], 0.0f);
    EXPECT_EQ(p.offset_sum[c], 0.0f);
    EXPECT_EQ(p.radiance[c], 0.0f);
  }
  // Refinement, smoothing and the per-pixel history own the rest.
  EXPECT_EQ(std::memcmp(&p.normal_deviation, &before.normal_deviation, 144 - 104), 0);
  EXPECT_EQ(p.smoothing_limit, before.smoothing_limit);
  EXPECT_EQ(p.spare, before.spare);
}

TEST_F(candidates_test, the_shader_answers_reflectance_as_for_a_camera_ray) {
  hit({0.0, 0.0, 10.0}, {0.0, 1.0, 0.0}, 2);
  shade();
  ASSERT_EQ(shader_calls.size(), 1u);
  EXPECT_EQ(shader_calls[0].shader, material.shader);
  EXPECT_EQ(shader_calls[0].info, qor_shader_reflectance);
  EXPECT_EQ(shader_calls[0].depth, 0);
  EXPECT_EQ(ray->depth, 2);  // restored
  // Depth 2 is not a continuation point: the shader's reflectance is weighted.
  EXPECT_EQ(buffer().slots[0].reflectance[1], 0.25f);
}

TEST_F(candidates_test, continuation_points_carry_their_weight_as_reflectance) {
  hit({0.0, 0.0, 10.0}, {0.0, 1.0, 0.0}, 1, 0.75f);
  host().options.sample_weight_divisor = 0.5f;
  shade();
  const measurement_point& p = buffer().slots[0];
  EXPECT_EQ(p.sample_weight, 1.5f);
  EXPECT_EQ(p.reflectance[0], 1.5f);
  EXPECT_EQ(p.reflectance[1], 1.5f);
  EXPECT_EQ(p.reflectance[2], 1.5f);
}

// --- Capacity and the candidate buffer ----------------------------------------------------

TEST_F(candidates_test, no_point_once_the_array_is_full_but_for_the_reserved_records) {
  renderer->point_count = 10;  // of 12
  host().options.reserved_points = 2;
  shade();
  EXPECT_EQ(buffer().count, 0);
  EXPECT_TRUE(shader_calls.empty());
  host().options.reserved_points = 1;
  shade();
  EXPECT_EQ(buffer().count, 1);
  // More reserved than there are records: the difference wraps, as an unsigned limit.
  renderer->point_count = 11;
  host().options.reserved_points = 13;
  shade();
  EXPECT_EQ(buffer().count, 2);
}

TEST_F(candidates_test, continuation_hits_count_against_the_second_set) {
  use_second_set();
  renderer->point_count = 12;  // the main set is full; the second is not
  renderer->point2_count = 11;
  shade();
  EXPECT_EQ(renderer->point2_count, 12u);
  shade();
  EXPECT_EQ(renderer->point2_count, 12u);  // full now
}

TEST_F(candidates_test, past_the_63rd_candidate_of_a_sample_the_last_slot_takes_each_new_one) {
  for (int k = 0; k < 65; ++k) {
    hit({static_cast<double>(k), 0.0, 10.0}, {0.0, 1.0, 0.0});
    shade();
  }
  EXPECT_EQ(buffer().count, 63);
  EXPECT_EQ(buffer().slots[62].position[0], 62.0f);
  EXPECT_EQ(buffer().slots[63].position[0], 64.0f);
}

TEST_F(candidates_test, with_indirect_light_switched_off_the_slot_answers_black_and_does_nothing) {
  host().options.indirect_enabled = 0;
  renderer->point_mode = 1;
  float result[3] = {7.0f, 7.0f, 7.0f};
  EXPECT_EQ(shade(result), 1);
  EXPECT_EQ(result[0], 0.0f);
  EXPECT_EQ(result[1], 0.0f);
  EXPECT_EQ(result[2], 0.0f);
  EXPECT_EQ(buffer().count, 0);
  EXPECT_TRUE(shader_calls.empty());
  EXPECT_EQ(host().count_calls("new_ray 8"), 0);
}

// --- Point modes --------------------------------------------------------------------------

TEST_F(candidates_test, one_point_set_makes_a_candidate_and_answers_black) {
  float result[3] = {7.0f, 7.0f, 7.0f};
  EXPECT_EQ(shade(result), 1);
  EXPECT_EQ(result[0], 0.0f);
  EXPECT_EQ(result[2], 0.0f);
  EXPECT_EQ(buffer().count, 1);
  EXPECT_EQ(host().count_calls("new_ray 8"), 0);
}

TEST_F(candidates_test, a_kept_second_set_answers_later_continuations_without_new_points) {
  use_second_set();
  renderer->point_mode = 2;
  renderer->iteration = 1;
  renderer->point2_count = 3;
  EXPECT_EQ(shade(), 1);
  EXPECT_EQ(renderer->point2_count, 3u);
  EXPECT_EQ(renderer->candidates_of(1).count, 0);
  EXPECT_EQ(host().thread(1).second_set_answered, 1);

  // In the first pass the continuation hits still build the set.
  host().thread(1).second_set_answered = 0;
  renderer->iteration = 0;
  shade();
  EXPECT_EQ(renderer->point2_count, 4u);
  EXPECT_EQ(host().thread(1).second_set_answered, 0);
}

// A tree over two second-set points in one leaf, laid out by hand so that only the lookup is
// exercised. Its radiance answer is the mean of the two points.
struct one_leaf_tree {
  explicit one_leaf_tree(measurement_point* points) : tree(points, 2) {
    leaf.bounds_min[0] = leaf.bounds_min[1] = leaf.bounds_min[2] = -100.0f;
    leaf.bounds_max[0] = leaf.bounds_max[1] = leaf.bounds_max[2] = 100.0f;
    leaf.children = nullptr;
    leaf.first = 0;
    leaf.count = 2;
    own_root = tree.root;
    own_index = tree.index;
    tree.root = &leaf;
    tree.index = index;
  }
  ~one_leaf_tree() {
    tree.root = own_root;  // the leaf and its index are ours, not the tree's
    tree.index = own_index;
  }
  ppm_tree_node* own_root;
  uint32_t* own_index;
  ppm_tree_node leaf{};
  uint32_t index[2] = {0, 1};
  ppm_tree tree;
};

TEST_F(candidates_test, second_set_radiance_is_the_lookup_times_pi) {
  use_second_set();
  arrays->points2[0].radiance[0] = 0.1f;
  arrays->points2[1].radiance[0] = 0.1f;
  arrays->points2[0].radiance[1] = 0.3f;
  arrays->points2[1].radiance[1] = 0.1f;
  arrays->points2[1].radiance[2] = 0.6f;
  one_leaf_tree second(arrays->points2.data());
  float looked_up[3];
  second.tree.lookup_radiance(*ray, looked_up);
  if (looked_up[0] == 0.0f) GTEST_SKIP() << "the point tree's radiance lookup is not built yet";

  renderer->tree2 = &second.tree;
  renderer->point_mode = 2;
  renderer->iteration = 1;
  float result[3];
  EXPECT_EQ(shade(result), 1);
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(result[c], static_cast<float>(static_cast<double>(looked_up[c]) * M_PI));
  }
  EXPECT_FLOAT_EQ(result[1], 0.2f * static_cast<float>(M_PI));

  // A second set rebuilt per pass answers after creating the hit's own point.
  renderer->point_mode = 1;
  renderer->point2_count = 2;
  float again[3];
  EXPECT_EQ(shade(again), 1);
  EXPECT_EQ(again[1], result[1]);
  EXPECT_EQ(renderer->point2_count, 3u);
  renderer->tree2 = nullptr;
}

TEST_F(candidates_test, without_a_second_tree_a_continuation_hit_answers_black) {
  use_second_set();
  renderer->point_mode = 1;
  float result[3] = {7.0f, 7.0f, 7.0f};
  EXPECT_EQ(shade(result), 1);
  EXPECT_EQ(result[0], 0.0f);
  EXPECT_EQ(renderer->point2_count, 1u);
}

// Whether the diffuse continuation traces its ray in this build.
bool continuation_traces() {
  fake_ray* probe = make_ray(0, qor_ray_camera);
  probe->shading_normal[2] = probe->geometric_normal[2] = 1.0;
  float result[3];
  diffuse_continuation(result, *probe);
  delete probe;
  const bool traced = host().count_calls("trace_diffuse") > 0;
  host().calls.clear();
  return traced;
}

TEST_F(candidates_test, camera_hits_shade_through_the_continuation_in_the_second_set_modes) {
  // The continuation ray misses, so the continuation answers 0, and so does the slot.
  host().trace_diffuse = [](fake_ray&, float*) { return false; };
  const bool continuation_built = continuation_traces();
  renderer->point_mode = 1;
  EXPECT_EQ(shade(), 0);
  EXPECT_EQ(buffer().count, 1);  // the candidate came first

  // Without bounced photons in the main set, the camera hit makes no candidate at all.
  renderer->indirect_photons = 0;
  EXPECT_EQ(shade(), 0);
  EXPECT_EQ(buffer().count, 1);
  EXPECT_EQ(shader_calls.size(), 1u);
  // Once the continuation traces its ray, each of the two hits sent one.
  if (continuation_built) {
    EXPECT_EQ(host().count_calls("trace_diffuse"), 2);
  }
}

// --- Committing one candidate per pixel sample ---------------------------------------------

class commit_test : public candidates_test {
 protected:
  // Candidates with the given weights, told apart by their x position.
  void make_candidates(std::vector<float> weights) {
    buffer().count = 0;
    for (size_t k = 0; k < weights.size(); ++k) {
      hit({static_cast<double>(k), 0.0, 10.0}, {0.0, 1.0, 0.0}, 0, weights[k]);
      shade();
    }
  }

  // The x position of the committed point, and the selection draws the commit took.
  int commit() {
    const xorshift128 before = selection_random;
    const uint32_t k = renderer->point_count;
    renderer->commit_candidate(1);
    draws = selection_random.w != before.w ? 1 : 0;
    return static_cast<int>(renderer->points[k].position[0]);
  }

  int draws = 0;
};

TEST_F(commit_test, a_single_candidate_is_committed_whole_without_a_draw) {
  renderer->commit_candidate(1);  // an empty buffer commits nothing
  EXPECT_EQ(renderer->point_count, 0u);
  make_candidates({0.3f});
  buffer().slots[0].smoothed_radiance[1] = 4.5f;  // bytes the commit copies with the rest
  const measurement_point candidate = buffer().slots[0];
  renderer->point_count = 4;
  EXPECT_EQ(commit(), 0);
  EXPECT_EQ(draws, 0);
  EXPECT_EQ(renderer->point_count, 5u);
  EXPECT_EQ(std::memcmp(&renderer->points[4], &candidate, sizeof candidate), 0);
  EXPECT_EQ(buffer().count, 0);
}

TEST_F(commit_test, the_first_slot_whose_running_weight_passes_the_target_is_chosen) {
  // u = 2^31: target = half the total weight. Running sums 1, 2 against 1: slot 1, strictly.
  make_candidates({1.0f, 1.0f});
  force_next_selection(0x80000000u);
  EXPECT_EQ(commit(), 1);
  EXPECT_EQ(draws, 1);
  // u = 0: target 0, and zero-weight slots never pass it.
  make_candidates({0.0f, 0.0f, 3.0f});
  force_next_selection(0u);
  EXPECT_EQ(commit(), 2);
  // The largest draw makes the target the whole total, which no running sum exceeds: slot 0.
  make_candidates({1.0f, 1.0f});
  force_next_selection(0xFFFFFFFFu);
  EXPECT_EQ(commit(), 0);
  // Only the top 28 bits count: 15 is a draw of 0.
  make_candidates({0.0f, 1.0f});
  force_next_selection(15u);
  EXPECT_EQ(commit(), 1);
}

TEST_F(commit_test, all_zero_weights_commit_the_first_slot_after_a_draw) {
  make_candidates({0.0f, 0.0f, 0.0f});
  EXPECT_EQ(commit(), 0);
  EXPECT_EQ(draws, 1);
  EXPECT_EQ(renderer->point_count, 1u);
}

TEST_F(commit_test, selection_follows_the_weights_over_many_samples) {
  constexpr int samples = 20000;
  int chosen[4] = {};
  for (int i = 0; i < samples; ++i) {
    make_candidates({1.0f, 2.0f, 3.0f, 4.0f});
    renderer->point_count = 0;
    ++chosen[commit()];
  }
  // Standard deviation of each share below 0.0035; allow four of them.
  for (int k = 0; k < 4; ++k) {
    EXPECT_NEAR(chosen[k] / static_cast<double>(samples), (k + 1) / 10.0, 0.014) << "slot " << k;
  }
}

TEST_F(commit_test, the_last_slot_is_never_chosen_whatever_its_weight) {
  std::vector<float> weights(64, 0.001f);
  weights[63] = 1e6f;
  for (int i = 0; i < 50; ++i) {
    make_candidates(weights);
    renderer->point_count = 0;
    EXPECT_LT(commit(), 63);
  }
}

}  // namespace
