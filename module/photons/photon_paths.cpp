// Photon paths on one tracing thread: the worker that runs its share of the emission jobs, one
// photon path through the host's photon shader, and the deposit of photon hits into the points
// with the per-thread buffer that re-deposits the chain's current path.
#include <cmath>

#include "module/photons/adaptive_sampler.h"
#include "module/render/qor_ppm.h"
#include "module/tree/ppm_tree.h"

namespace {

// Host ray flags of the photon ray, by the renderer's photon ray mode.
constexpr uint32_t photon_ray_flags = 0x1100;
constexpr uint32_t photon_ray_flags_alternate = 0x11100;

// Seed of a job's second random source: different for every job and every iteration, so the
// decisions the chain does not replay never repeat between passes.
uint32_t second_source_seed(uint32_t job_index, uint32_t job_total, int32_t iteration,
                            uint32_t photons) {
  return (job_index + job_total * static_cast<uint32_t>(iteration)) * photons + 100000u;
}

float dot_as_float(const double a[3], const double b[3]) {
  return static_cast<float>(a[0] * b[0] + a[1] * b[1] + a[2] * b[2]);
}

// One photon path of the job in hand: the host's photon shader emits the photon from the
// emitter, draws its numbers from the thread's first random source (the job's sampler) and
// calls store_photon at every hit.
struct photon_path {
  qorRay& ray;
  const photon_emitter& emitter;
  photon_path_buffer& buffer;

  uint32_t operator()(bool uniform) {
    buffer.path_deposits = 0;
    buffer.flush_pending = 1;
    buffer.record_lights = uniform ? 1 : 0;
    ray.emitter_object = emitter.object;
    ray.origin_object = emitter.object;
    ray.current_light = emitter.light;
    qorThread& thread = *ray.thread;
    thread.random2->restart();
    thread.random->restart();
    qor_call_photon_shader(nullptr, &ray, emitter.shader);
    buffer.record_lights = 0;
    return buffer.path_deposits;
  }
};

void store_counters(emission_job& job, const chain_counters& counters) {
  job.paths_traced = counters.paths_traced;
  job.uniform_accepted = counters.uniform_accepted;
  job.photons_stored = counters.photons_stored;
  job.mutations_rejected = counters.mutations_rejected;
  job.mutations_accepted = counters.mutations_accepted;
  job.mutations_tried = counters.mutations_tried;
}

}  // namespace

void trace_emission_jobs(qorPPM& renderer, qorScene& scene, uint32_t first_job,
                         uint32_t thread_index, uint32_t stride) {
  if (stride == 0) stride = 1;
  qorRay& ray = *qor_get_primary_ray(scene, static_cast<int>(thread_index), qor_ray_photon);
  ray.flags = renderer.photon_ray_mode != 0 ? photon_ray_flags : photon_ray_flags_alternate;
  qorThread& thread = *ray.thread;
  thread.emission_flags = qor_emission_tracing;
  qorRandom* const host_random = thread.random;

  if (renderer.tree != nullptr) renderer.tree->clear_path_buffer(ray);
  if (renderer.point_mode != 0 && renderer.tree2 != nullptr) renderer.tree2->clear_path_buffer(ray);
  photon_path_buffer& buffer = path_buffer_at(ray, renderer.tls_slot);

  const uint32_t job_total = static_cast<uint32_t>(renderer.emission_jobs.size());
  for (uint32_t j = first_job; j < job_total; j += stride) {
    emission_job& job = renderer.emission_jobs[j];
    const photon_emitter& emitter = renderer.emitters[job.emitter];

    chain_counters counters;
    // A job whose sampler could not be allocated has no random source to give the photon
    // shader: it traces nothing, and reports a pass with no paths.
    if (job.sampler != nullptr) {
      thread.random = job.sampler;
      thread.emission_flags = emitter.is_camera() ? uint32_t{qor_emission_camera} : 0u;
      thread.random2->seed(second_source_seed(j, job_total, renderer.iteration, job.photons));
      // In the first iteration no weight has been measured yet; the chain estimates one as it
      // finds visible paths.
      buffer.photon_weight = renderer.iteration == 0 ? 0.0f : emitter.weight;
      buffer.inv_emitter_photons = 1.0f / static_cast<float>(emitter.photon_budget);
      if (emitter.light != nullptr) {
        qor_init_medium(ray, emitter.light->material, 1.0f);
      } else {
        qor_init_medium(ray, 1.0f);
      }

      photon_path trace{ray, emitter, buffer};
      counters = run_emission_chain(*job.sampler, job, emitter.photon_budget, renderer.iteration,
                                    buffer, trace);
    }

    // A stopped pass keeps the job's counters of its last completed pass.
    if (qor_stop_requested(scene) != 0) break;
    store_counters(job, counters);
  }

  // The last current path is owed its reuses in both point sets, with the same multiplicity.
  if (renderer.point_mode != 0) {
    const uint32_t hit_count = buffer.hit_count;
    const uint32_t reuse_count = buffer.reuse_count;
    if (renderer.tree2 != nullptr) renderer.flush_path_buffer(*renderer.tree2, ray);
    buffer.hit_count = hit_count;
    buffer.reuse_count = reuse_count;
  }
  if (renderer.tree != nullptr) renderer.flush_path_buffer(*renderer.tree, ray);

  thread.random = host_random;
  ray.delete_ray();
}

