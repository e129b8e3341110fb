#include <cmath>
#include <deque>
#include <string>
#include <vector>

#include "tests/module/module_test.h"

namespace {

// A light that records how the renderer called it and adds value x (1, 2, 3).
class test_light final : public qorLight {
 public:
  test_light(const char* name, float v, std::vector<std::string>& log)
      : name_(name), value_(v), log_(log) {}
  int kind() const override { return 0; }
  float power() const override { return 1.0f; }
  void add_direct_light(float result[3], qorRay& ray, qorRay& light_ray) override {
    log_.push_back(name_);
    current_seen = ray.current_light;
    height_seen = ray.hit_position[1];
    light_ray_seen = light_ray.type == qor_ray_light && light_ray.parent == &ray;
    context_seen = ray.thread->light_context;
    for (int c = 0; c < 3; ++c) result[c] += value_ * static_cast<float>(c + 1);
  }

  qorLight* current_seen = nullptr;
  double height_seen = 0.0;
  bool light_ray_seen = false;
  void* context_seen = nullptr;

 private:
  const char* name_;
  float value_;
  std::vector<std::string>& log_;
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

// A camera-ray hit at (1, 2, 3) with shading normal (0, 0.6, 0.8).
class hit_shading_test : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    ray.reset(make_ray(0, qor_ray_camera));
    const double hit[3] = {1.0, 2.0, 3.0};
    std::copy(hit, hit + 3, ray->hit_position);
    set_normal(0.0, 0.6, 0.8);
    ray->surface_offset = 0.1f;
  }
  void set_normal(double x, double y, double z) {
    ray->shading_normal[0] = x;
    ray->shading_normal[1] = y;
    ray->shading_normal[2] = z;
  }
  qorThread& thread() { return host().thread(0); }

  ray_ptr ray;
  std::vector<std::string> light_log;
  float result[3] = {9.0f, 9.0f, 9.0f};
};

TEST_F(hit_shading_test, no_host_call_when_photons_or_the_second_set_carry_the_light) {
  test_light light("a", 1.0f, light_log);
  host().lights = &light;
  thread().direct_light[0] = 4.0f;
  renderer->direct_photons = 1;
  EXPECT_EQ(renderer->direct_illumination(result, *ray, nullptr), 1);
  EXPECT_EQ(rgb(result), std::vector<float>(3, 0.0f));
  renderer->direct_photons = 0;
  renderer->point_mode = 2;
  ray->depth = 1;
  result[2] = 9.0f;
  EXPECT_EQ(renderer->direct_illumination(result, *ray, nullptr), 1);
  EXPECT_EQ(result[2], 0.0f);
  EXPECT_TRUE(host().calls.empty());
  EXPECT_EQ(thread().direct_light[0], 4.0f);

  renderer->point_mode = 0;  // without a second set the continuation's hit is lit
  renderer->direct_illumination(result, *ray, nullptr);
  EXPECT_EQ(light_log, std::vector<std::string>{"a"});

  // Shadow rays only in shadow mode 's'.
  host().options.shadow_mode = 'S';
  renderer->direct_illumination(result, *ray, nullptr);
  EXPECT_EQ(host().count_calls("qor_evaluate_shadows"), 1);
  EXPECT_EQ(result[0], 1.0f);
}

