// Emission jobs (the photon budget of a pass cut into fixed-size units, each with its own
// adaptive sampler) and the photon tracing pass that runs them on all threads.
#include <climits>
#include <cstdio>
#include <new>
#include <vector>

#include "module/photons/adaptive_sampler.h"
#include "module/render/processes.h"
#include "module/render/qor_ppm.h"
#include "module/tree/ppm_tree.h"

namespace {

constexpr uint32_t default_photons_per_job = 500;
constexpr uint32_t default_store_limit_per_photon = 1000;
constexpr uint32_t first_sampler_seed = 100000;
// A camera that emits at all gets at least this many jobs.
constexpr int32_t camera_min_jobs = 10;

// The float-to-integer conversion of the job split: an answer that does not fit (or is not a
// number) becomes the most negative integer, and so no job.
int32_t truncate_job_share(float share) {
  if (share >= -2147483648.0f && share < 2147483648.0f) return static_cast<int32_t>(share);
  return INT_MIN;
}

int32_t jobs_for_emitter(const photon_emitter& emitter, float total_power, int32_t job_count) {
  int32_t jobs = truncate_job_share(emitter.power * emitter.weight / total_power *
                                    static_cast<float>(job_count));
  if (jobs < 1 && emitter.power > 0.0f) jobs = 1;
  if (jobs < camera_min_jobs && emitter.power > 0.0f && emitter.is_camera()) {
    jobs = camera_min_jobs;
  }
  return jobs;
}

// One slice of a pass's opening or closing, as a task of the host's pool. The tasks live in the
// caller's vector until the barrier returns; the host never frees them.
class slice_task final : public qorTask {
 public:
  slice_task(const slice_work* work_in, uint32_t slice_in) : work(work_in), slice(slice_in) {}
  ~slice_task() override {}
  int run() override {
    (*work)(slice);
    return 0;
  }
  void finish() override {}

 private:
  const slice_work* work;
  uint32_t slice;
};

// Runs the slices on the host's task pool, which sleeps while the photon threads run: the
// pass's ends then take 1 / threads of the time they would on the calling thread alone.
slice_runner pool_runner(qorScene& scene) {
  return [&scene](uint32_t slices, const slice_work& work) {
    if (slices <= 1) {
      run_slices_in_turn(slices, work);
      return;
    }
    std::vector<slice_task> tasks;
    tasks.reserve(slices);
    for (uint32_t slice = 0; slice < slices; ++slice) {
      qor_add_thread_task(scene, &tasks.emplace_back(&work, slice), false);
    }
    qor_thread_barrier(scene);
  };
}

struct emitter_sums {
  uint32_t paths_traced = 0;
  uint32_t uniform_accepted = 0;
  uint32_t photons_stored = 0;
  uint32_t mutations_rejected = 0;
  uint32_t mutations_accepted = 0;
  uint32_t mutations_tried = 0;
};

// "12.34%", or "n/a" when nothing was counted to take a share of.
void format_percent(char (&text)[32], float numerator, float denominator) {
  if (denominator == 0.0f) {
    std::snprintf(text, sizeof text, "n/a");
  } else {
    std::snprintf(text, sizeof text, "%.2f%%",
                  static_cast<double>(numerator * 100.0f / denominator));
  }
}

// The running totals of an emitter stay below 2^28, halved together so their ratio survives.
constexpr uint32_t emitter_total_limit = 0x0FFFFFFF;

}  // namespace

void qorPPM::photon_setup(qorScene& scene) {
  enumerate_emitters(scene);
  const int32_t per_job = job_count > 0 ? photons_per_pass / job_count : 0;
  create_emission_jobs(static_cast<uint32_t>(per_job), 0);
}

