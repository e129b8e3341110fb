#include <algorithm>
#include <mutex>
#include <set>
#include <utility>

#include "photons/adaptive_sampler.h"
#include "tests/module/module_test.h"
#include "tests/module/photon_scene.h"

namespace {

// Photon passes whose paths see no point: the photon shader only reports what it was given.
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

  // One job per emitter power share, three photons each.
  void make_jobs(std::vector<photon_emitter> emitters, uint32_t photons = 3) {
    set_emitters(*renderer, std::move(emitters));
    renderer->create_emission_jobs(photons, 0);
  }

  std::mutex paths_mutex;
  std::vector<std::pair<int, int>> paths;  // thread index and job of every path traced
  std::function<void(const qorRay&, int job)> check;
  test_light light;
};

TEST_F(photon_tracing_test, jobs_are_dealt_to_the_threads_by_index) {
  host().threads = 4;
  make_jobs({object_emitter(1.0f)});
  renderer->iteration = 2;
  host().messages.clear();
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
    EXPECT_EQ(host().random2(t).seeds, expected) << "thread " << t;
    EXPECT_EQ(host().thread(t).random, &host().random(t)) << "host source put back";
  }
  EXPECT_EQ(host().started_threads.size(), 3u);
  EXPECT_EQ(host().joined_threads, host().started_threads);
  std::vector<int> freed = host().tls_frees;
  std::sort(freed.begin(), freed.end());
  EXPECT_EQ(freed, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(std::set<int>(host().thread_inits.begin(), host().thread_inits.end()),
            (std::set<int>{0, 1, 2, 3}));
  EXPECT_EQ(host().thread_inits.size(), host().thread_exits.size());
  EXPECT_EQ(host().count_calls("qor_get_primary_ray 2 256"), 1);
  EXPECT_EQ(host().count_calls("delete_ray"), 4);

  const std::vector<std::string> lines = host().texts("sprint");
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "Clear photon lights\n");
  EXPECT_EQ(lines[1], "Emitter 0: Uniform accept:   0.00% (0 / 300)\n");
  EXPECT_EQ(lines[4], "[3] Photon tracing (0.0 seconds)\n");
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
    EXPECT_EQ(ray.emitter_object, kind == 2 ? test_object() : nullptr);
    EXPECT_EQ(ray.origin_object, ray.emitter_object);
    EXPECT_EQ(ray.medium, kind == 1 ? static_cast<void*>(&light_material) : nullptr);
    EXPECT_EQ(ray.medium_ior, 1.0f);
    EXPECT_EQ(buffer.photon_weight, weights[kind]);
    EXPECT_EQ(buffer.inv_emitter_photons, 1.0f / 66.0f);
    // Invisible paths leave every step a uniform one, and every path starts a new one.
    EXPECT_TRUE(buffer.record_lights == 1 && buffer.flush_pending == 1);
  };
  renderer->trace_photons(scene());
  EXPECT_EQ(paths.size(), 99u * 2u);
  EXPECT_EQ(host().random2(0).restarts, 99 * 2);
  EXPECT_EQ(host().count_calls("qor_init_medium material"), 33);
  EXPECT_EQ(host().count_calls("qor_init_medium"), 66);
  // One host thread: the driver runs every job itself.
  EXPECT_TRUE(host().started_threads.empty() && host().tls_frees.empty());

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
  std::set<std::pair<int, int>> jobs_run(paths.begin(), paths.end());
  EXPECT_EQ(jobs_run, (std::set<std::pair<int, int>>{{0, 0}, {1, 1}}));
  EXPECT_EQ(paths.size(), 10u);
  // No job completed its pass, so every job keeps the counters of its last one.
  for (const emission_job& job : renderer->emission_jobs) EXPECT_EQ(job.paths_traced, 77u);
  EXPECT_EQ(host().joined_threads.size(), 1u);
  EXPECT_TRUE(host().said("[1] Photon tracing (0.0 seconds)\n"));
  EXPECT_TRUE(host().said("Emitter 0: Total stored 0\n"));
}

TEST_F(photon_tracing_test, a_pass_without_a_tree_or_without_jobs_or_samplers_traces_nothing) {
  make_jobs({object_emitter(1.0f)}, 5);
  ppm_tree* tree = std::exchange(renderer->tree, nullptr);
  host().messages.clear();
  renderer->indirect_photons = 1;
  renderer->trace_photons(scene());
  EXPECT_EQ(host().texts(), std::vector<std::string>{"Out of memory??\n"});
  EXPECT_EQ(renderer->photons_emitted, 0);
  EXPECT_EQ(renderer->photon_store_mask, 0x600);  // both kinds of photon or only the others

  // Without jobs the pass still clears the photon lights, counts its photons and reports.
  renderer->tree = tree;
  renderer->emission_jobs.clear();
  renderer->photon_lights.resize(3);
  renderer->photon_light_warn = 0;
  renderer->caustic_photons = 1;
  renderer->trace_photons(scene());
  EXPECT_TRUE(renderer->photon_lights.empty());
  EXPECT_EQ(renderer->photon_light_warn, 1);
  EXPECT_EQ(renderer->photon_store_mask, -1);
  EXPECT_EQ(host().thread(0).emission_flags, 3072u);
  EXPECT_EQ(renderer->photons_emitted, 1000);
  EXPECT_TRUE(host().said("[1] Photon tracing (0.0 seconds)\n"));

  // Jobs without a sampler are passed over, with a pass of zero counters.
  host().threads = 2;
  host().fail_allocations_of_bytes = adaptive_sampler_bytes;
  make_jobs({object_emitter(1.0f)}, 5);
  for (emission_job& job : renderer->emission_jobs) job.paths_traced = 77;
  renderer->trace_photons(scene());
  EXPECT_TRUE(paths.empty());
  for (const emission_job& job : renderer->emission_jobs) EXPECT_EQ(job.paths_traced, 0u);
  EXPECT_TRUE(host().said("Emitter 0: Mutations accept: n/a (0 / 0). Reused 0 (n/a)\n"));
}

}  // namespace
