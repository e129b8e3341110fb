// The adaptive Markov-chain sampler of one emission job: it hands the host's photon shader the
// first eight random numbers of each path (the path's sample vector) and mutates the vectors of
// paths that reached a measurement point.
#pragma once

#include <cstdint>

#include "host/qor.h"
#include "photons/random.h"

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
