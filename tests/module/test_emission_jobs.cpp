#include <tuple>

#include "photons/adaptive_sampler.h"
#include "tests/module/module_test.h"
#include "tests/module/photon_scene.h"

namespace {

class emission_job_test : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    renderer->job_count = 100;
  }

  std::vector<int> jobs_per_emitter() const {
    std::vector<int> n(renderer->emitters.size(), 0);
    for (const emission_job& job : renderer->emission_jobs) n.at(job.emitter) += 1;
    return n;
  }

  test_light light;
};

TEST_F(emission_job_test, emitters_are_the_camera_then_objects_then_lights_each_with_a_shader) {
  bool prepared = false;
  qorLight* light_named = nullptr;
  host().info_shader = [&](qorRay* ray, qorShader* shader, int info, void* data) {
    if (info == qor_shader_prepare) {  // with the scene in place of the ray
      prepared = ray == reinterpret_cast<qorRay*>(&host().scene());
      return 1;
    }
    EXPECT_TRUE(info == qor_shader_power && ray->weight == 1.0f && ray->emission_scale == 1.0f);
    light_named = ray->current_light;
    // The camera's shader answers differently once prepared for emission.
    const float powers[6] = {prepared ? 2.0f : 1.5f, 3.0f, 0.0f, 0.0f, 0.0f, 4.0f};
    *static_cast<float*>(data) = powers[shader_number(shader)];
    return 1;
  };
  host().camera.emission_shader = test_shader(0);
  qorMaterial bright{test_shader(1)}, unshaded{nullptr}, dark{test_shader(3)}, lamp{test_shader(5)};
  qorObject first{&bright}, skipped{&unshaded}, zero_power{&dark};
  host().emissive_objects = {&first, &skipped, &zero_power};
  test_light unlit, lit;
  unlit.material = &unshaded;
  lit.material = &lamp;
  unlit.next = &lit;
  host().lights = &unlit;
  renderer->enumerate_emitters(scene());

  using emitter = std::tuple<qorShader*, qorLight*, qorObject*, float, float>;
  std::vector<emitter> found;
  for (const photon_emitter& e : renderer->emitters) {
    found.push_back({e.shader, e.light, e.object, e.power, e.weight});
  }
  EXPECT_EQ(found, (std::vector<emitter>{{test_shader(0), nullptr, nullptr, 2.0f, 1.0f},
                                         {test_shader(1), nullptr, &first, 3.0f, 1.0f},
                                         {test_shader(3), nullptr, &zero_power, 0.0f, 1.0f},
                                         {test_shader(5), &lit, nullptr, 4.0f, 1.0f}}));
  EXPECT_EQ(light_named, &lit);  // a light's shader answers for the light the ray names
  EXPECT_EQ(renderer->total_power, 9.0f);
  EXPECT_EQ(host().texts("sprint"),
            (std::vector<std::string>{"Enumerate photon emitters\n",
                                      "Found 4 photon emitters with total power = 9\n"}));
  EXPECT_EQ(host().count_calls("delete_ray"), 1);

  host().camera_present = false;  // a second enumeration replaces the list
  host().emissive_objects.clear();
  host().lights = &lit;
  renderer->enumerate_emitters(scene());
  EXPECT_EQ(renderer->emitters.size(), 1u);
  EXPECT_TRUE(host().said("Found 1 photon emitters with total power = 4\n"));
}

