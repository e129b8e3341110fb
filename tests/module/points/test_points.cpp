#include <cmath>
#include <cstddef>
#include <cstring>
#include <deque>

#include "module/photons/random.h"
#include "tests/module/module_test.h"

namespace {

// Thread 1 shades hits at (x, 0, 10) of a 4 x 3 image seen from (0, 0, 20) through pixels of
// angle 0.001: a pixel's footprint there is 0.01 (radius scale 6, lower bound scale 0.5).
class points_candidates : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    create(defaults());
    use_arrays(4, 3, 2);
    renderer->pixel_angle = 0.001f, renderer->camera_pos[2] = 20;
    host().thread(1).thread_index = 1;
    ray.reset(make_ray(1, qor_ray_camera));
    ray->material = &material;
    host().differentials = [this](qorRay& r) { r.differential_y[1] = spread; };
    host().sub_shader = [this](qorRay* r, qorShader* shader, int, void* data) {
      EXPECT_TRUE(shader == material.shader && r->depth == 0);  // as for a camera ray
      return set3(static_cast<float*>(data), 0.5f, 0.25f, 0.125f), 1;
    };
  }
  // Shades a hit at (x, 0, 10); the result has a fourth float that must stay untouched.
  int shade(double x, int depth = 0, float weight = 1.0f) {
    set3(ray->hit_position, x, 0.0, 10.0);
    ray->depth = depth, ray->weight = weight;
    set3(result, 7.0f, 7.0f, 7.0f);
    const int answer = renderer->indirect_illumination(result, *ray);
    EXPECT_EQ(result[3], 7.0f);
    return answer;
  }
  candidate_buffer& buffer() { return renderer->candidates_of(1); }

  float spread = 0.5f, result[4] = {7.0f, 7.0f, 7.0f, 7.0f};
  qorMaterial material{reinterpret_cast<qorShader*>(&material)};
  std::unique_ptr<qorRay> ray;
};

TEST_F(points_candidates, a_hit_makes_a_candidate_sized_by_its_footprint_where_there_is_room) {
  // The radius starts at twice the footprint, or the differentials' spread down to a tenth of
  // it; the slot adds no light with one point set.
  const float spreads[4] = {0.5f, 0.005f, 0.0f, NAN}, r0[4] = {0.02f, 0.005f, 0.001f, 0.001f};
  for (int k = 0; k < 4; ++k) {
    spread = spreads[k];
    EXPECT_EQ(shade(0.0), 1);
    EXPECT_EQ(rgb(result), floats(3, 0.0f));
    EXPECT_FLOAT_EQ(buffer().slots[k].radius, 6.0f * r0[k]) << spreads[k];
    EXPECT_FLOAT_EQ(buffer().slots[k].min_radius, 0.5f * r0[k]) << spreads[k];
  }
  // Creation writes its fields and keeps those of later stages; the accumulators start empty.
  // Depth 2: the radius is 16 times wider, and the reflectance is weighted (as at depth 0).
  spread = 0.5f;
  renderer->points2 = nullptr;  // continuation hits then stay candidates
  measurement_point& p = buffer().slots[4];
  std::memset(static_cast<void*>(&p), 0x41, sizeof p);
  measurement_point expected = p;
  set3(ray->shading_normal, 0.6, 0.0, -0.8);
  host().thread(1).pixel_x = 3, host().thread(1).pixel_y = 2;
  host().options.sample_weight_divisor = 0.5f;
  shade(1.0, 2, 0.25f);
  EXPECT_FLOAT_EQ(p.radius, 16 * 6 * 0.02f * std::sqrt(1.01f));  // 0.01 x 10.05 x 2
  EXPECT_FLOAT_EQ(p.min_radius, 16 * 0.5f * 0.02f * std::sqrt(1.01f));
  const measurement_point made = {.position = {1, 0, 10},
                                  .radius = p.radius,
                                  .normal = {0.6f, 0, -0.8f},
                                  .sample_weight = 0.5f,
                                  .reflectance = {0.25f, 0.125f, 0.0625f},
                                  .min_radius = p.min_radius,
                                  .pixel_x = 3,
                                  .pixel_y = 2};
  std::memcpy(&expected, &made, offsetof(measurement_point, normal_deviation));
  expected.variance_sum = 0;
  EXPECT_EQ(std::memcmp(&p, &expected, sizeof p), 0);
  // A continuation hit (depth 1) without a second set: its weight is its reflectance.
  shade(0.0, 1, 0.75f);
  EXPECT_EQ(rgb(buffer().slots[5].reflectance), floats(3, 1.5f));
  // The main set keeps the options' reserved records free (10 of 12 used; 13 wraps: no limit),
  // and from the 64th candidate of a sample on each new one lands in slot 63.
  renderer->point_count = 10;
  const int reserved[3] = {2, 1, 13}, count[3] = {6, 7, 8};
  for (int k = 0; k < 3; ++k) {
    host().options.reserved_points = reserved[k];
    shade(0.0);
    EXPECT_EQ(buffer().count, count[k]) << reserved[k];
  }
  for (int k = 8; k < 66; ++k) shade(k);
  EXPECT_TRUE(buffer().count == 63 && buffer().slots[62].position[0] == 62 &&
              buffer().slots[63].position[0] == 65);
  // Continuation hits go straight into the second set, up to its capacity.
  renderer->points2 = points2.data();
  host().options.reserved_points = buffer().count = 0;
  renderer->point2_count = 10;
  for (int k = 0; k < 3; ++k) shade(k, 1);
  EXPECT_TRUE(renderer->point2_count == 12 && buffer().count == 0 && points2[11].position[0] == 1);
  host().options.indirect_enabled = 0;  // indirect light off: black, and nothing else
  EXPECT_TRUE(shade(5.0) == 1 && rgb(result) == floats(3, 0.0f) && buffer().count == 0);
}

