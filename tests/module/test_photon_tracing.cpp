#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <set>

#include "photons/adaptive_sampler.h"
#include "tests/module/module_test.h"
#include "tests/module/photon_scene.h"
#include "tree/ppm_tree.h"

namespace {

// What the photon shader saw when the module asked it for a path.
struct traced_path {
  int thread_index;
  qorRandom* random;
  uint32_t next_index;  // of the job's sampler: 0 after the path's restart
  uint32_t ray_flags;
  uint32_t emission_flags;
  qorLight* current_light;
  qorObject* emitter_object;
  qorObject* origin_object;
  void* medium;
  float medium_ior;
  float photon_weight;
  float inv_emitter_photons;
  uint8_t record_lights;
  uint8_t flush_pending;
};

class photon_tracing_test : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    renderer->tls_slot = qor_tls_alloc(scene(), photon_path_storage_bytes);
    empty_tree = std::make_unique<ppm_tree>(nullptr, 0);
    empty_tree->set_tls_slot(renderer->tls_slot);
    renderer->tree = empty_tree.get();
    renderer->job_count = 100;
    renderer->photons_per_pass = 1000;
    // An invisible photon path: the shader only reports what it was given.
    host().photon_shader = [this](const float*, fake_ray& ray, qorShader*) {
      const qorThread& thread = *ray.thread;
      const photon_path_buffer& buffer = path_buffer_at(ray, renderer->tls_slot);
      traced_path path{thread.thread_index,
                       thread.random,
                       static_cast<qorRandom_adaptive*>(thread.random)->next_index,
                       ray.flags,
                       thread.emission_flags,
                       ray.current_light,
                       ray.emitter_object,
                       ray.origin_object,
                       ray.medium,
                       ray.medium_ior,
                       buffer.photon_weight,
                       buffer.inv_emitter_photons,
                       buffer.record_lights,
                       buffer.flush_pending};
      std::lock_guard<std::mutex> lock(paths_mutex);
      paths.push_back(path);
      return 1;
    };
  }

  void TearDown() override {
    renderer->tree = nullptr;
    module_test::TearDown();
  }

  void set_emitters(std::vector<photon_emitter> list) {
    renderer->emitters = std::move(list);
    renderer->total_power = 0.0f;
    for (const photon_emitter& e : renderer->emitters) renderer->total_power += e.power;
  }

  int job_of(const qorRandom* random) const {
    for (size_t j = 0; j < renderer->emission_jobs.size(); ++j) {
      if (renderer->emission_jobs[j].sampler == random) return static_cast<int>(j);
    }
    return -1;
  }

  std::unique_ptr<ppm_tree> empty_tree;
  std::mutex paths_mutex;
  std::vector<traced_path> paths;
  test_light light;
};

TEST_F(photon_tracing_test, jobs_are_dealt_to_the_threads_by_index) {
  host().threads = 4;
  set_emitters({object_emitter(1.0f)});
  renderer->create_emission_jobs(3, 0);
  renderer->iteration = 2;
  host().messages.clear();
  renderer->trace_photons(scene());

  // Every job ran its three invisible paths on thread (job mod 4), with its own sampler.
  ASSERT_EQ(paths.size(), 300u);
  std::vector<int> paths_of_job(100, 0);
  for (const traced_path& p : paths) {
    const int j = job_of(p.random);
    ASSERT_GE(j, 0);
    EXPECT_EQ(j % 4, p.thread_index) << "job " << j;
    paths_of_job[j] += 1;
  }
  EXPECT_EQ(paths_of_job, std::vector<int>(100, 3));
  for (const emission_job& job : renderer->emission_jobs) EXPECT_EQ(job.paths_traced, 3u);

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
}