TEST_F(emission_job_test, powers_three_to_one_split_the_jobs_in_emitter_order) {
  set_emitters(*renderer, {object_emitter(3.0f), light_emitter(1.0f, &light)});
  renderer->create_emission_jobs(1000, 0);
  const std::vector<emission_job>& jobs = renderer->emission_jobs;
  ASSERT_EQ(jobs.size(), 100u);
  for (size_t j = 0; j < jobs.size(); ++j) {
    EXPECT_TRUE(jobs[j].emitter == (j < 75 ? 0u : 1u) && jobs[j].photons == 1000u) << j;
    EXPECT_EQ(jobs[j].store_limit, 1000000u);
  }
  EXPECT_EQ(renderer->emitters[0].photon_budget, 75000u);
  EXPECT_EQ(renderer->emitters[1].photon_budget, 25000u);
  // Each sampler is seeded by its job's place in the whole list.
  const qorRandom_adaptive seeded(1000 * 75 + 100000);
  EXPECT_TRUE(std::equal(seeded.proposed, seeded.proposed + 8, jobs[75].sampler->proposed));
  EXPECT_EQ(host().live_allocations.at(jobs[75].sampler).alignment, 64u);
  EXPECT_TRUE(host().said("Created 100 photon emission jobs (Emitting 100000 photons)\n"));

  // Rebuilding releases the old samplers; the weight now scales the first emitter's share.
  renderer->emitters[0].weight = 0.5f;
  renderer->create_emission_jobs(1000, 0);
  EXPECT_EQ(host().live_allocations.size(), 62u);
  EXPECT_EQ(jobs_per_emitter(), (std::vector<int>{37, 25}));
}

TEST_F(emission_job_test, cameras_get_at_least_ten_jobs_others_one_and_powerless_ones_none) {
  const struct {
    std::vector<photon_emitter> emitters;
    std::vector<int> jobs;
  } cases[] = {
      {{camera_emitter(1), object_emitter(31)}, {10, 96}},  // the camera's share is 3.125
      {{object_emitter(1), object_emitter(31)}, {3, 96}},
      {{object_emitter(1e-6f), camera_emitter(1e-6f), object_emitter(1)}, {1, 10, 99}},
      {{object_emitter(0), camera_emitter(0), object_emitter(-1), object_emitter(2)},
       {0, 0, 0, 200}},
      // A total power of zero: 0/0 shares give no job, a positive power's infinite share one.
      {{object_emitter(0), object_emitter(1), object_emitter(-1)}, {0, 1, 0}},
  };
  for (const auto& c : cases) {
    set_emitters(*renderer, c.emitters);
    for (photon_emitter& e : renderer->emitters) e.photon_budget = 123;
    renderer->create_emission_jobs(10, 0);
    EXPECT_EQ(jobs_per_emitter(), c.jobs);
    for (size_t i = 0; i < c.jobs.size(); ++i) {
      EXPECT_EQ(renderer->emitters[i].photon_budget, 10u * c.jobs[i]);
    }
  }
}

TEST_F(emission_job_test, setup_divides_the_pass_budget_over_the_target_job_count) {
  qorMaterial bright{test_shader(1)}, dim{test_shader(2)};
  test_light second;
  light.material = &bright;
  second.material = &dim;
  light.next = &second;
  host().lights = &light;
  answer_powers({0, 3, 5});
  renderer->photons_per_pass = 1000000;
  renderer->photon_setup(scene());
  EXPECT_EQ(renderer->emitters.at(0).photon_budget, 370000u);  // a share of 37.5 jobs
  EXPECT_EQ(renderer->job_photons_total, 990000u);

  for (int32_t photons : {50, 0}) {  // fewer photons than jobs, or none: 500 per job
    renderer->photons_per_pass = photons;
    renderer->photon_setup(scene());
    EXPECT_EQ(renderer->emission_jobs.at(0).photons, 500u);
    EXPECT_EQ(renderer->emission_jobs.at(0).store_limit, 500000u);
  }
}

TEST_F(emission_job_test, a_job_whose_sampler_cannot_be_allocated_is_kept_without_one) {
  set_emitters(*renderer, {object_emitter(1.0f)});
  host().fail_allocations_of_bytes = adaptive_sampler_bytes;
  renderer->create_emission_jobs(10, 7);
  ASSERT_EQ(renderer->emission_jobs.size(), 100u);
  EXPECT_EQ(renderer->emission_jobs[99].sampler, nullptr);
  EXPECT_EQ(renderer->emission_jobs[99].store_limit, 7u);
  EXPECT_EQ(renderer->job_photons_total, 1000u);
  const std::vector<std::string> warnings = host().texts("warning");
  EXPECT_EQ(warnings.size(), 100u);
  EXPECT_EQ(warnings.back(),
            "Out of memory allocating the sampler of photon emission job 99; the job will not be "
            "traced\n");
}