TEST_F(points_candidates, the_second_set_answers_continuations_with_its_radiance_times_pi) {
  // Two second-set points in one leaf: the lookup answers their mean, times pi in double.
  std::vector<measurement_point> set{make_point(0, 0, 10, 1), make_point(0, 0, 10, 1)};
  set3(set[0].radiance, 0.1f, 0.3f, 0.0f);
  set3(set[1].radiance, 0.1f, 0.1f, 0.6f);
  // Point mode, iteration, tree, second-set points made, answered, answer.
  const int cases[3][6] = {{1, 0, 0, 1, 0, 0}, {2, 1, 0, 0, 1, 0}, {2, 1, 1, 0, 1, 1}};
  for (const auto& c : cases) {
    renderer->point_mode = c[0], renderer->iteration = c[1], renderer->point2_count = 2;
    renderer->tree2 = c[2] ? &tree_over(set) : nullptr;
    host().thread(1).second_set_answered = 0;
    EXPECT_EQ(shade(0.0, 1), 1);
    EXPECT_TRUE(renderer->point2_count == 2u + c[3] &&
                host().thread(1).second_set_answered == c[4]);
    for (int ch = 0; ch < 3; ++ch) EXPECT_NEAR(result[ch], c[5] * 0.1 * (ch + 1) * M_PI, 1e-6);
  }
  // A camera hit with a second set makes its candidate and then shades through a continuation
  // (which misses here); without bounced photons in the main set it makes none.
  renderer->tree2 = nullptr;
  EXPECT_EQ(shade(0.0), 0);
  renderer->indirect_photons = 0;
  EXPECT_EQ(shade(0.0), 0);
  renderer->point_mode = 0;  // ... which matters only with a second set
  shade(0.0);
  EXPECT_EQ(buffer().count, 2);
}

TEST_F(points_candidates, one_candidate_per_sample_is_committed_by_its_weight) {
  const xorshift128 saved = selection_random;
  renderer->commit_candidate(1);  // an empty buffer commits nothing
  shade(0.0, 0, 0.3f);
  renderer->point_count = 4;
  const xorshift128 before = selection_random;
  renderer->commit_candidate(1);
  EXPECT_EQ(std::memcmp(&points[4], &buffer().slots[0], sizeof points[4]), 0);
  EXPECT_EQ(std::memcmp(&before, &selection_random, sizeof before), 0);  // one needs no draw
  EXPECT_TRUE(renderer->point_count == 5 && buffer().count == 0);
  // The first slot whose running weight passes the target (a draw's top 28 bits times the total)
  // is chosen: a draw of half the total passes neither 1 nor 1, of 0.4 the first, of all none
  // (slot 0); zero weights never pass; 15 draws 0. A stale candidate beyond the count takes no
  // part.
  const std::pair<floats, std::pair<uint32_t, int>> cases[] = {
      {{1, 1}, {0x80000000u, 1}}, {{1, 1}, {0x66666666u, 0}}, {{1, 1}, {0xFFFFFFFFu, 0}},
      {{0, 0, 3}, {0u, 2}},       {{0, 1}, {15u, 1}},         {{0, 0, 0}, {0x12345678u, 0}}};
  for (const auto& [weights, draw] : cases) {
    buffer().count = 0;
    for (size_t k = 0; k < weights.size(); ++k) shade(static_cast<double>(k), 0, weights[k]);
    shade(9.0, 0, 100.0f);
    buffer().count = static_cast<int>(weights.size());
    const uint32_t u = draw.first;  // the next step answers u: with x = 0 it is w ^ (w >> 19)
    selection_random = {0, 0, 0, u ^ (u >> 19)};
    renderer->commit_candidate(1);
    EXPECT_EQ(points[renderer->point_count - 1].position[0], draw.second) << u;
  }
  selection_random = saved;
}

