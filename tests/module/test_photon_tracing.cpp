#include <algorithm>
#include <mutex>
#include <set>
#include <tuple>
#include <utility>

#include "module/photons/adaptive_sampler.h"
#include "tests/module/module_test.h"
#include "tests/module/photon_scene.h"

namespace {

// Emitters, jobs and photon passes whose paths see no point: the photon shader only reports what
// it was given.
class photon_tracing_test : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    renderer->tls_slot = qor_tls_alloc(scene(), photon_path_storage_bytes);
    renderer->tree = new ppm_tree(nullptr, 0);
    renderer->tree->set_tls_slot(renderer->tls_slot);
    renderer->job_count = 100;
    renderer->photons_per_pass = 1000;
    host().photon_shader = [this](const float*, fake_ray& ray, qorShader*) {
      int job = -1;
      for (size_t j = 0; j < renderer->emission_jobs.size(); ++j) {
        if (renderer->emission_jobs[j].sampler == ray.thread->random) job = static_cast<int>(j);
      }
      {
        std::lock_guard<std::mutex> lock(paths_mutex);
        paths.push_back({ray.thread->thread_index, job});
      }
      if (check) check(ray, job);
      return 1;
    };
  }

  void make_jobs(std::vector<photon_emitter> emitters, uint32_t photons = 3) {
    set_emitters(*renderer, std::move(emitters));
    renderer->create_emission_jobs(photons, 0);
  }
  std::vector<int> jobs_per_emitter() const {
    std::vector<int> n(renderer->emitters.size(), 0);
    for (const emission_job& job : renderer->emission_jobs) n.at(job.emitter) += 1;
    return n;
  }
  // Counters in job order: paths, uniform accepted, stored, rejected, accepted, tried.
  void add_job(uint32_t emitter, std::array<uint32_t, 6> c) {
    renderer->emission_jobs.push_back({nullptr, emitter, 0, 0, c[0], c[1], c[2], c[3], c[4], c[5]});
  }

  std::mutex paths_mutex;
  std::vector<std::pair<int, int>> paths;  // thread index and job of every path traced
  std::function<void(const qorRay&, int job)> check;
  test_light light;
};

// --- Emitters and jobs ------------------------------------------------------------------------

TEST_F(photon_tracing_test, emitters_are_the_camera_then_objects_then_lights_each_with_a_shader) {
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
  test_light lit;
  light.material = &unshaded;
  lit.material = &lamp;
  light.next = &lit;
  host().lights = &light;
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
  EXPECT_EQ(host().texts("sprint"), (strings{"Enumerate photon emitters\n",
                                             "Found 4 photon emitters with total power = 9\n"}));
  host().camera_present = false;  // a second enumeration replaces the list
  host().emissive_objects.clear();
  host().lights = &lit;
  renderer->enumerate_emitters(scene());
  EXPECT_EQ(renderer->emitters.size(), 1u);
  EXPECT_TRUE(host().said("Found 1 photon emitters with total power = 4\n"));
}

