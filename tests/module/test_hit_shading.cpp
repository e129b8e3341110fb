#include <cmath>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "tests/module/module_test.h"

namespace {

// A light that records how the renderer called it and adds a fixed contribution.
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
    if (values.empty()) {
      ADD_FAILURE() << "random source drawn more often than scripted";
      return 0.5f;
    }
    const float v = values.front();
    values.pop_front();
    return v;
  }
  void restart() override {}
  void seed(uint32_t) override {}

  std::deque<float> values;
  int draws = 0;
};

class hit_shading_test : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    ray.reset(make_ray(0, qor_ray_camera));
    const double hit[3] = {1.0, 2.0, 3.0};
    for (int c = 0; c < 3; ++c) ray->hit_position[c] = hit[c];
    set_normal(0.0, 0.6, 0.8);
    ray->surface_offset = 0.1f;
  }
  void TearDown() override {
    ray.reset();
    module_test::TearDown();
  }
  void set_normal(double x, double y, double z) {
    ray->shading_normal[0] = x;
    ray->shading_normal[1] = y;
    ray->shading_normal[2] = z;
  }
  qorThread& thread() { return host().thread(0); }

  struct ray_deleter {
    void operator()(fake_ray* r) const { delete r; }
  };
  std::unique_ptr<fake_ray, ray_deleter> ray;
  std::vector<std::string> light_log;
  float result[3] = {9.0f, 9.0f, 9.0f};
};

TEST_F(hit_shading_test, no_host_call_when_photons_or_the_second_set_carry_the_light) {
  test_light light("a", 1.0f, light_log);
  host().lights = &light;
  thread().direct_light[0] = 4.0f;
  renderer->direct_photons = 1;
  EXPECT_EQ(renderer->direct_illumination(result, *ray, nullptr), 1);
  EXPECT_EQ(result[0], 0.0f);
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
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(result[c], 0.75f * static_cast<float>(c + 1));
    EXPECT_EQ(thread().direct_light[c], result[c]);
  }
  EXPECT_EQ(first.current_seen, &first);
  EXPECT_EQ(second.current_seen, &second);
  EXPECT_TRUE(first.light_ray_seen);
  EXPECT_EQ(second.context_seen, &host_context);
  // Lifted by the float surface offset widened to double, not by the double 0.1.
  EXPECT_EQ(first.height_seen, 2.0 + 0.6 * static_cast<double>(0.1f));
  EXPECT_NE(first.height_seen, 2.0 + 0.6 * 0.1);
  EXPECT_EQ(ray->current_light, nullptr);
  EXPECT_EQ(ray->hit_position[1], 2.0);
  EXPECT_EQ(host().calls,
            (std::vector<std::string>{"new_ray 16", "qor_evaluate_shadows", "delete_ray"}));
}

TEST_F(hit_shading_test, shadow_mode_and_an_empty_light_list) {
  test_light light("a", 1.0f, light_log);
  host().lights = &light;
  host().options.shadow_mode = 'S';
  renderer->direct_illumination(result, *ray, nullptr);
  EXPECT_EQ(host().count_calls("qor_evaluate_shadows"), 0);
  EXPECT_EQ(result[0], 1.0f);

  // No lights: black, shadows still evaluated, the thread block told black.
  host().options.shadow_mode = 's';
  host().lights = nullptr;
  ray->current_light = &light;
  renderer->direct_illumination(result, *ray, nullptr);
  EXPECT_EQ(host().count_calls("qor_evaluate_shadows"), 1);
  EXPECT_EQ(result[0], 0.0f);
  EXPECT_EQ(thread().direct_light[0], 0.0f);
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

  EXPECT_EQ(traced.type, qor_ray_diffuse);
  EXPECT_EQ(traced.parent, ray.get());
  EXPECT_EQ(traced.origin[0], 1.0 + 0.6 * static_cast<double>(1e-5f));
  EXPECT_NE(traced.origin[0], 1.0 + 0.6 * 1e-5);
  EXPECT_EQ(traced.origin[1], 2.0);
  EXPECT_EQ(traced.medium_ior, 1.5f);
  EXPECT_EQ(traced.medium, &medium);
  EXPECT_EQ(traced.depth, 1);
  EXPECT_EQ(answered_byte_seen, 0);
  EXPECT_EQ(emission_byte_seen, 0);
  EXPECT_EQ(thread().emission_enabled, 1);  // restored as a flag
  EXPECT_EQ(ray->depth, 0);
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
  EXPECT_NE(result[2], 0.3f * 3.14159265f);  // a float product rounds differently here
  EXPECT_NEAR(result[2], 0.942478, 1e-6);

  struct outcome {
    bool hit, answered;
    uint8_t flags;
    int returned;
    bool lit;
  };
  const outcome outcomes[] = {{true, true, 2, 1, true},
                              {true, false, 0, 1, false},
                              {true, true, 1, 1, false},
                              {false, true, 0, 0, false}};
  for (const outcome& o : outcomes) {
    SCOPED_TRACE(testing::Message() << o.hit << o.answered << int(o.flags));
    host_answers(1.0f, 1.0f, 1.0f, o.hit, o.answered, o.flags);
    EXPECT_EQ(shade(), o.returned);
    EXPECT_EQ(result[0] != 0.0f, o.lit);
    EXPECT_EQ(result[2] != 0.0f, o.lit);
  }
  EXPECT_EQ(host().count_calls("delete_ray"), 5);
}