// --- Hit shading --------------------------------------------------------------------------------

// A light that adds value x (1, 2, 3), seen from how high the hit it lights lies.
struct test_light final : qorLight {
  explicit test_light(float v) : value(v) {}
  int kind() const override { return 0; }
  float power() const override { return 1.0f; }
  void add_direct_light(float result[3], qorRay& ray, qorRay& light_ray) override {
    EXPECT_TRUE(ray.current_light == this && light_ray.type == qor_ray_light &&
                light_ray.parent == &ray);
    context = ray.thread->light_context;
    height = ray.hit_position[1];
    for (int c = 0; c < 3; ++c) result[c] += value * static_cast<float>(c + 1);
  }
  float value;
  double height = 0.0;
  void* context = nullptr;
};

// A camera-ray hit at (1, 2, 3), shading normal (0, 0.6, 0.8), on thread 0.
class points_hit_shading : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    ray.reset(make_ray(0, qor_ray_camera));
    set3(ray->hit_position, 1.0, 2.0, 3.0);
    set3(ray->shading_normal, 0.0, 0.6, 0.8);
    set3(ray->geometric_normal, 0.6, 0.0, 0.8);
    ray->surface_offset = 0.1f;
  }
  // The continuation from the hit: the host answers with radiance v where it hits, says whether
  // the second set answered, may flag the result as discarded, and keeps the traced ray.
  int continuation(std::deque<float> draws, float v, bool hits = true, bool answered = true,
                   uint8_t flags = 0) {
    script() = std::move(draws);
    host().trace_diffuse = [=, this](qorRay& dray, float out[3]) {
      traced = dray;
      seen_flags = dray.thread->second_set_answered + 2 * dray.thread->emission_enabled;
      set3(out, v, 2 * v, 3 * v);
      dray.thread->second_set_answered = answered;
      dray.thread->emission_enabled = 1;
      dray.result_flags = flags;
      return hits;
    };
    return diffuse_continuation(result, *ray);
  }

  std::unique_ptr<qorRay> ray;
  float result[4] = {0, 0, 0, 7};  // a fourth float, so that copying one too many shows
  std::deque<float>& script() { return static_cast<fake_random&>(*host().thread(0).random).script; }
  qorRay traced{};
  int seen_flags = -1;
};

TEST_F(points_hit_shading, direct_light_sums_the_lights_from_the_lifted_hit_then_shadows_them) {
  test_light first(1.0f), second(0.5f);
  first.next = &second;
  floats before_shadows;
  host().shadows = [&](float r[3], qorRay& shaded, qorRay&) {
    before_shadows = rgb(r);
    EXPECT_EQ(shaded.current_light, nullptr);
    for (int c = 0; c < 3; ++c) r[c] *= 0.5f;
  };
  // Photons or the second set carry the light: black, and nothing asked of the host.
  host().lights = &first;
  renderer->direct_photons = 1;
  EXPECT_TRUE(renderer->direct_illumination(result, *ray, nullptr) == 1 &&
              rgb(result) == floats(3, 0));
  renderer->direct_photons = 0, renderer->point_mode = 2, ray->depth = 1;
  EXPECT_TRUE(renderer->direct_illumination(result, *ray, nullptr) == 1 && first.height == 0);
  renderer->point_mode = 0;
  EXPECT_EQ(renderer->direct_illumination(result, *ray, &second.value), 1);
  EXPECT_TRUE(first.context == &second.value && second.context == &second.value);
  EXPECT_TRUE(before_shadows == (floats{1.5f, 3.0f, 4.5f}) &&
              rgb(result) == (floats{0.75f, 1.5f, 2.25f}));
  EXPECT_EQ(rgb(host().thread(0).direct_light), rgb(result));
  EXPECT_EQ(floats(host().thread(0).reserved_356, host().thread(0).reserved_356 + 4), floats(4, 0));
  EXPECT_EQ(first.height, 2.0 + 0.6 * static_cast<double>(0.1f));  // lifted, then put back
  EXPECT_EQ(std::vector<double>(ray->hit_position, ray->hit_position + 3),
            (std::vector<double>{1, 2, 3}));
  EXPECT_TRUE(ray->current_light == nullptr && host().rays == 1 && ray->shading_normal[0] == 0);
  host().options.shadow_mode = 'S';  // shadows only in mode 's'; no lights: black, told so
  host().lights = nullptr;
  renderer->direct_illumination(result, *ray, nullptr);
  EXPECT_TRUE(before_shadows == (floats{1.5f, 3.0f, 4.5f}) &&
              rgb(host().thread(0).direct_light) == floats(3, 0));
}