TEST_F(photon_tracing_test, power_shares_split_the_jobs_in_emitter_order) {
  make_jobs({object_emitter(3.0f), light_emitter(1.0f, &light)}, 1000);
  const std::vector<emission_job>& jobs = renderer->emission_jobs;
  ASSERT_EQ(jobs.size(), 100u);
  for (size_t j = 0; j < jobs.size(); ++j) {
    EXPECT_TRUE(jobs[j].emitter == (j < 75 ? 0u : 1u) && jobs[j].photons == 1000u) << j;
  }
  EXPECT_TRUE(renderer->emitters[0].photon_budget == 75000 &&
              renderer->emitters[1].photon_budget == 25000);
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

  const struct {
    std::vector<photon_emitter> emitters;
    std::vector<int> jobs;
  } cases[] = {
      {{camera_emitter(1), object_emitter(31)}, {10, 96}},  // cameras get ten jobs at least,
      {{object_emitter(1), object_emitter(31)}, {3, 96}},   // other emitters one
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

TEST_F(photon_tracing_test, setup_divides_the_pass_budget_over_the_target_job_count) {
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
    EXPECT_TRUE(renderer->emission_jobs.at(0).photons == 500 &&
                renderer->emission_jobs.at(0).store_limit == 500000);
  }
}

TEST_F(photon_tracing_test, jobs_without_a_sampler_are_kept_and_passed_over) {
  host().threads = 2;
  host().fail_allocations_of_bytes = adaptive_sampler_bytes;
  set_emitters(*renderer, {object_emitter(1.0f)});
  renderer->create_emission_jobs(10, 7);
  ASSERT_EQ(renderer->emission_jobs.size(), 100u);
  EXPECT_TRUE(renderer->emission_jobs[99].sampler == nullptr &&
              renderer->emission_jobs[99].store_limit == 7u);
  EXPECT_EQ(renderer->job_photons_total, 1000u);
  const strings warnings = host().texts("warning");
  EXPECT_EQ(warnings.size(), 100u);
  EXPECT_EQ(warnings.back(),
            "Out of memory allocating the sampler of photon emission job 99; the job will not be "
            "traced\n");
  for (emission_job& job : renderer->emission_jobs) job.paths_traced = 77;
  renderer->trace_photons(scene());
  EXPECT_TRUE(paths.empty());
  for (const emission_job& job : renderer->emission_jobs) EXPECT_EQ(job.paths_traced, 0u);
  EXPECT_TRUE(host().said("Emitter 0: Mutations accept: n/a (0 / 0). Reused 0 (n/a)\n"));
}

TEST_F(photon_tracing_test, job_counters_sum_per_emitter_into_weights_and_three_lines) {
  renderer->emitters = {object_emitter(1.0f), object_emitter(1.0f)};
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
            (strings{
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

  // Totals are halved together before a pass is added once either passes its limit.
  renderer->emission_jobs.clear();
  add_job(0, {10, 1, 0, 0, 0, 0});
  add_job(1, {10, 1, 0, 0, 0, 0});
  photon_emitter &at_limit = renderer->emitters[0], &over = renderer->emitters[1];
  at_limit.paths_total = 0x0FFFFFFF;  // not above the limit: kept
  at_limit.uniform_accepted_total = 1000;
  over.paths_total = 0x10000000;
  over.uniform_accepted_total = 1001;
  renderer->update_emitter_statistics();
  EXPECT_TRUE(at_limit.paths_total == 0x0FFFFFFFu + 10 && at_limit.uniform_accepted_total == 1001);
  EXPECT_TRUE(over.paths_total == 0x08000000u + 10 && over.uniform_accepted_total == 500 + 1);
  at_limit.uniform_accepted_total = 0x0FFFFFFF;  // the accepted total alone reaching it
  renderer->update_emitter_statistics();
  EXPECT_EQ(at_limit.paths_total, (0x0FFFFFFFu + 10u) / 2 + 10u);
  EXPECT_EQ(at_limit.uniform_accepted_total, 0x07FFFFFFu + 1u);
}

// --- Photon passes ------------------------------------------------------------------------------

TEST_F(photon_tracing_test, jobs_are_dealt_to_the_threads_by_index) {
  host().threads = 4;
  make_jobs({object_emitter(1.0f)});
  renderer->iteration = 2;
  host().messages.clear();
  std::vector<qorRandom*> host_sources;
  for (int t = 0; t < 4; ++t) host_sources.push_back(host().thread(t).random);
  renderer->trace_photons(scene());

  // Every job ran its three invisible paths on thread (job mod 4), with its own sampler: on a
  // thread of the host's, or on the driver's when the host cannot start one.
  auto expect_every_job_traced_on_its_thread = [this] {
    std::vector<int> paths_of_job(100, 0);
    for (const auto& [thread, job] : paths) {
      ASSERT_GE(job, 0);
      EXPECT_EQ(job % 4, thread) << "job " << job;
      paths_of_job[job] += 1;
    }
    EXPECT_EQ(paths_of_job, std::vector<int>(100, 3));
    for (const emission_job& job : renderer->emission_jobs) EXPECT_EQ(job.paths_traced, 3u);
  };
  expect_every_job_traced_on_its_thread();
  // Each job seeds its thread's second source from its index and the iteration.
  for (int t = 0; t < 4; ++t) {
    std::vector<uint32_t> expected;
    for (uint32_t j = t; j < 100; j += 4) expected.push_back((j + 100 * 2) * 3 + 100000);
    EXPECT_EQ(static_cast<fake_random*>(host().thread(t).random2)->seeds, expected) << t;
    EXPECT_EQ(host().thread(t).random, host_sources[t]) << "host source put back";
  }
  EXPECT_TRUE(host().started_threads.size() == 3 &&
              host().joined_threads == host().started_threads);
  std::vector<int> freed = host().tls_frees;  // thread 0 keeps its storage for the render
  std::sort(freed.begin(), freed.end());
  EXPECT_EQ(freed, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(host().count_calls("delete_ray"), 4);
  const strings lines = host().texts("sprint");
  EXPECT_EQ(lines,
            (strings{"Clear photon lights\n", "Emitter 0: Uniform accept:   0.00% (0 / 300)\n",
                     "Emitter 0: Mutations accept: n/a (0 / 0). Reused 0 (0.00%)\n",
                     "Emitter 0: Total stored 0\n", "[3] Photon tracing (0.0 seconds)\n"}));
  EXPECT_EQ(renderer->photons_emitted, 1000);

  paths.clear();
  host().thread_starts_fail = true;
  renderer->trace_photons(scene());
  expect_every_job_traced_on_its_thread();
  EXPECT_EQ(host().tls_frees.size(), 6u);
}

TEST_F(photon_tracing_test, each_job_prepares_the_photon_ray_for_its_kind_of_emitter) {
  qorMaterial light_material{test_shader(4)};
  light.material = &light_material;
  make_jobs({camera_emitter(1.0f), light_emitter(1.0f, &light), object_emitter(1.0f)}, 2);
  float weights[3] = {0.5f, 0.25f, 2.0f};
  for (int k = 0; k < 3; ++k) renderer->emitters[k].weight = weights[k];
  renderer->iteration = 1;
  uint32_t flags_expected = 0x1100;
  check = [&](const qorRay& ray, int job) {
    const int kind = job / 33;  // 33 jobs each: camera, light, object
    const photon_path_buffer& buffer = path_buffer_at(ray, renderer->tls_slot);
    EXPECT_EQ(static_cast<qorRandom_adaptive*>(ray.thread->random)->next_index, 0u);
    EXPECT_EQ(ray.flags, flags_expected);
    EXPECT_EQ(ray.thread->emission_flags, kind == 0 ? 1u : 0u);
    EXPECT_EQ(ray.current_light, kind == 1 ? &light : nullptr);
    EXPECT_TRUE(ray.emitter_object == (kind == 2 ? test_object() : nullptr) &&
                ray.origin_object == ray.emitter_object);
    EXPECT_EQ(ray.medium, kind == 1 ? static_cast<void*>(&light_material) : nullptr);
    EXPECT_EQ(ray.medium_ior, 1.0f);
    EXPECT_EQ(buffer.photon_weight, weights[kind]);
    EXPECT_EQ(buffer.inv_emitter_photons, 1.0f / 66.0f);
    // Invisible paths leave every step a uniform one, and every path starts a new one.
    EXPECT_TRUE(buffer.record_lights == 1 && buffer.flush_pending == 1);
  };
  renderer->trace_photons(scene());
  EXPECT_EQ(paths.size(), 99u * 2u);
  EXPECT_EQ(static_cast<fake_random*>(host().thread(0).random2)->restarts, 99 * 2);
  EXPECT_EQ(host().count_calls("qor_init_medium material"), 33);
  EXPECT_EQ(host().count_calls("qor_init_medium"), 66);
  EXPECT_TRUE(host().started_threads.empty() && host().tls_frees.empty());  // one thread

  // In the first iteration no weight is known: photons start weightless.
  std::fill(weights, weights + 3, 0.0f);
  flags_expected = 0x11100;
  renderer->iteration = 0;
  renderer->photon_ray_mode = 0;
  renderer->trace_photons(scene());
  EXPECT_EQ(paths.size(), 2 * 99u * 2u);
}

TEST_F(photon_tracing_test, a_stop_request_ends_each_thread_after_its_job_in_hand) {
  host().threads = 2;
  make_jobs({object_emitter(1.0f)}, 5);
  for (emission_job& job : renderer->emission_jobs) job.paths_traced = 77;
  host().stop = 1;
  renderer->trace_photons(scene());
  using thread_and_job = std::set<std::pair<int, int>>;
  EXPECT_EQ(thread_and_job(paths.begin(), paths.end()), (thread_and_job{{0, 0}, {1, 1}}));
  EXPECT_EQ(paths.size(), 10u);
  // No job completed its pass, so every job keeps the counters of its last one.
  for (const emission_job& job : renderer->emission_jobs) EXPECT_EQ(job.paths_traced, 77u);
  EXPECT_EQ(host().joined_threads.size(), 1u);
  EXPECT_TRUE(host().said("[1] Photon tracing (0.0 seconds)\n"));
}

TEST_F(photon_tracing_test, a_pass_without_a_tree_traces_nothing_and_one_without_jobs_reports) {
  make_jobs({object_emitter(1.0f)}, 5);
  ppm_tree* tree = std::exchange(renderer->tree, nullptr);
  host().messages.clear();
  renderer->indirect_photons = 1;
  renderer->trace_photons(scene());
  EXPECT_EQ(host().texts(), strings{"Out of memory??\n"});
  EXPECT_EQ(renderer->photons_emitted, 0);
  EXPECT_EQ(renderer->photon_store_mask, 0x600);  // both kinds of photon or only the others

  // Without jobs the pass still clears the photon lights, counts its photons and reports.
  renderer->tree = tree;
  renderer->emission_jobs.clear();
  renderer->photon_lights.resize(3);
  renderer->photon_light_warn = 0;
  renderer->caustic_photons = 1;
  renderer->trace_photons(scene());
  EXPECT_TRUE(renderer->photon_lights.empty() && renderer->photon_light_warn == 1);
  EXPECT_EQ(renderer->photon_store_mask, -1);
  EXPECT_EQ(host().thread(0).emission_flags, 3072u);
  EXPECT_EQ(renderer->photons_emitted, 1000);
  EXPECT_TRUE(host().said("[1] Photon tracing (0.0 seconds)\n"));
}

}  // namespace
