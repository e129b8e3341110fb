// The module's random number generator (xorshift128) and its two module-wide instances.
#pragma once

#include <cstdint>

struct xorshift128 {
  uint32_t x = 123456789;
  uint32_t y = 362436069;
  uint32_t z = 521288629;
  uint32_t w = 88675123;

  uint32_t next_u32() {
    const uint32_t t = x ^ (x << 11);
    x = y;
    y = z;
    z = w;
    w = w ^ (w >> 19) ^ t ^ (t >> 8);
    return w;
  }
};

// [0, 1]: the nearest float to u, times 2^-32; outputs from 4294967168 up give exactly 1.0.
inline float unit_float(uint32_t u) {
  return static_cast<float>(u) * 2.3283064e-10f;
}

// [0, 1] from the top 28 bits, as the candidate selection draws it.
inline float unit_float_28(uint32_t u) {
  return static_cast<float>(u >> 4) * 3.7252903e-09f;
}

// Seeds of the iterations; advanced only by the render loop's thread. Never reseeded, so a second
// render in the same process continues the sequence.
extern xorshift128 global_random;

// Candidate selection of the eye pass, shared by all its workers (see next_selection_u32).
extern xorshift128 selection_random;

// One step of selection_random, safe to call from every eye-pass worker at once: the step is
// taken under a spin lock, so concurrent draws never interleave their four-word updates.
uint32_t next_selection_u32();
