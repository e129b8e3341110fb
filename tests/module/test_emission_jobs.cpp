#include <array>

#include "photons/adaptive_sampler.h"
#include "tests/module/module_test.h"
#include "tests/module/photon_scene.h"

namespace {

std::array<float, 8> vector_of(const qorRandom_adaptive& sampler) {
  std::array<float, 8> out;
  std::copy(sampler.proposed, sampler.proposed + 8, out.begin());
  return out;
}

// --- Emitter enumeration ------------------------------------------------------------------------

struct shader_call {
  void* ray;
  qorShader* shader;
  int info;
  qorLight* current_light;
};

class emitter_test : public module_test {};

TEST_F(emitter_test, camera_then_objects_then_lights_each_only_with_a_shader) {
  qorPPM& renderer = *this->renderer;
  std::vector<shader_call> calls;
  bool prepared = false;
  shader_powers powers;
  host().info_shader = [&](qorRay* ray, qorShader* shader, int info, void* data) {
    calls.push_back({ray, shader, info, info == qor_shader_power ? ray->current_light : nullptr});
    if (info == qor_shader_prepare) prepared = true;
    if (info == qor_shader_power) {
      EXPECT_EQ(ray->weight, 1.0f);
      EXPECT_EQ(ray->emission_scale, 1.0f);
    }
    // The camera's shader answers differently once prepared for emission.
    if (shader == test_shader(0) && info == qor_shader_power) {
      *static_cast<float*>(data) = prepared ? 2.0f : 1.5f;
      return 1;
    }
    return powers.answer(shader, info, data);
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
  powers.power = {{test_shader(1), 3.0f}, {test_shader(3), 0.0f}, {test_shader(5), 4.0f}};

  renderer.enumerate_emitters(host().scene());

  const std::vector<photon_emitter>& e = renderer.emitters;
  ASSERT_EQ(e.size(), 4u);
  EXPECT_TRUE(e[0].is_camera());
  EXPECT_EQ(e[0].power, 2.0f);  // the answer after the preparation
  EXPECT_EQ(e[1].object, &first);
  EXPECT_EQ(e[2].object, &zero_power);
  EXPECT_EQ(e[3].light, &lit);
  EXPECT_EQ(e[3].shader, test_shader(5));
  EXPECT_EQ(renderer.total_power, 9.0f);
  for (const photon_emitter& emitter : e) EXPECT_EQ(emitter.weight, 1.0f);

  // The camera's shader is prepared between its two power queries, with the scene in place of
  // the ray; a light's shader is asked with the light named on the ray.
  ASSERT_EQ(calls.size(), 6u);
  EXPECT_EQ(calls[1].info, qor_shader_prepare);
  EXPECT_EQ(calls[1].ray, static_cast<void*>(&host().scene()));
  EXPECT_EQ(calls[2].shader, test_shader(0));
  EXPECT_EQ(calls[2].info, qor_shader_power);
  EXPECT_EQ(calls[5].current_light, &lit);
  EXPECT_EQ(host().texts("sprint"),
            (std::vector<std::string>{"Enumerate photon emitters\n",
                                      "Found 4 photon emitters with total power = 9\n"}));
  EXPECT_EQ(host().count_calls("delete_ray"), 1);

  // A second enumeration replaces the list.
  host().camera_present = false;
  host().emissive_objects.clear();
  host().lights = &lit;
  renderer.enumerate_emitters(host().scene());
  EXPECT_EQ(renderer.emitters.size(), 1u);
  EXPECT_TRUE(host().said("Found 1 photon emitters with total power = 4\n"));
}

// --- Job split ----------------------------------------------------------------------------------

class emission_job_test : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    renderer->job_count = 100;
  }

  void set_emitters(std::vector<photon_emitter> list) {
    renderer->emitters = std::move(list);
    renderer->total_power = 0.0f;
    for (const photon_emitter& e : renderer->emitters) renderer->total_power += e.power;
  }

  std::vector<int> jobs_per_emitter() const {
    std::vector<int> n(renderer->emitters.size(), 0);
    for (const emission_job& job : renderer->emission_jobs) n.at(job.emitter) += 1;
    return n;
  }

  test_light light;
};

TEST_F(emission_job_test, powers_three_to_one_split_the_jobs_in_emitter_order) {
  set_emitters({object_emitter(3.0f), light_emitter(1.0f, &light)});
  renderer->create_emission_jobs(1000, 0);

  const std::vector<emission_job>& jobs = renderer->emission_jobs;
  ASSERT_EQ(jobs.size(), 100u);
  for (size_t j = 0; j < jobs.size(); ++j) {
    EXPECT_EQ(jobs[j].emitter, j < 75 ? 0u : 1u) << j;
    EXPECT_EQ(jobs[j].store_limit, 1000000u);
  }
  EXPECT_EQ(renderer->emitters[0].photon_budget, 75000u);
  EXPECT_EQ(renderer->emitters[1].photon_budget, 25000u);
  // Each sampler is seeded by its job's place in the whole list.
  EXPECT_EQ(vector_of(*jobs[0].sampler), vector_of(qorRandom_adaptive(100000)));
  EXPECT_EQ(vector_of(*jobs[75].sampler), vector_of(qorRandom_adaptive(1000 * 75 + 100000)));
  EXPECT_EQ(host().live_allocations.at(jobs[75].sampler).alignment, 64u);
  EXPECT_TRUE(host().said("Created 100 photon emission jobs (Emitting 100000 photons)\n"));

  // Rebuilding releases the old samplers; the weight now scales the first emitter's share.
  renderer->emitters[0].weight = 0.5f;
  renderer->create_emission_jobs(1000, 0);
  EXPECT_EQ(host().frees, 100);
  EXPECT_EQ(jobs_per_emitter(), (std::vector<int>{37, 25}));
}