void qorPPM::create_emission_jobs(uint32_t photons_per_job_wanted, uint32_t store_limit_wanted) {
  for (emission_job& job : emission_jobs) {
    if (job.sampler != nullptr) {
      job.sampler->~qorRandom_adaptive();
      qor_free_aligned(job.sampler);
    }
  }
  emission_jobs.clear();

  job_photons_total = 0;
  photons_per_job = photons_per_job_wanted != 0 ? photons_per_job_wanted : default_photons_per_job;
  const uint32_t store_limit = store_limit_wanted != 0
                                   ? store_limit_wanted
                                   : default_store_limit_per_photon * photons_per_job;

  std::vector<int32_t> jobs_per_emitter;
  jobs_per_emitter.reserve(emitters.size());
  for (const photon_emitter& emitter : emitters) {
    jobs_per_emitter.push_back(jobs_for_emitter(emitter, total_power, job_count));
  }

  // The samplers of process p start past every seed of processes 0 .. p - 1, so no two chains of
  // a shared render start alike.
  uint32_t jobs_in_pass = 0;
  for (const int32_t jobs : jobs_per_emitter) {
    if (jobs > 0) jobs_in_pass += static_cast<uint32_t>(jobs);
  }
  const uint32_t first_seed_job = jobs_in_pass * static_cast<uint32_t>(process_index());

  for (uint32_t i = 0; i < emitters.size(); ++i) {
    const int32_t jobs = jobs_per_emitter[i];
    // An emitter without jobs has no budget (the split's negative answers included).
    emitters[i].photon_budget = jobs > 0 ? static_cast<uint32_t>(jobs) * photons_per_job : 0;
    for (int32_t k = 0; k < jobs; ++k) {
      const uint32_t index = static_cast<uint32_t>(emission_jobs.size());
      qorRandom_adaptive* sampler = nullptr;
      if (void* storage = qor_malloc_aligned(adaptive_sampler_bytes, 64)) {
        sampler = new (storage)
            qorRandom_adaptive(photons_per_job * (first_seed_job + index) + first_sampler_seed);
      } else {
        qor_warning(
            "Out of memory allocating the sampler of photon emission job %u; the job will "
            "not be traced\n",
            index);
      }
      emission_jobs.push_back(emission_job{.sampler = sampler,
                                           .emitter = i,
                                           .photons = photons_per_job,
                                           .store_limit = store_limit,
                                           .paths_traced = 0,
                                           .uniform_accepted = 0,
                                           .photons_stored = 0,
                                           .mutations_rejected = 0,
                                           .mutations_accepted = 0,
                                           .mutations_tried = 0});
      job_photons_total += photons_per_job;
    }
  }

  // The photons of a pass are those of all the processes that share it.
  const int processes = process_count();
  if (processes > 1) {
    qor_sprint("Created %d photon emission jobs (Emitting %u photons in %d processes)\n",
               static_cast<int>(emission_jobs.size()),
               job_photons_total * static_cast<uint32_t>(processes), processes);
  } else {
    qor_sprint("Created %d photon emission jobs (Emitting %u photons)\n",
               static_cast<int>(emission_jobs.size()), job_photons_total);
  }
}

int photon_thread_main(void* argument) {
  const photon_thread_args& args = *static_cast<const photon_thread_args*>(argument);
  qorScene& scene = *args.scene;
  const auto index = static_cast<uint32_t>(args.thread_index);
  qor_scene_thread_init(scene, args.thread_index);
  trace_emission_jobs(*args.renderer, scene, index, index,
                      static_cast<uint32_t>(args.thread_count));
  qor_scene_thread_exit(scene, args.thread_index);
  // Thread 0 is the render's own thread and keeps its storage for the whole render.
  if (args.thread_index != 0) qor_tls_free(scene, args.thread_index);
  return 0;
}