// --- Emitter statistics ---------------------------------------------------------------------

class emitter_statistics_test : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    renderer->emitters = {object_emitter(1.0f), object_emitter(1.0f)};
  }

  // Counters in job order: paths, uniform accepted, stored, rejected, accepted, tried.
  void add_job(uint32_t emitter, std::array<uint32_t, 6> c) {
    renderer->emission_jobs.push_back(
        emission_job{nullptr, emitter, 0, 0, c[0], c[1], c[2], c[3], c[4], c[5]});
  }
};

TEST_F(emitter_statistics_test, job_counters_sum_per_emitter_into_weights_and_three_lines) {
  add_job(0, {100, 10, 50, 30, 20, 50});
  add_job(0, {60, 2, 7, 4, 1, 6});
  renderer->update_emitter_statistics();
  const photon_emitter& e = renderer->emitters[0];
  EXPECT_TRUE(e.paths_total == 160u && e.uniform_accepted_total == 12u);
  EXPECT_EQ(e.weight, 1.0f / (160.0f + 1e-5f) * (12.0f / (160.0f + 1e-5f)));
  EXPECT_EQ(renderer->emitters[1].weight, 0.0f);
  EXPECT_EQ(renderer->mean_emitter_weight, e.weight / (2.0f + 1e-5f));
  // The second emitter has no jobs: its shares have nothing to be taken of.
  EXPECT_EQ(host().texts("sprint"),
            (std::vector<std::string>{
                "Emitter 0: Uniform accept:   7.50% (12 / 160)\n",
                "Emitter 0: Mutations accept: 37.50% (21 / 56). Reused 34 (21.25%)\n",
                "Emitter 0: Total stored 57\n",
                "Emitter 1: Uniform accept:   0.00% (0 / 0)\n",
                "Emitter 1: Mutations accept: n/a (0 / 0). Reused 0 (n/a)\n",
                "Emitter 1: Total stored 0\n",
            }));

  // Totals run on over passes; the weight divides by this pass's paths only.
  renderer->update_emitter_statistics();
  EXPECT_EQ(e.paths_total, 320u);
  EXPECT_EQ(e.weight, 1.0f / (160.0f + 1e-5f) * (24.0f / (320.0f + 1e-5f)));

  // A kept second point set gives its last gathering pass no weight.
  renderer->point_mode = 2;
  renderer->point2_last_iteration = renderer->iteration = 2;
  renderer->update_emitter_statistics();
  EXPECT_TRUE(e.weight == 0.0f && renderer->mean_emitter_weight == 0.0f);
  renderer->iteration = 3;
  renderer->update_emitter_statistics();
  EXPECT_GT(renderer->mean_emitter_weight, 0.0f);
}

TEST_F(emitter_statistics_test, large_totals_are_halved_together_before_the_pass_is_added) {
  photon_emitter& at_limit = renderer->emitters[0];
  photon_emitter& over_limit = renderer->emitters[1];
  at_limit.paths_total = 0x0FFFFFFF;  // not above the limit: kept
  at_limit.uniform_accepted_total = 1000;
  over_limit.paths_total = 0x10000000;
  over_limit.uniform_accepted_total = 1001;
  add_job(0, {10, 1, 0, 0, 0, 0});
  add_job(1, {10, 1, 0, 0, 0, 0});
  renderer->update_emitter_statistics();
  EXPECT_TRUE(at_limit.paths_total == 0x0FFFFFFFu + 10u &&
              at_limit.uniform_accepted_total == 1001u);
  EXPECT_EQ(over_limit.paths_total, 0x08000000u + 10u);
  EXPECT_EQ(over_limit.uniform_accepted_total, 500u + 1u);

  // The accepted total alone reaching the limit halves both as well.
  at_limit.uniform_accepted_total = 0x0FFFFFFF;
  renderer->update_emitter_statistics();
  EXPECT_EQ(at_limit.paths_total, (0x0FFFFFFFu + 10u) / 2 + 10u);
  EXPECT_EQ(at_limit.uniform_accepted_total, 0x07FFFFFFu + 1u);
}

}  // namespace
