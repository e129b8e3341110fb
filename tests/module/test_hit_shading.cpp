#include <cmath>
#include <deque>
#include <tuple>
#include <utility>

#include "tests/module/module_test.h"

namespace {

// A light that records how the renderer called it and adds value x (1, 2, 3).
class test_light final : public qorLight {
 public:
  test_light(float v, std::vector<test_light*>& log) : value_(v), log_(log) {}
  int kind() const override { return 0; }
  float power() const override { return 1.0f; }
  void add_direct_light(float result[3], qorRay& ray, qorRay& light_ray) override {
    log_.push_back(this);
    named_itself = ray.current_light == this;
    height_seen = ray.hit_position[1];
    light_ray_seen = light_ray.type == qor_ray_light && light_ray.parent == &ray;
    context_seen = ray.thread->light_context;
    for (int c = 0; c < 3; ++c) result[c] += value_ * static_cast<float>(c + 1);
  }

  bool named_itself = false, light_ray_seen = false;
  double height_seen = 0.0;
  void* context_seen = nullptr;

 private:
  float value_;
  std::vector<test_light*>& log_;
};

// A random source that answers from a script.
class scripted_random final : public qorRandom {
 public:
  float next_float() override {
    ++draws;
    if (values.empty()) ADD_FAILURE() << "random source drawn more often than scripted";
    const float v = values.empty() ? 0.5f : values.front();
    if (!values.empty()) values.pop_front();
    return v;
  }
  void restart() override {}
  void seed(uint32_t) override {}

  std::deque<float> values;
  int draws = 0;
};

// A camera-ray hit at (1, 2, 3) with shading normal (0, 0.6, 0.8), on thread 0.
class hit_shading_test : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    ray.reset(make_ray(0, qor_ray_camera));
    set3(ray->hit_position, 1.0, 2.0, 3.0);
    set3(ray->shading_normal, 0.0, 0.6, 0.8);
    ray->surface_offset = 0.1f;
  }
  qorThread& thread() { return host().thread(0); }
  int direct() { return renderer->direct_illumination(result, *ray, &host_context); }

  ray_ptr ray;
  std::vector<test_light*> light_log;
  float result[3] = {9.0f, 9.0f, 9.0f};
  int host_context = 0;
};

TEST_F(hit_shading_test, lights_are_summed_in_list_order_from_the_lifted_hit_then_shadowed) {
  test_light first(1.0f, light_log), second(0.5f, light_log);
  first.next = &second;
  host().lights = &first;
  floats before_shadows;
  host().evaluate_shadows = [&](float r[3], qorRay& shaded, qorRay&) {
    before_shadows.assign(r, r + 3);
    EXPECT_EQ(shaded.current_light, nullptr);
    for (int c = 0; c < 3; ++c) r[c] *= 0.5f;
  };
  EXPECT_EQ(direct(), 1);
  EXPECT_EQ(light_log, (std::vector<test_light*>{&first, &second}));
  EXPECT_EQ(before_shadows, (floats{1.5f, 3.0f, 4.5f}));
  EXPECT_EQ(rgb(result), (floats{0.75f, 1.5f, 2.25f}));
  EXPECT_EQ(rgb(thread().direct_light), rgb(result));
  EXPECT_TRUE(first.named_itself && second.named_itself && first.light_ray_seen);
  EXPECT_EQ(second.context_seen, &host_context);
  // Lifted by the float surface offset widened to double, not by the double 0.1.
  EXPECT_EQ(first.height_seen, 2.0 + 0.6 * static_cast<double>(0.1f));
  ASSERT_NE(first.height_seen, 2.0 + 0.6 * 0.1);
  EXPECT_TRUE(ray->current_light == nullptr && ray->hit_position[1] == 2.0);
  EXPECT_EQ(host().calls, (strings{"new_ray 16", "qor_evaluate_shadows", "delete_ray"}));

  host().options.shadow_mode = 'S';  // shadow rays only in mode 's'
  direct();
  EXPECT_EQ(host().count_calls("qor_evaluate_shadows"), 1);
  EXPECT_EQ(result[0], 1.5f);
  host().lights = nullptr;  // no lights: black, and the thread block is told so
  ray->current_light = &first;
  direct();
  EXPECT_EQ(rgb(thread().direct_light), floats(3, 0.0f));
  EXPECT_EQ(ray->current_light, nullptr);
}