void qorPPM::trace_photons(qorScene& scene) {
  const int32_t threads = qor_thread_count(scene);
  // The mask of the photons a pass stores: all, or bits 9 and 10 when a kind is left out. The
  // renderer keeps it; nothing reads it.
  constexpr int32_t store_all_photons = -1, store_some_photons = 0x600;
  photon_store_mask =
      indirect_photons != 0 && caustic_photons != 0 ? store_all_photons : store_some_photons;
  if (tree == nullptr) {
    qor_warning("Out of memory??\n");
    return;
  }

  const double t0 = qor_get_time();
  qor_sprint("Clear photon lights\n");
  photon_lights.clear();
  photon_light_warn = 1;

  // Each tracing thread adds its photons into its own accumulation set of each tree, and the
  // sets are added into the points once all threads have finished.
  // In a shared render the pass sums are then summed over the processes, before anything reads
  // them (see processes.h).
  open_shared_pass(tree->points, tree->count);
  if (point_mode != 0 && tree2 != nullptr) open_shared_pass(tree2->points, tree2->count);
  const auto pass_threads = static_cast<uint32_t>(threads);
  const slice_runner on_pool = pool_runner(scene);
  tree->begin_pass(pass_threads, on_pool);
  if (point_mode != 0 && tree2 != nullptr) tree2->begin_pass(pass_threads, on_pool);

  // Thread t runs jobs t, t + threads, t + 2 threads, ...: each job and its sampler belong to
  // one thread for the whole pass.
  std::vector<photon_thread_args> args(static_cast<size_t>(threads));
  std::vector<bool> started(static_cast<size_t>(threads), false);
  for (int32_t i = 0; i < threads; ++i) {
    args[i] = photon_thread_args{
        .renderer = this, .scene = &scene, .handle = 0, .thread_index = i, .thread_count = threads};
    if (i >= 1) started[i] = qor_thread_start(photon_thread_main, &args[i], &args[i].handle, 0);
  }

  qor_scene_thread_init(scene, 0);
  trace_emission_jobs(*this, scene, 0, 0, static_cast<uint32_t>(threads));
  qor_scene_thread_exit(scene, 0);

  for (int32_t i = 1; i < threads; ++i) {
    if (started[i]) {
      qor_thread_join(args[i].handle);
    } else {
      // The host could not start the thread: its jobs still belong to this pass.
      photon_thread_main(&args[i]);
    }
  }
  tree->end_pass(on_pool);
  if (point_mode != 0 && tree2 != nullptr) tree2->end_pass(on_pool);
  if (process_count() > 1) {
    const double t_waited = qor_get_time();
    meet_processes();
    const double t_met = qor_get_time();
    close_shared_pass(tree->points, tree->count);
    if (point_mode != 0 && tree2 != nullptr) close_shared_pass(tree2->points, tree2->count);
    sum_job_counters(emission_jobs);
    qor_sprint("[%d] Photon sums of %d processes (waited %.3f, summed %.3f seconds)\n",
               iteration + 1, process_count(), t_met - t_waited, qor_get_time() - t_met);
  }

  update_emitter_statistics();
  qor_sprint("[%d] Photon tracing (%.1f seconds)\n", iteration + 1, qor_get_time() - t0);
  photons_emitted += photons_per_pass * process_count();
}

void qorPPM::update_emitter_statistics() {
  std::vector<emitter_sums> sums(emitters.size());
  for (const emission_job& job : emission_jobs) {
    emitter_sums& s = sums[job.emitter];
    s.paths_traced += job.paths_traced;
    s.uniform_accepted += job.uniform_accepted;
    s.photons_stored += job.photons_stored;
    s.mutations_rejected += job.mutations_rejected;
    s.mutations_accepted += job.mutations_accepted;
    s.mutations_tried += job.mutations_tried;
  }

  for (size_t i = 0; i < emitters.size(); ++i) {
    photon_emitter& emitter = emitters[i];
    if (emitter.paths_total > emitter_total_limit ||
        emitter.uniform_accepted_total >= emitter_total_limit) {
      emitter.paths_total >>= 1;
      emitter.uniform_accepted_total >>= 1;
    }
    emitter.paths_total += sums[i].paths_traced;
    emitter.uniform_accepted_total += sums[i].uniform_accepted;
  }

  // The weight turns a job's photons into flux: the emitter's share of visible uniform paths
  // over all passes, divided by the paths of this pass.
  const bool second_set_last_gathered = point_mode == 2 && iteration == point2_last_iteration;
  mean_emitter_weight = 0.0f;
  for (size_t i = 0; i < emitters.size(); ++i) {
    photon_emitter& emitter = emitters[i];
    const emitter_sums& s = sums[i];
    const float ratio = static_cast<float>(emitter.uniform_accepted_total) /
                        (static_cast<float>(emitter.paths_total) + 1e-5f);
    const float paths = static_cast<float>(static_cast<int32_t>(s.paths_traced));
    emitter.weight = second_set_last_gathered ? 0.0f : 1.0f / (paths + 1e-5f) * ratio;
    mean_emitter_weight += emitter.weight;

    const int index = static_cast<int>(i);
    qor_sprint("Emitter %d: Uniform accept:   %.2f%% (%u / %u)\n", index,
               static_cast<double>(ratio * 100.0f), emitter.uniform_accepted_total, s.paths_traced);
    char accepted_share[32];
    char reused_share[32];
    format_percent(accepted_share, static_cast<float>(s.mutations_accepted),
                   static_cast<float>(s.mutations_tried));
    format_percent(reused_share, static_cast<float>(s.mutations_rejected), paths);
    qor_sprint("Emitter %d: Mutations accept: %s (%d / %d). Reused %d (%s)\n", index,
               accepted_share, static_cast<int>(s.mutations_accepted),
               static_cast<int>(s.mutations_tried), static_cast<int>(s.mutations_rejected),
               reused_share);
    qor_sprint("Emitter %d: Total stored %d\n", index, static_cast<int>(s.photons_stored));
  }
  mean_emitter_weight = mean_emitter_weight / (static_cast<float>(emitters.size()) + 1e-5f);
}
