// The adaptive path sampler: not built yet.
#include "photons/adaptive_sampler.h"

qorRandom_adaptive::qorRandom_adaptive(uint32_t seed_value)
    : x(seed_value), y(362436069), z(521288629), w(88675123), proposed{} {}
float qorRandom_adaptive::next_float() {
  return 0.0f;
}
void qorRandom_adaptive::restart() {}
void qorRandom_adaptive::seed(uint32_t) {}
void qorRandom_adaptive::uniform_proposal() {}
void qorRandom_adaptive::mutate_head() {}
void qorRandom_adaptive::mutate_tail() {}
void qorRandom_adaptive::accept() {}
void qorRandom_adaptive::revert() {}
uint32_t qorRandom_adaptive::next_u32() {
  return 0;
}
void qorRandom_adaptive::mutate(int, float) {}
