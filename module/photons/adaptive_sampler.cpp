// The adaptive path sampler: a per-job Markov chain over the first eight random numbers of each
// photon path, with mutation sizes steered towards a fixed acceptance rate.
#include "module/photons/adaptive_sampler.h"

#include <bit>
#include <cmath>

#include "module/photons/photon_records.h"

namespace {

// The rate constants sit one unit in the last place below 0.2 and 0.1, so that the tenth
// mutation of each record adapts by exactly the nearest floats to 0.02 and 0.01.
const float head_rate_scale = std::bit_cast<float>(0x3E4CCCCCu);  // 0.19999999
const float tail_rate_scale = std::bit_cast<float>(0x3DCCCCCCu);  // 0.099999994

// The smallest exponent of a mutation step: head steps (emission direction) are kept smaller
// than tail steps (emission position and first bounce).
constexpr float head_min_exponent = 4.0f;
constexpr float tail_min_exponent = 1.0f;

// Counts a mutation on the record, moves its size towards the target acceptance, and returns
// the exponent of the step distribution: steps are u^e with u uniform, so a small size gives a
// large exponent and mostly tiny steps.
float adapt(mutation_control& control, float rate_scale, float min_exponent) {
  control.tried += 1;
  const float rate = control.tried < 10 ? 0.01f : rate_scale / static_cast<float>(control.tried);
  control.size = (control.acceptance - target_acceptance) * rate + control.size;
  return 1.0f / (std::fabs(control.size) + 1e-10f) + min_exponent;
}

void count_acceptance(mutation_control& control) {
  control.accepted += 1;
  control.acceptance = static_cast<float>(control.accepted) / static_cast<float>(control.tried);
}

}  // namespace

qorRandom_adaptive::qorRandom_adaptive(uint32_t seed_value)
    : x(seed_value), y(xorshift128{}.y), z(xorshift128{}.z), w(xorshift128{}.w) {
  uniform_proposal();
}

uint32_t qorRandom_adaptive::next_u32() {
  xorshift128 g{x, y, z, w};
  const uint32_t u = g.next_u32();
  x = g.x;
  y = g.y;
  z = g.z;
  w = g.w;
  return u;
}

// Only the first eight numbers of a path belong to the chain; the rest are fresh every time and
// are never replayed.
float qorRandom_adaptive::next_float() {
  if (next_index <= 7) return proposed[next_index++];
  return unit_float(next_u32());
}

void qorRandom_adaptive::restart() {
  next_index = 0;
}

// Reseeds the generator only: the chain (vectors, control records, flags) carries on.
void qorRandom_adaptive::seed(uint32_t s) {
  const xorshift128 defaults;
  x = s;
  y = defaults.y;
  z = defaults.z;
  w = defaults.w;
}

void qorRandom_adaptive::uniform_proposal() {
  for (float& p : proposed) p = unit_float(next_u32());
}

void qorRandom_adaptive::mutate(int dimension, float exponent) {
  const float u = unit_float(next_u32());
  float step = powf(u, exponent);
  const float direction = unit_float(next_u32());
  if (direction < 0.5f) step = -step;
  proposed[dimension] = mutated_coordinate(current[dimension], step);
}

void qorRandom_adaptive::mutate_head() {
  const float exponent = adapt(head_control, head_rate_scale, head_min_exponent);
  mutate(0, exponent);
  mutate(1, exponent);
}

void qorRandom_adaptive::mutate_tail() {
  const float exponent = adapt(tail_control, tail_rate_scale, tail_min_exponent);
  for (int i = 2; i < 8; ++i) mutate(i, exponent);
}

void qorRandom_adaptive::accept() {
  for (int i = 0; i < 8; ++i) current[i] = proposed[i];
}

void qorRandom_adaptive::revert() {
  for (int i = 0; i < 8; ++i) proposed[i] = current[i];
}

chain_counters run_emission_chain(qorRandom_adaptive& sampler, const emission_job& job,
                                  uint32_t emitter_budget, int32_t iteration,
                                  photon_path_buffer& buffer,
                                  photon_path_tracer trace_photon_path) {
  chain_counters counters;
  bool has_state = false;  // the current path has been deposited (or counted) in this pass
  uint32_t reject_run = 0;

  for (uint32_t step = 0; step < job.photons; ++step) {
    sampler.uniform_proposal();
    counters.paths_traced += 1;
    uint32_t reached = trace_photon_path(true);

    if (reached > 0) {
      counters.uniform_accepted += 1;
      sampler.accept();
      sampler.chain_idle = 0;
      if (iteration == 0) {
        // No weight from an earlier pass yet: estimate the emitter's share of visible paths
        // from this job's uniform proposals so far.
        buffer.photon_weight = static_cast<float>(counters.uniform_accepted) *
                               (1.0f / static_cast<float>(emitter_budget)) /
                               static_cast<float>(counters.paths_traced + 1000);
      }
      counters.photons_stored += reached;
      if (sampler.chain_started == 0) {
        // The steps spent searching for the first visible path do not count against the job.
        sampler.chain_started = 1;
        step = 0;
      }
      reject_run = 0;
      has_state = true;
    } else if (sampler.chain_idle == 0) {
      // Every fourth step mutates the emission direction alone and keeps the fresh uniform
      // values for the rest of the vector.
      const bool mutate_tail = step % 4 != 0;
      sampler.mutate_head();
      if (mutate_tail) sampler.mutate_tail();
      counters.mutations_tried += 1;
      reached = trace_photon_path(false);

      if (reached > 0) {
        counters.photons_stored += reached;
        count_acceptance(mutate_tail ? sampler.tail_control : sampler.head_control);
        sampler.accept();
        counters.mutations_accepted += 1;
        reject_run = 0;
        has_state = true;
      } else {
        if (reject_run >= idle_after_rejections) sampler.chain_idle = 1;
        reject_run += 1;
        counters.mutations_rejected += 1;
        if (has_state) {
          // The current path's buffered hits are deposited once more at the next flush.
          buffer.reuse_count += 1;
        } else {
          // The current path was accepted in an earlier pass, so the buffer does not hold its
          // hits: trace it again instead.
          sampler.revert();
          trace_photon_path(false);
          has_state = true;
        }
      }
    }

    if (counters.photons_stored > job.store_limit) {
      qor_sprint("Reached maximum number of photons to store (%d)\n",
                 static_cast<int>(job.store_limit));
    }
  }
  return counters;
}