void qorPPM::deposit_photon(ppm_tree& point_tree, const float power[3], qorRay& ray) {
  if (point_tree.root == nullptr) return;
  photon_path_buffer& buffer = point_tree.path_buffer(ray);

  // Shading normals bend the surface a photon meets; the ratio of the two cosines gives the
  // flux the shading normal would have received (+0.01 keeps grazing hits finite).
  const float shading_cosine = std::fabs(dot_as_float(ray.direction, ray.shading_normal)) + 0.01f;
  const float geometric_cosine =
      std::fabs(dot_as_float(ray.direction, ray.geometric_normal)) + 0.01f;
  const float correction = shading_cosine / geometric_cosine;
  const float factor = correction * buffer.photon_weight;

  uint32_t reached = 0;
  photon_query query;
  for (int c = 0; c < 3; ++c) {
    query.position[c] = static_cast<float>(ray.hit_position[c]);
    query.normal[c] = static_cast<float>(ray.shading_normal[c]);
    query.direction[c] = static_cast<float>(ray.direction[c]);
    query.flux[c] = power[c] * factor;
  }
  query.count = 1;
  query.orient = 1;
  query.hit_counter = &reached;
  query.thread = static_cast<uint32_t>(ray.thread->thread_index);
  point_tree.deposit(query);
  buffer.path_deposits += reached;

  if (reached > 0) {
    // The first visible hit of a path settles the previous current path's reuses.
    if (buffer.flush_pending == 1) {
      flush_path_buffer(point_tree, ray);
      buffer.flush_pending = 0;
    }
    if (buffer.hit_count < path_buffer_hits) {
      buffered_hit& hit = buffer.hits[buffer.hit_count];
      for (int c = 0; c < 3; ++c) {
        hit.flux[c] = query.flux[c];
        hit.normal[c] = query.normal[c];
        hit.direction[c] = query.direction[c];
        hit.position[c] = query.position[c];
      }
      buffer.hit_count += 1;
      return;
    }
  }
  if (buffer.hit_count >= path_buffer_hits) {
    qor_warning("Max photons per path reached %d\n", static_cast<int>(buffer.hit_count));
  }
}

void qorPPM::flush_path_buffer(ppm_tree& point_tree, qorRay& ray) {
  if (point_tree.root == nullptr) return;
  photon_path_buffer& buffer = point_tree.path_buffer(ray);
  const uint32_t reuses = buffer.reuse_count;
  if (reuses == 0) {
    buffer.hit_count = 0;
    return;
  }

  // Each buffered hit counts as one photon in the points it reaches; only its flux carries the
  // number of times the path was reused.
  const float multiplicity = static_cast<float>(reuses);
  const auto thread = static_cast<uint32_t>(ray.thread->thread_index);
  uint32_t reached = 0;
  for (uint32_t i = 0; i < buffer.hit_count; ++i) {
    const buffered_hit& hit = buffer.hits[i];
    photon_query query;
    for (int c = 0; c < 3; ++c) {
      query.position[c] = hit.position[c];
      query.normal[c] = hit.normal[c];
      query.direction[c] = hit.direction[c];
      query.flux[c] = hit.flux[c] * multiplicity;
    }
    query.count = 1;
    query.orient = 1;
    query.hit_counter = &reached;
    query.thread = thread;
    point_tree.deposit(query);
  }
  buffer.reuse_count = 0;
  buffer.hit_count = 0;
}