TEST_F(photon_tracing_test, each_job_prepares_the_photon_ray_for_its_kind_of_emitter) {
  qorMaterial light_material{test_shader(4)};
  light.material = &light_material;
  set_emitters({camera_emitter(1.0f), light_emitter(1.0f, &light), object_emitter(1.0f)});
  renderer->create_emission_jobs(2, 0);  // 33 jobs each
  renderer->emitters[0].weight = 0.5f;
  renderer->emitters[1].weight = 0.25f;
  renderer->emitters[2].weight = 2.0f;
  renderer->iteration = 1;
  renderer->trace_photons(scene());

  ASSERT_EQ(paths.size(), 99u * 2u);
  for (const traced_path& p : paths) {
    const int j = job_of(p.random);
    const int kind = j / 33;  // camera, light, object
    EXPECT_EQ(p.next_index, 0u);
    EXPECT_EQ(p.ray_flags, 0x1100u);
    EXPECT_EQ(p.emission_flags, kind == 0 ? 1u : 0u) << j;
    EXPECT_EQ(p.current_light, kind == 1 ? &light : nullptr) << j;
    EXPECT_EQ(p.emitter_object, kind == 2 ? test_object() : nullptr) << j;
    EXPECT_EQ(p.origin_object, p.emitter_object);
    EXPECT_EQ(p.medium, kind == 1 ? static_cast<void*>(&light_material) : nullptr) << j;
    EXPECT_EQ(p.medium_ior, 1.0f);
    EXPECT_EQ(p.photon_weight, (std::array<float, 3>{0.5f, 0.25f, 2.0f}[kind])) << j;
    EXPECT_EQ(p.inv_emitter_photons, 1.0f / 66.0f);
    EXPECT_EQ(p.record_lights, 1);  // invisible paths leave every step a uniform one
    EXPECT_EQ(p.flush_pending, 1);
  }
  EXPECT_EQ(host().random2(0).restarts, 99 * 2);
  EXPECT_EQ(host().count_calls("qor_init_medium material"), 33);
  EXPECT_EQ(host().count_calls("qor_init_medium"), 66);
  // One host thread: the driver runs every job itself.
  EXPECT_TRUE(host().started_threads.empty());
  EXPECT_TRUE(host().tls_frees.empty());

  // In the first iteration no weight is known: photons start weightless.
  paths.clear();
  renderer->iteration = 0;
  renderer->photon_ray_mode = 0;
  renderer->trace_photons(scene());
  ASSERT_FALSE(paths.empty());
  for (const traced_path& p : paths) {
    EXPECT_EQ(p.photon_weight, 0.0f);
    EXPECT_EQ(p.ray_flags, 0x11100u);
  }
}

TEST_F(photon_tracing_test, a_stop_request_ends_each_thread_after_its_job_in_hand) {
  host().threads = 2;
  set_emitters({object_emitter(1.0f)});
  renderer->create_emission_jobs(5, 0);
  for (emission_job& job : renderer->emission_jobs) job.paths_traced = 77;
  host().stop = 1;
  renderer->trace_photons(scene());

  std::set<int> jobs_run;
  for (const traced_path& p : paths) jobs_run.insert(job_of(p.random));
  EXPECT_EQ(jobs_run, (std::set<int>{0, 1}));
  EXPECT_EQ(paths.size(), 10u);
  // No job completed its pass, so every job keeps the counters of its last one.
  for (const emission_job& job : renderer->emission_jobs) EXPECT_EQ(job.paths_traced, 77u);
  EXPECT_EQ(host().joined_threads.size(), 1u);
  EXPECT_TRUE(host().said("[1] Photon tracing (0.0 seconds)\n"));
  EXPECT_TRUE(host().said("Emitter 0: Total stored 0\n"));
}

TEST_F(photon_tracing_test, a_pass_without_a_tree_or_without_jobs_traces_nothing) {
  set_emitters({object_emitter(1.0f)});
  renderer->create_emission_jobs(5, 0);
  renderer->tree = nullptr;
  host().messages.clear();
  renderer->trace_photons(scene());
  EXPECT_EQ(host().texts("warning"), (std::vector<std::string>{"Out of memory??\n"}));
  EXPECT_TRUE(host().texts("sprint").empty());
  EXPECT_EQ(renderer->photons_emitted, 0);

  // Without jobs the pass still clears the photon lights, counts its photons and reports.
  renderer->tree = empty_tree.get();
  renderer->emission_jobs.clear();
  renderer->photon_lights.resize(3);
  renderer->photon_light_warn = 0;
  renderer->indirect_photons = 1;
  renderer->caustic_photons = 1;
  renderer->trace_photons(scene());
  EXPECT_TRUE(paths.empty());
  EXPECT_TRUE(renderer->photon_lights.empty());
  EXPECT_EQ(renderer->photon_light_warn, 1);
  EXPECT_EQ(renderer->photon_store_mask, -1);
  EXPECT_EQ(host().thread(0).emission_flags, 3072u);
  EXPECT_EQ(renderer->photons_emitted, 1000);
  EXPECT_TRUE(host().said("[1] Photon tracing (0.0 seconds)\n"));
}

TEST_F(photon_tracing_test, jobs_without_a_sampler_are_passed_over) {
  host().threads = 2;
  set_emitters({object_emitter(1.0f)});
  host().fail_allocations_of_bytes = adaptive_sampler_bytes;
  renderer->create_emission_jobs(5, 0);
  for (emission_job& job : renderer->emission_jobs) job.paths_traced = 77;
  renderer->trace_photons(scene());
  EXPECT_TRUE(paths.empty());
  for (const emission_job& job : renderer->emission_jobs) EXPECT_EQ(job.paths_traced, 0u);
  EXPECT_TRUE(host().said("Emitter 0: Mutations accept: n/a (0 / 0). Reused 0 (n/a)\n"));
}

}  // namespace
