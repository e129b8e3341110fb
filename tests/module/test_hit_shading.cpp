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
  test_light(std::string name, float r, float g, float b, std::vector<std::string>& log)
      : name_(std::move(name)), add_{r, g, b}, log_(log) {}

  int kind() const override { return 0; }
  float power() const override { return 1.0f; }
  void add_direct_light(float result[3], qorRay& ray, qorRay& light_ray) override {
    log_.push_back(name_);
    current_light_seen = ray.current_light;
    for (int c = 0; c < 3; ++c) position_seen[c] = ray.hit_position[c];
    light_ray_type_seen = light_ray.type;
    light_ray_parent_seen = light_ray.parent;
    light_context_seen = ray.thread->light_context;
    for (int c = 0; c < 3; ++c) result[c] += add_[c];
  }

  qorLight* current_light_seen = nullptr;
  double position_seen[3] = {};
  uint32_t light_ray_type_seen = 0;
  qorRay* light_ray_parent_seen = nullptr;
  void* light_context_seen = nullptr;

 private:
  std::string name_;
  float add_[3];
  std::vector<std::string>& log_;
};

// A random source that answers from a script.
class scripted_random final : public qorRandom {
 public:
  explicit scripted_random(std::deque<float> values) : values_(std::move(values)) {}
  float next_float() override {
    ++draws;
    if (values_.empty()) {
      ADD_FAILURE() << "random source drawn more often than scripted";
      return 0.5f;
    }
    const float v = values_.front();
    values_.pop_front();
    return v;
  }
  void restart() override {}
  void seed(uint32_t) override {}

  int draws = 0;

 private:
  std::deque<float> values_;
};

class hit_shading_test : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    ray.reset(make_ray(0, qor_ray_camera));
    ray->hit_position[0] = 1.0;
    ray->hit_position[1] = 2.0;
    ray->hit_position[2] = 3.0;
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

  struct ray_deleter {
    void operator()(fake_ray* r) const { delete r; }
  };
  std::unique_ptr<fake_ray, ray_deleter> ray;
  std::vector<std::string> light_log;
};

// --- Direct light -------------------------------------------------------------------------------

TEST_F(hit_shading_test, photons_carrying_direct_light_leave_the_host_alone) {
  renderer->direct_photons = 1;
  test_light light("a", 1, 1, 1, light_log);
  host().lights = &light;
  float result[3] = {9.0f, 9.0f, 9.0f};
  host().thread(0).direct_light[0] = 4.0f;
  EXPECT_EQ(renderer->direct_illumination(result, *ray, nullptr), 1);
  EXPECT_EQ(result[0], 0.0f);
  EXPECT_EQ(result[2], 0.0f);
  EXPECT_TRUE(host().calls.empty());
  EXPECT_TRUE(light_log.empty());
  EXPECT_EQ(host().thread(0).direct_light[0], 4.0f);
}

TEST_F(hit_shading_test, continuation_hits_are_lit_only_by_the_second_set) {
  test_light light("a", 1, 1, 1, light_log);
  host().lights = &light;
  float result[3] = {9.0f, 9.0f, 9.0f};
  ray->depth = 1;
  renderer->point_mode = 2;
  EXPECT_EQ(renderer->direct_illumination(result, *ray, nullptr), 1);
  EXPECT_EQ(result[1], 0.0f);
  EXPECT_TRUE(host().calls.empty());

  // Without a second set the same hit is lit by the lights.
  renderer->point_mode = 0;
  renderer->direct_illumination(result, *ray, nullptr);
  EXPECT_EQ(light_log, std::vector<std::string>{"a"});
  EXPECT_EQ(result[1], 1.0f);
}