TEST_F(continuation_test, directions_come_from_the_unit_disc_lifted_onto_the_hemisphere) {
  // (1, 1) lies outside the disc and is drawn again; (0.5, 0) gives w = sqrt(0.75).
  shade({1.0f, 1.0f, 0.75f, 0.5f});
  EXPECT_EQ(random.draws, 4);
  EXPECT_EQ(traced.direction[0], 0.5);
  EXPECT_EQ(traced.direction[1], 0.0);
  EXPECT_EQ(traced.direction[2], static_cast<double>(std::sqrt(0.75f)));
  shade({1.0f, 0.5f});  // the rim of the disc is inside
  EXPECT_EQ(random.draws, 2);
  EXPECT_EQ(traced.direction[0], 1.0);
  EXPECT_EQ(traced.direction[2], 0.0);

  // Normals along +z and -z get the axis frame, and their own hemisphere through w.
  for (const double nz : {1.0, -1.0}) {
    set_normal(0.0, 0.0, nz);
    shade({0.75f, 0.5f});
    EXPECT_EQ(ray->tangent[0], 1.0);
    EXPECT_EQ(ray->tangent[2], 0.0);
    EXPECT_EQ(ray->bitangent[1], 1.0);
    EXPECT_EQ(ray->bitangent[2], 0.0);
    EXPECT_EQ(traced.direction[0], 0.5);
    EXPECT_EQ(traced.direction[2], nz * static_cast<double>(std::sqrt(0.75f)));
  }
}

TEST_F(continuation_test, the_frame_is_orthonormal_around_every_other_normal) {
  const double s = 1.0 / std::sqrt(14.0);
  const double normals[][3] = {{s, 2.0 * s, 3.0 * s},
                               {0.0, -0.6, -0.8},
                               {1.0, 0.0, 0.0},
                               {std::sqrt(1.0 - 0.99999 * 0.99999), 0.0, -0.99999}};
  auto dot = [](const double* p, const double* q) {
    return p[0] * q[0] + p[1] * q[1] + p[2] * q[2];
  };
  for (const auto& n : normals) {
    SCOPED_TRACE(n[2]);
    set_normal(n[0], n[1], n[2]);
    shade();
    EXPECT_NEAR(dot(ray->tangent, ray->tangent), 1.0, 1e-9);
    EXPECT_NEAR(dot(ray->bitangent, ray->bitangent), 1.0, 1e-9);
    EXPECT_NEAR(dot(ray->tangent, ray->bitangent), 0.0, 1e-9);
    EXPECT_NEAR(dot(ray->tangent, n), 0.0, 1e-9);
    EXPECT_NEAR(dot(ray->bitangent, n), 0.0, 1e-9);
  }
  // Just below -0.9999999 the normal counts as straight down.
  set_normal(std::sqrt(1.0 - 0.99999995 * 0.99999995), 0.0, -0.99999995);
  shade();
  EXPECT_EQ(ray->tangent[0], 1.0);
  EXPECT_EQ(ray->bitangent[1], 1.0);
}

}  // namespace