TEST_F(hit_shading_test, no_host_call_when_photons_or_the_second_set_carry_the_light) {
  test_light light(1.0f, light_log);
  host().lights = &light;
  thread().direct_light[0] = 4.0f;
  renderer->direct_photons = 1;
  EXPECT_EQ(direct(), 1);
  EXPECT_EQ(rgb(result), floats(3, 0.0f));
  renderer->direct_photons = 0;
  renderer->point_mode = 2;
  ray->depth = 1;
  result[2] = 9.0f;
  EXPECT_EQ(direct(), 1);
  EXPECT_EQ(result[2], 0.0f);
  EXPECT_TRUE(host().calls.empty() && thread().direct_light[0] == 4.0f);
  renderer->point_mode = 0;  // without a second set the continuation's hit is lit
  direct();
  EXPECT_EQ(light_log.size(), 1u);
}

// --- Diffuse continuation -----------------------------------------------------------------------

class continuation_test : public hit_shading_test {
 protected:
  void SetUp() override {
    hit_shading_test::SetUp();
    set3(ray->shading_normal, 0.0, 0.0, 1.0);
    set3(ray->geometric_normal, 0.6, 0.0, 0.8);
    thread().random = &random;
    host_answers(0.1f, 0.2f, 0.3f);
  }

  // The host's side: the continuation hits (or not), the indirect slot answers (or not) with the
  // given radiance, and the host may flag the result as discarded.
  void host_answers(float r, float g, float b, bool hit = true, bool answered = true,
                    uint8_t result_flags = 0) {
    host().trace_diffuse = [=, this](fake_ray& dray, float out[3]) {
      traced = dray;
      flags_seen = {dray.thread->second_set_answered, dray.thread->emission_enabled};
      set3(out, r, g, b);
      if (answered) dray.thread->second_set_answered = 1;
      dray.thread->emission_enabled = 1;
      dray.result_flags = result_flags;
      return hit;
    };
  }
  int shade(std::deque<float> draws = {0.5f, 0.5f}) {
    random.values = std::move(draws);
    random.draws = 0;
    return diffuse_continuation(result, *ray);
  }

  scripted_random random;
  qorRay traced{};
  std::pair<int, int> flags_seen;  // answered and emission bytes when the host traced
};

TEST_F(continuation_test, the_continuation_leaves_the_surface_with_the_camera_rays_medium) {
  ray->medium_ior = 1.5f;
  ray->medium = &host_context;
  thread().second_set_answered = 1;
  thread().emission_enabled = 5;
  EXPECT_EQ(shade(), 1);
  EXPECT_TRUE(traced.type == qor_ray_diffuse && traced.parent == ray.get() && traced.depth == 1);
  EXPECT_EQ(traced.origin[0], 1.0 + 0.6 * static_cast<double>(1e-5f));
  ASSERT_NE(traced.origin[0], 1.0 + 0.6 * 1e-5);
  EXPECT_EQ(traced.origin[1], 2.0);
  EXPECT_TRUE(traced.medium_ior == 1.5f && traced.medium == &host_context && ray->depth == 0);
  // The host adds no emission at the continuation's hit and is asked afresh who answered.
  EXPECT_EQ(flags_seen, std::make_pair(0, 0));
  EXPECT_EQ(thread().emission_enabled, 1);  // restored as a flag
  EXPECT_EQ(host().calls, (strings{"new_ray 8", "trace_diffuse", "delete_ray"}));
  thread().emission_enabled = 0;  // the host set it while tracing; it comes back 0
  shade();
  EXPECT_EQ(thread().emission_enabled, 0);
}