TEST_F(hit_shading_test, lights_are_summed_in_list_order_from_the_lifted_hit_and_then_shadowed) {
  test_light first("first", 1.0f, 2.0f, 3.0f, light_log);
  test_light second("second", 0.5f, 0.5f, 0.5f, light_log);
  first.next = &second;
  host().lights = &first;
  int host_context = 0;
  std::vector<float> before_shadows;
  host().evaluate_shadows = [&](float result[3], qorRay& shaded, qorRay& light_ray) {
    before_shadows.assign(result, result + 3);
    EXPECT_EQ(&shaded, ray.get());
    EXPECT_EQ(light_ray.type, qor_ray_light);
    EXPECT_EQ(shaded.current_light, nullptr);
    for (int c = 0; c < 3; ++c) result[c] *= 0.5f;
  };

  float result[3] = {9.0f, 9.0f, 9.0f};
  EXPECT_EQ(renderer->direct_illumination(result, *ray, &host_context), 1);

  EXPECT_EQ(light_log, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(before_shadows, (std::vector<float>{1.5f, 2.5f, 3.5f}));
  EXPECT_EQ(result[0], 0.75f);
  EXPECT_EQ(result[1], 1.25f);
  EXPECT_EQ(result[2], 1.75f);
  const qorThread& thread = host().thread(0);
  EXPECT_EQ(thread.direct_light[0], 0.75f);
  EXPECT_EQ(thread.direct_light[1], 1.25f);
  EXPECT_EQ(thread.direct_light[2], 1.75f);
  EXPECT_EQ(thread.light_context, &host_context);

  // Each light sees itself as the current light, the light ray and the hit lifted by the
  // surface offset (a float widened to double) along the shading normal.
  EXPECT_EQ(first.current_light_seen, &first);
  EXPECT_EQ(second.current_light_seen, &second);
  EXPECT_EQ(first.light_ray_type_seen, qor_ray_light);
  EXPECT_EQ(first.light_ray_parent_seen, ray.get());
  EXPECT_EQ(second.light_context_seen, &host_context);
  const double offset = static_cast<double>(0.1f);
  EXPECT_EQ(first.position_seen[0], 1.0);
  EXPECT_EQ(first.position_seen[1], 2.0 + 0.6 * offset);
  EXPECT_EQ(second.position_seen[2], 3.0 + 0.8 * offset);
  EXPECT_NE(first.position_seen[1], 2.0 + 0.6 * 0.1);

  // The ray is left as found, with no current light.
  EXPECT_EQ(ray->current_light, nullptr);
  EXPECT_EQ(ray->hit_position[0], 1.0);
  EXPECT_EQ(ray->hit_position[1], 2.0);
  EXPECT_EQ(ray->hit_position[2], 3.0);
  EXPECT_EQ(host().calls,
            (std::vector<std::string>{"new_ray 16", "qor_evaluate_shadows", "delete_ray"}));
}

TEST_F(hit_shading_test, shadows_are_evaluated_only_in_shadow_mode_s) {
  test_light light("a", 1.0f, 1.0f, 1.0f, light_log);
  host().lights = &light;
  for (const char mode : {'S', 'x', '\0'}) {
    host().calls.clear();
    host().options.shadow_mode = mode;
    float result[3];
    renderer->direct_illumination(result, *ray, nullptr);
    EXPECT_EQ(host().count_calls("qor_evaluate_shadows"), 0) << mode;
    EXPECT_EQ(result[0], 1.0f);
    EXPECT_EQ(host().count_calls("delete_ray"), 1);
  }
}

TEST_F(hit_shading_test, an_empty_light_list_still_evaluates_shadows_and_reports_black) {
  host().lights = nullptr;
  test_light stale("stale", 1, 1, 1, light_log);
  ray->current_light = &stale;
  host().thread(0).direct_light[1] = 4.0f;
  bool shadows_seen_black = false;
  host().evaluate_shadows = [&](float result[3], qorRay&, qorRay&) {
    shadows_seen_black = result[0] == 0.0f && result[1] == 0.0f && result[2] == 0.0f;
  };
  float result[3] = {9.0f, 9.0f, 9.0f};
  EXPECT_EQ(renderer->direct_illumination(result, *ray, nullptr), 1);
  EXPECT_TRUE(shadows_seen_black);
  EXPECT_EQ(result[1], 0.0f);
  EXPECT_EQ(host().thread(0).direct_light[1], 0.0f);
  EXPECT_EQ(ray->current_light, nullptr);
  EXPECT_TRUE(light_log.empty());
}

// --- Diffuse continuation -----------------------------------------------------------------------

// What the host saw when it traced the continuation ray.
struct traced_continuation {
  uint32_t type = 0;
  qorRay* parent = nullptr;
  double origin[3] = {};
  double direction[3] = {};
  float medium_ior = 0.0f;
  void* medium = nullptr;
  int32_t depth = -1;
  uint8_t answered_byte = 9;
  uint8_t emission_byte = 9;
};

class continuation_test : public hit_shading_test {
 protected:
  void SetUp() override {
    hit_shading_test::SetUp();
    set_normal(0.0, 0.0, 1.0);
    ray->geometric_normal[0] = 0.6;
    ray->geometric_normal[2] = 0.8;
    host().thread(0).random = &random;
  }

  // The host's side of a continuation: the ray hits, the indirect slot answers (or not) with the
  // given radiance, and the host may flag the result as discarded.
  void host_answers(float r, float g, float b, bool hit = true, bool answered = true,
                    uint8_t result_flags = 0) {
    host().trace_diffuse = [=, this](fake_ray& dray, float result[3]) {
      seen.type = dray.type;
      seen.parent = dray.parent;
      for (int c = 0; c < 3; ++c) {
        seen.origin[c] = dray.origin[c];
        seen.direction[c] = dray.direction[c];
      }
      seen.medium_ior = dray.medium_ior;
      seen.medium = dray.medium;
      seen.depth = dray.depth;
      seen.answered_byte = dray.thread->second_set_answered;
      seen.emission_byte = dray.thread->emission_enabled;
      result[0] = r;
      result[1] = g;
      result[2] = b;
      if (answered) dray.thread->second_set_answered = 1;
      dray.thread->emission_enabled = 1;  // the host's shading may leave it set
      dray.result_flags = result_flags;
      return hit;
    };
  }

  scripted_random random{{0.5f, 0.5f}};  // the disc's centre: straight along the normal
  traced_continuation seen;
};

TEST_F(continuation_test, the_continuation_leaves_the_surface_with_the_camera_rays_medium) {
  ray->depth = 0;
  ray->medium_ior = 1.5f;
  int medium = 0;
  ray->medium = &medium;
  host().thread(0).second_set_answered = 1;
  host().thread(0).emission_enabled = 1;
  host_answers(0.1f, 0.2f, 0.3f);
  float result[3];
  EXPECT_EQ(diffuse_continuation(result, *ray), 1);

  EXPECT_EQ(seen.type, qor_ray_diffuse);
  EXPECT_EQ(seen.parent, ray.get());
  const double lift = static_cast<double>(1e-5f);
  EXPECT_EQ(seen.origin[0], 1.0 + 0.6 * lift);
  EXPECT_EQ(seen.origin[1], 2.0);
  EXPECT_EQ(seen.origin[2], 3.0 + 0.8 * lift);
  EXPECT_NE(seen.origin[0], 1.0 + 0.6 * 1e-5);  // the float offset, not the double one
  EXPECT_EQ(seen.medium_ior, 1.5f);
  EXPECT_EQ(seen.medium, &medium);
  EXPECT_EQ(seen.depth, 1);
  EXPECT_EQ(seen.answered_byte, 0);
  EXPECT_EQ(seen.emission_byte, 0);
  EXPECT_EQ(seen.direction[0], 0.0);
  EXPECT_EQ(seen.direction[2], 1.0);
  EXPECT_EQ(host().calls, (std::vector<std::string>{"new_ray 8", "trace_diffuse", "delete_ray"}));

  // The camera ray is left as found, apart from the frame written into it.
  EXPECT_EQ(ray->depth, 0);
  EXPECT_EQ(ray->hit_position[0], 1.0);
  EXPECT_EQ(host().thread(0).emission_enabled, 1);
}

TEST_F(continuation_test, an_answered_hit_returns_the_second_sets_radiance_times_pi_in_double) {
  host_answers(0.1f, 0.2f, 0.3f);
  float result[3];
  EXPECT_EQ(diffuse_continuation(result, *ray), 1);
  EXPECT_EQ(result[0], static_cast<float>(0.1f * 3.141592653589793));
  EXPECT_EQ(result[1], static_cast<float>(0.2f * 3.141592653589793));
  EXPECT_EQ(result[2], static_cast<float>(0.3f * 3.141592653589793));
  EXPECT_NE(result[2], 0.3f * 3.14159265f);  // a float product rounds differently here
  EXPECT_NEAR(result[0], 0.314159, 1e-6);
  EXPECT_NEAR(result[1], 0.628319, 1e-6);
  EXPECT_NEAR(result[2], 0.942478, 1e-6);
}

TEST_F(continuation_test, only_an_answer_of_the_second_set_survives) {
  struct outcome {
    const char* what;
    bool hit, answered;
    uint8_t flags;
    int returned;
    bool lit;
  };
  const outcome outcomes[] = {
      {"answered", true, true, 0, 1, true},
      {"other flag bits", true, true, 2, 1, true},
      {"not answered", true, false, 0, 1, false},
      {"discarded by the host", true, true, 1, 1, false},
      {"missed", false, true, 0, 0, false},
  };
  for (const outcome& o : outcomes) {
    SCOPED_TRACE(o.what);
    random = scripted_random({0.5f, 0.5f});
    host().calls.clear();
    host_answers(1.0f, 1.0f, 1.0f, o.hit, o.answered, o.flags);
    float result[3];
    EXPECT_EQ(diffuse_continuation(result, *ray), o.returned);
    EXPECT_EQ(result[0] != 0.0f, o.lit);
    EXPECT_EQ(result[2] != 0.0f, o.lit);
    EXPECT_EQ(host().count_calls("delete_ray"), 1);
  }
}

TEST_F(continuation_test, the_emission_byte_comes_back_as_a_flag) {
  host_answers(1.0f, 1.0f, 1.0f);
  float result[3];
  host().thread(0).emission_enabled = 5;
  diffuse_continuation(result, *ray);
  EXPECT_EQ(host().thread(0).emission_enabled, 1);

  random = scripted_random({0.5f, 0.5f});
  host().thread(0).emission_enabled = 0;  // the host sets it while tracing; it must come back 0
  diffuse_continuation(result, *ray);
  EXPECT_EQ(host().thread(0).emission_enabled, 0);
}

TEST_F(continuation_test, directions_are_drawn_in_the_unit_disc_and_lifted_onto_the_hemisphere) {
  // (1, 1) lies outside the disc and is drawn again; (0.5, 0) gives w = sqrt(0.75).
  random = scripted_random({1.0f, 1.0f, 0.75f, 0.5f});
  host_answers(1.0f, 1.0f, 1.0f);
  float result[3];
  diffuse_continuation(result, *ray);
  EXPECT_EQ(random.draws, 4);
  EXPECT_EQ(seen.direction[0], 0.5);
  EXPECT_EQ(seen.direction[1], 0.0);
  EXPECT_EQ(seen.direction[2], static_cast<double>(std::sqrt(0.75f)));

  // A point on the rim of the disc is inside: the direction lies in the surface.
  random = scripted_random({1.0f, 0.5f});
  diffuse_continuation(result, *ray);
  EXPECT_EQ(random.draws, 2);
  EXPECT_EQ(seen.direction[0], 1.0);
  EXPECT_EQ(seen.direction[2], 0.0);
}

TEST_F(continuation_test, normals_along_z_get_the_axis_frame_and_their_own_hemisphere) {
  for (const double nz : {1.0, -1.0}) {
    SCOPED_TRACE(nz);
    set_normal(0.0, 0.0, nz);
    random = scripted_random({0.75f, 0.5f});  // u = 0.5, v = 0
    host_answers(1.0f, 1.0f, 1.0f);
    float result[3];
    diffuse_continuation(result, *ray);
    EXPECT_EQ(ray->tangent[0], 1.0);
    EXPECT_EQ(ray->tangent[1], 0.0);
    EXPECT_EQ(ray->tangent[2], 0.0);
    EXPECT_EQ(ray->bitangent[0], 0.0);
    EXPECT_EQ(ray->bitangent[1], 1.0);
    EXPECT_EQ(ray->bitangent[2], 0.0);
    EXPECT_EQ(seen.direction[0], 0.5);
    EXPECT_EQ(seen.direction[2], nz * static_cast<double>(std::sqrt(0.75f)));
  }
}

TEST_F(continuation_test, the_frame_is_orthonormal_around_any_other_normal) {
  const double third = 1.0 / std::sqrt(14.0);
  const double normals[][3] = {{1.0 * third, 2.0 * third, 3.0 * third},
                               {0.0, -0.6, -0.8},
                               {1.0, 0.0, 0.0},
                               {std::sqrt(1.0 - 0.99999 * 0.99999), 0.0, -0.99999}};
  for (const auto& n : normals) {
    SCOPED_TRACE(testing::Message() << n[0] << " " << n[1] << " " << n[2]);
    set_normal(n[0], n[1], n[2]);
    random = scripted_random({0.5f, 0.5f});
    host_answers(1.0f, 1.0f, 1.0f);
    float result[3];
    diffuse_continuation(result, *ray);
    const double* t = ray->tangent;
    const double* b = ray->bitangent;
    auto dot = [](const double* p, const double* q) {
      return p[0] * q[0] + p[1] * q[1] + p[2] * q[2];
    };
    EXPECT_NEAR(dot(t, t), 1.0, 1e-9);
    EXPECT_NEAR(dot(b, b), 1.0, 1e-9);
    EXPECT_NEAR(dot(t, b), 0.0, 1e-9);
    EXPECT_NEAR(dot(t, n), 0.0, 1e-9);
    EXPECT_NEAR(dot(b, n), 0.0, 1e-9);
  }
  // Just inside the fixed frame's range the normal is taken as straight down.
  set_normal(std::sqrt(1.0 - 0.99999995 * 0.99999995), 0.0, -0.99999995);
  random = scripted_random({0.5f, 0.5f});
  float result[3];
  diffuse_continuation(result, *ray);
  EXPECT_EQ(ray->tangent[0], 1.0);
  EXPECT_EQ(ray->bitangent[1], 1.0);
}

}  // namespace
