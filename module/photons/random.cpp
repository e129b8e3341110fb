#include "module/photons/random.h"

#include "module/points/spin_lock.h"

xorshift128 global_random;
xorshift128 selection_random;

namespace {
uint32_t selection_lock = 0;
}

uint32_t next_selection_u32() {
  spin_lock_acquire(selection_lock);
  const uint32_t u = selection_random.next_u32();
  spin_lock_release(selection_lock);
  return u;
}