TEST_F(hit_shading_test, lights_are_summed_in_list_order_from_the_lifted_hit_then_shadowed) {
  test_light first("first", 1.0f, light_log);
  test_light second("second", 0.5f, light_log);
  first.next = &second;
  host().lights = &first;
  int host_context = 0;
  std::vector<float> before_shadows;
  host().evaluate_shadows = [&](float r[3], qorRay& shaded, qorRay&) {
    before_shadows.assign(r, r + 3);
    EXPECT_EQ(shaded.current_light, nullptr);
    for (int c = 0; c < 3; ++c) r[c] *= 0.5f;
  };
  EXPECT_EQ(renderer->direct_illumination(result, *ray, &host_context), 1);

  EXPECT_EQ(light_log, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(before_shadows, (std::vector<float>{1.5f, 3.0f, 4.5f}));
  EXPECT_EQ(rgb(result), (std::vector<float>{0.75f, 1.5f, 2.25f}));
  EXPECT_EQ(rgb(thread().direct_light), rgb(result));
  EXPECT_TRUE(first.current_seen == &first && second.current_seen == &second);
  EXPECT_TRUE(first.light_ray_seen);
  EXPECT_EQ(second.context_seen, &host_context);
  // Lifted by the float surface offset widened to double, not by the double 0.1.
  EXPECT_EQ(first.height_seen, 2.0 + 0.6 * static_cast<double>(0.1f));
  ASSERT_NE(first.height_seen, 2.0 + 0.6 * 0.1);
  EXPECT_EQ(ray->current_light, nullptr);
  EXPECT_EQ(ray->hit_position[1], 2.0);
  EXPECT_EQ(host().calls,
            (std::vector<std::string>{"new_ray 16", "qor_evaluate_shadows", "delete_ray"}));

  // No lights: black, shadows still evaluated, the thread block told black.
  host().lights = nullptr;
  ray->current_light = &first;
  renderer->direct_illumination(result, *ray, nullptr);
  EXPECT_EQ(host().count_calls("qor_evaluate_shadows"), 2);
  EXPECT_EQ(rgb(thread().direct_light), std::vector<float>(3, 0.0f));
  EXPECT_EQ(ray->current_light, nullptr);
}

// --- Diffuse continuation -----------------------------------------------------------------------

class continuation_test : public hit_shading_test {
 protected:
  void SetUp() override {
    hit_shading_test::SetUp();
    set_normal(0.0, 0.0, 1.0);
    ray->geometric_normal[0] = 0.6;
    ray->geometric_normal[2] = 0.8;
    thread().random = &random;
    host_answers(0.1f, 0.2f, 0.3f);
  }

  // The host's side: the continuation hits (or not), the indirect slot answers (or not) with the
  // given radiance, and the host may flag the result as discarded.
  void host_answers(float r, float g, float b, bool hit = true, bool answered = true,
                    uint8_t result_flags = 0) {
    host().trace_diffuse = [=, this](fake_ray& dray, float out[3]) {
      traced = dray;
      answered_byte_seen = dray.thread->second_set_answered;
      emission_byte_seen = dray.thread->emission_enabled;
      out[0] = r;
      out[1] = g;
      out[2] = b;
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
  int answered_byte_seen = -1;
  int emission_byte_seen = -1;
};

TEST_F(continuation_test, the_continuation_leaves_the_surface_with_the_camera_rays_medium) {
  ray->medium_ior = 1.5f;
  int medium = 0;
  ray->medium = &medium;
  thread().second_set_answered = 1;
  thread().emission_enabled = 5;
  EXPECT_EQ(shade(), 1);

  EXPECT_TRUE(traced.type == qor_ray_diffuse && traced.parent == ray.get());
  EXPECT_EQ(traced.origin[0], 1.0 + 0.6 * static_cast<double>(1e-5f));
  ASSERT_NE(traced.origin[0], 1.0 + 0.6 * 1e-5);
  EXPECT_EQ(traced.origin[1], 2.0);
  EXPECT_TRUE(traced.medium_ior == 1.5f && traced.medium == &medium);
  EXPECT_EQ(traced.depth, 1);
  EXPECT_EQ(ray->depth, 0);
  // The host adds no emission at the continuation's hit and is asked afresh who answered.
  EXPECT_TRUE(answered_byte_seen == 0 && emission_byte_seen == 0);
  EXPECT_EQ(thread().emission_enabled, 1);  // restored as a flag
  EXPECT_EQ(host().calls, (std::vector<std::string>{"new_ray 8", "trace_diffuse", "delete_ray"}));

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

  const struct {
    bool hit, answered;
    uint8_t flags;
    int returned;
    bool lit;
  } outcomes[] = {{true, true, 2, 1, true},
                  {true, false, 0, 1, false},
                  {true, true, 1, 1, false},
                  {false, true, 0, 0, false}};
  for (const auto& o : outcomes) {
    host_answers(1.0f, 1.0f, 1.0f, o.hit, o.answered, o.flags);
    EXPECT_EQ(shade(), o.returned);
    EXPECT_EQ(rgb(result), std::vector<float>(3, o.lit ? static_cast<float>(M_PI) : 0.0f))
        << o.hit << o.answered << int(o.flags);
  }
  EXPECT_EQ(host().count_calls("delete_ray"), 5);
}

TEST_F(continuation_test, directions_are_cosine_distributed_in_an_orthonormal_frame) {
  // (1, 1) lies outside the disc and is drawn again; (0.5, 0) gives w = sqrt(0.75).
  shade({1.0f, 1.0f, 0.75f, 0.5f});
  EXPECT_EQ(random.draws, 4);
  EXPECT_EQ(std::vector<double>(traced.direction, traced.direction + 3),
            (std::vector<double>{0.5, 0.0, std::sqrt(0.75f)}));
  shade({1.0f, 0.5f});  // the rim of the disc is inside
  EXPECT_EQ(random.draws, 2);
  EXPECT_TRUE(traced.direction[0] == 1.0 && traced.direction[2] == 0.0);

  // Normals along +z and -z (and just below -0.9999999) get the axis frame, and their own
  // hemisphere through w.
  for (const double nz : {1.0, -1.0, -0.99999995}) {
    set_normal(std::sqrt(1.0 - nz * nz), 0.0, nz);
    shade({0.75f, 0.5f});
    EXPECT_EQ(std::vector<double>(ray->tangent, ray->tangent + 3), (std::vector<double>{1, 0, 0}));
    EXPECT_EQ(std::vector<double>(ray->bitangent, ray->bitangent + 3),
              (std::vector<double>{0, 1, 0}));
    EXPECT_EQ(traced.direction[2], nz * static_cast<double>(std::sqrt(0.75f)));
  }

  const double s = 1.0 / std::sqrt(14.0);
  const double normals[][3] = {{s, 2.0 * s, 3.0 * s},
                               {0.0, -0.6, -0.8},
                               {1.0, 0.0, 0.0},
                               {std::sqrt(1.0 - 0.99999 * 0.99999), 0.0, -0.99999}};
  auto dot = [](const double* p, const double* q) {
    return p[0] * q[0] + p[1] * q[1] + p[2] * q[2];
  };
  for (const auto& n : normals) {
    set_normal(n[0], n[1], n[2]);
    shade();
    EXPECT_NEAR(dot(ray->tangent, ray->tangent), 1.0, 1e-9) << n[2];
    EXPECT_NEAR(dot(ray->bitangent, ray->bitangent), 1.0, 1e-9) << n[2];
    EXPECT_NEAR(dot(ray->tangent, ray->bitangent), 0.0, 1e-9) << n[2];
    EXPECT_NEAR(dot(ray->tangent, n), 0.0, 1e-9) << n[2];
    EXPECT_NEAR(dot(ray->bitangent, n), 0.0, 1e-9) << n[2];
  }
}

}  // namespace
