// The short spin lock that guards a measurement point's accumulators and the photon light list.
#pragma once

#include <atomic>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
inline void cpu_pause() {
  _mm_pause();
}
#else
inline void cpu_pause() {}
#endif

// Takes the 32-bit lock word from 0 (free) to 1 (held). Contention is rare and short (a few
// additions), so the back-off is one pause before each of the first ten retries, 50 afterwards.
inline void spin_lock_acquire(uint32_t& word) {
  std::atomic_ref<uint32_t> lock(word);
  uint32_t expected = 0;
  int retries = 0;
  while (!lock.compare_exchange_weak(expected, 1, std::memory_order_acquire,
                                     std::memory_order_relaxed)) {
    expected = 0;
    const int pauses = retries < 10 ? 1 : 50;
    for (int i = 0; i < pauses; ++i) cpu_pause();
    ++retries;
  }
}

inline void spin_lock_release(uint32_t& word) {
  std::atomic_ref<uint32_t>(word).store(0, std::memory_order_release);
}