TEST_F(points_hit_shading, a_continuation_keeps_only_the_second_sets_answer_times_pi) {
  ray->medium_ior = 1.5f, ray->medium = &traced;
  host().thread(0).second_set_answered = 1, host().thread(0).emission_enabled = 5;
  EXPECT_EQ(continuation({0.5f, 0.5f}, 0.1f), 1);
  EXPECT_TRUE(traced.type == qor_ray_diffuse && traced.parent == ray.get() && traced.depth == 1);
  EXPECT_TRUE(traced.medium_ior == 1.5f && traced.medium == &traced && traced.max_distance == 1e30);
  EXPECT_EQ(seen_flags, 0);  // asked afresh who answers, and to add no emission
  EXPECT_EQ(host().thread(0).emission_enabled, 1);  // restored as a flag
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(result[c], 0.1 * (c + 1) * M_PI, 1e-6);
  EXPECT_EQ(host().rays.load(), 1);
  // Hits, answered, discarded: only a hit the second set answered and the host kept counts.
  const bool outcomes[3][3] = {{true, false, false}, {true, true, true}, {false, true, false}};
  for (const auto& o : outcomes) {
    EXPECT_EQ(continuation({0.5f, 0.5f}, 1.0f, o[0], o[1], o[2]), o[0]);
    EXPECT_EQ(rgb(result), floats(3, 0.0f)) << o[0] << o[1] << o[2];
  }
  // Directions: (1, 1) lies outside the disc and is drawn again; (0.5, -0.5) gives w = sqrt(0.5).
  // Normals down -z (to -0.9999999) get the axis frame; any other normal an orthonormal frame
  // around it, with the direction's shares u, v and w along its axes.
  const double s = 1.0 / std::sqrt(14.0), t = std::sqrt(1.0 - 0.99999 * 0.99999);
  const double normals[][3] = {{s, 2 * s, -3 * s}, {0, 0, -1}, {1e-7, 0, -0.99999995},
                               {0, -0.6, -0.8},    {1, 0, 0},  {t, 0, -0.99999},
                               {0.36, 0.48, 0.8}};
  const auto dot = [](const double* p, const double* q) {
    return p[0] * q[0] + p[1] * q[1] + p[2] * q[2];
  };
  for (const auto& n : normals) {
    set3(ray->shading_normal, n[0], n[1], n[2]);
    continuation({1.0f, 1.0f, 0.75f, 0.25f}, 0.0f);
    EXPECT_TRUE(script().empty());
    if (n[2] < -0.9999999) {
      EXPECT_TRUE(ray->tangent[0] == 1 && ray->tangent[1] == 0 && ray->tangent[2] == 0);
      EXPECT_TRUE(ray->bitangent[0] == 0 && ray->bitangent[1] == 1 && ray->bitangent[2] == 0);
    }
    const double* frame[3] = {ray->tangent, ray->bitangent, n};
    const double share[3] = {0.5, -0.5, std::sqrt(0.5f)};
    for (int a = 0; a < 3; ++a) {
      for (int b = 0; b < 3; ++b) {
        if (n[2] >= -0.9999999 || a + b < 2) {
          EXPECT_NEAR(dot(frame[a], frame[b]), a == b, 1e-10);
        }
      }
      EXPECT_NEAR(dot(traced.direction, frame[a]), share[a], 1e-6) << n[2];
    }
  }
}

}  // namespace