TEST_F(continuation_test, only_an_answer_of_the_second_set_survives_times_pi_in_double) {
  EXPECT_EQ(shade(), 1);
  for (int c = 0; c < 3; ++c) {
    const float answer = 0.1f * static_cast<float>(c + 1);
    EXPECT_EQ(result[c], static_cast<float>(static_cast<double>(answer) * 3.141592653589793));
  }
  ASSERT_NE(result[2], 0.3f * 3.14159265f);  // a float product rounds differently here

  // Hit, answered, result flags, returned, lit.
  const int outcomes[4][5] = {{1, 1, 2, 1, 1}, {1, 0, 0, 1, 0}, {1, 1, 1, 1, 0}, {0, 1, 0, 0, 0}};
  for (const auto& o : outcomes) {
    host_answers(1.0f, 1.0f, 1.0f, o[0], o[1], static_cast<uint8_t>(o[2]));
    EXPECT_EQ(shade(), o[3]);
    EXPECT_EQ(rgb(result), floats(3, o[4] ? static_cast<float>(M_PI) : 0.0f))
        << o[0] << o[1] << o[2];
  }
}

TEST_F(continuation_test, directions_are_cosine_distributed_in_an_orthonormal_frame) {
  // (1, 1) lies outside the disc and is drawn again; (0.5, 0) gives w = sqrt(0.75).
  shade({1.0f, 1.0f, 0.75f, 0.5f});
  EXPECT_EQ(random.draws, 4);
  EXPECT_EQ(std::vector<double>(traced.direction, traced.direction + 3),
            (std::vector<double>{0.5, 0.0, std::sqrt(0.75f)}));
  shade({1.0f, 0.5f});  // the rim of the disc is inside
  EXPECT_TRUE(random.draws == 2 && traced.direction[0] == 1.0 && traced.direction[2] == 0.0);

  // Normals along +z and -z (and just below -0.9999999) get the axis frame, and their own
  // hemisphere through w; any other normal an orthonormal frame around it.
  const double s = 1.0 / std::sqrt(14.0), t = std::sqrt(1.0 - 0.99999 * 0.99999);
  const double normals[][3] = {{0.0, 0.0, 1.0},
                               {0.0, 0.0, -1.0},
                               {std::sqrt(1.0 - 0.99999995 * 0.99999995), 0.0, -0.99999995},
                               {s, 2.0 * s, 3.0 * s},
                               {0.0, -0.6, -0.8},
                               {1.0, 0.0, 0.0},
                               {t, 0.0, -0.99999}};
  auto dot = [](const double* p, const double* q) {
    return p[0] * q[0] + p[1] * q[1] + p[2] * q[2];
  };
  for (int k = 0; k < 7; ++k) {
    const double* n = normals[k];
    set3(ray->shading_normal, n[0], n[1], n[2]);
    shade({0.75f, 0.5f});
    if (k < 3) {
      EXPECT_EQ(std::vector<double>(ray->tangent, ray->tangent + 3),
                (std::vector<double>{1, 0, 0}));
      EXPECT_EQ(std::vector<double>(ray->bitangent, ray->bitangent + 3),
                (std::vector<double>{0, 1, 0}));
      EXPECT_EQ(traced.direction[2], n[2] * static_cast<double>(std::sqrt(0.75f)));
      continue;
    }
    using product = std::tuple<const double*, const double*, double>;
    for (const auto& [a, b, expected] :
         {product{ray->tangent, ray->tangent, 1.0}, product{ray->bitangent, ray->bitangent, 1.0},
          product{ray->tangent, ray->bitangent, 0.0}, product{ray->tangent, n, 0.0},
          product{ray->bitangent, n, 0.0}}) {
      EXPECT_NEAR(dot(a, b), expected, 1e-9) << "normal " << k;
    }
  }
}

}  // namespace
