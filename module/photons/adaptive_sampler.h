// The adaptive Markov-chain sampler of one emission job: it hands the host's photon shader the
// first eight random numbers of each path (the path's sample vector) and mutates the vectors of
// paths that reached a measurement point.
#pragma once

#include <concepts>
#include <cstdint>
#include <type_traits>

#include "host/qor.h"
#include "module/photons/random.h"

struct emission_job;
struct photon_path_buffer;

struct mutation_control {
  float acceptance = 0.25f;  // acceptance-rate estimate
  float size = 0.2f;         // adaptive mutation size
  int32_t tried = 0;
  int32_t accepted = 1;
};

class qorRandom_adaptive final : public qorRandom {
 public:
  explicit qorRandom_adaptive(uint32_t seed);

  float next_float() override;
  void restart() override;
  void seed(uint32_t s) override;

  void uniform_proposal();
  void mutate_head();  // dimensions 0 and 1
  void mutate_tail();  // dimensions 2 to 7
  void accept();       // current := proposed
  void revert();       // proposed := current

  uint32_t x, y, z, w;
  mutation_control tail_control;
  mutation_control head_control;
  uint32_t chain_started = 0;
  uint32_t chain_idle = 1;
  uint32_t next_index = 0;
  float proposed[8];
  float current[8] = {};

 private:
  uint32_t next_u32();
  void mutate(int dimension, float exponent);
};

// The storage create_emission_jobs asks the host for, per sampler.
inline constexpr size_t adaptive_sampler_bytes = 200;
static_assert(sizeof(qorRandom_adaptive) <= adaptive_sampler_bytes);

// Acceptance rate the mutation sizes are steered towards.
inline constexpr float target_acceptance = 0.234f;

// After this many consecutive rejected mutations (the next one being the 201st) the chain stops
// mutating until a uniform proposal is visible again.
inline constexpr uint32_t idle_after_rejections = 200;

// One coordinate of a sample vector moved by step and reflected back into [0, 1] at both ends.
inline float mutated_coordinate(float current, float step) {
  float p = current + step;
  if (!(p >= 0.0f)) {
    p = -p;
  } else if (p >= 1.0f) {
    p = 2.0f - p;
  }
  return p;
}

// How a job's pass went; the worker copies these into the job unless the pass was stopped.
struct chain_counters {
  uint32_t paths_traced = 0;        // uniform proposals traced (chain steps)
  uint32_t uniform_accepted = 0;    // of those, visible ones
  uint32_t photons_stored = 0;      // points reached by all accepted paths
  uint32_t mutations_rejected = 0;  // invisible mutations: the current path counted again
  uint32_t mutations_accepted = 0;
  uint32_t mutations_tried = 0;
};

// Traces one photon path of the job in hand with the job's sampler installed as the thread's
// random source; uniform is true for a fresh uniform proposal. Answers how many points the
// path's hits reached (0: the path is invisible). A non-owning reference, so the chain needs no
// allocation to call it.
class photon_path_tracer {
 public:
  template <typename F>
  requires(!std::same_as<std::remove_cvref_t<F>, photon_path_tracer> && std::invocable<F&, bool>)
      photon_path_tracer(F& trace)
      : context_(&trace), call_([](void* context, bool uniform) -> uint32_t {
          return (*static_cast<F*>(context))(uniform);
        }) {}

  uint32_t operator()(bool uniform) const { return call_(context_, uniform); }

 private:
  void* context_;
  uint32_t (*call_)(void*, bool);
};

// Runs the Markov chain of one job for one photon pass: job.photons steps, plus the steps before
// the sampler's first visible uniform proposal. Writes the thread's photon_weight (first
// iteration only) and reuse_count in buffer; emitter_budget is the photon budget of the job's
// emitter.
chain_counters run_emission_chain(qorRandom_adaptive& sampler, const emission_job& job,
                                  uint32_t emitter_budget, int32_t iteration,
                                  photon_path_buffer& buffer, photon_path_tracer trace_photon_path);