TEST_F(emission_job_test, emitting_cameras_get_at_least_ten_jobs_and_others_at_least_one) {
  set_emitters({camera_emitter(1.0f), object_emitter(31.0f)});
  renderer->create_emission_jobs(10, 0);
  EXPECT_EQ(jobs_per_emitter(), (std::vector<int>{10, 96}));  // the camera's share is 3.125
  EXPECT_EQ(renderer->emitters[0].photon_budget, 100u);

  set_emitters({object_emitter(1.0f), object_emitter(31.0f)});
  renderer->create_emission_jobs(10, 0);
  EXPECT_EQ(jobs_per_emitter(), (std::vector<int>{3, 96}));

  set_emitters({object_emitter(1e-6f), camera_emitter(1e-6f), object_emitter(1.0f)});
  renderer->create_emission_jobs(10, 0);
  EXPECT_EQ(jobs_per_emitter(), (std::vector<int>{1, 10, 99}));
}

TEST_F(emission_job_test, emitters_without_positive_power_get_no_jobs) {
  set_emitters(
      {object_emitter(0.0f), camera_emitter(0.0f), object_emitter(-1.0f), object_emitter(2.0f)});
  renderer->emitters[2].photon_budget = 123;
  renderer->create_emission_jobs(10, 0);
  EXPECT_EQ(jobs_per_emitter(), (std::vector<int>{0, 0, 0, 200}));
  EXPECT_EQ(renderer->emitters[2].photon_budget, 0u);

  // A total power of zero: 0/0 shares give no job, a positive power's infinite share gives one.
  set_emitters({object_emitter(0.0f), object_emitter(1.0f), object_emitter(-1.0f)});
  renderer->create_emission_jobs(10, 0);
  EXPECT_EQ(jobs_per_emitter(), (std::vector<int>{0, 1, 0}));
}

TEST_F(emission_job_test, setup_divides_the_pass_budget_over_the_target_job_count) {
  qorMaterial bright{test_shader(1)}, dim{test_shader(2)};
  test_light first, second;
  first.material = &bright;
  second.material = &dim;
  first.next = &second;
  host().lights = &first;
  shader_powers powers;
  powers.power = {{test_shader(1), 3.0f}, {test_shader(2), 5.0f}};
  host().info_shader = [&powers](qorRay*, qorShader* shader, int info, void* data) {
    return powers.answer(shader, info, data);
  };

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
  set_emitters({object_emitter(1.0f)});
  host().fail_allocations_of_bytes = adaptive_sampler_bytes;
  renderer->create_emission_jobs(10, 7);
  ASSERT_EQ(renderer->emission_jobs.size(), 100u);
  EXPECT_EQ(renderer->emission_jobs[0].sampler, nullptr);
  EXPECT_EQ(renderer->emission_jobs[0].store_limit, 7u);
  EXPECT_EQ(renderer->job_photons_total, 1000u);
  EXPECT_EQ(host().texts("warning").size(), 100u);
}

// --- Emitter statistics
// ---------------------------------------------------------------------------

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
  EXPECT_EQ(e.paths_total, 160u);
  EXPECT_EQ(e.uniform_accepted_total, 12u);
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
  EXPECT_EQ(at_limit.paths_total, 0x0FFFFFFFu + 10u);
  EXPECT_EQ(at_limit.uniform_accepted_total, 1001u);
  EXPECT_EQ(over_limit.paths_total, 0x08000000u + 10u);
  EXPECT_EQ(over_limit.uniform_accepted_total, 500u + 1u);

  // The accepted total alone reaching the limit halves both as well.
  at_limit.uniform_accepted_total = 0x0FFFFFFF;
  renderer->update_emitter_statistics();
  EXPECT_EQ(at_limit.paths_total, (0x0FFFFFFFu + 10u) / 2 + 10u);
  EXPECT_EQ(at_limit.uniform_accepted_total, 0x07FFFFFFu + 1u);
}

TEST_F(emitter_statistics_test, a_kept_second_point_set_zeroes_the_weights_of_its_last_pass) {
  add_job(0, {10, 5, 0, 0, 0, 0});
  add_job(1, {10, 2, 0, 0, 0, 0});
  renderer->point_mode = 2;
  renderer->point2_last_iteration = 2;
  renderer->iteration = 2;
  renderer->update_emitter_statistics();
  EXPECT_EQ(renderer->emitters[0].weight, 0.0f);
  EXPECT_EQ(renderer->mean_emitter_weight, 0.0f);

  renderer->iteration = 3;
  renderer->update_emitter_statistics();
  EXPECT_GT(renderer->mean_emitter_weight, 0.0f);
}

}  // namespace
