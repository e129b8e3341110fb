#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "photons/random.h"

namespace {

TEST(xorshift128, starts_from_the_published_default_state) {
  xorshift128 g;
  EXPECT_EQ(g.next_u32(), 3701687786u);
  EXPECT_EQ(g.next_u32(), 458299110u);
}

TEST(xorshift128, float_forms_reach_exactly_one_at_the_top) {
  EXPECT_EQ(unit_float(4294967295u), 1.0f);
  EXPECT_EQ(unit_float(4294967168u), 1.0f);
  EXPECT_LT(unit_float(4294967167u), 1.0f);
  EXPECT_EQ(unit_float(0u), 0.0f);
  EXPECT_EQ(unit_float(2147483648u), 0.5f);
  EXPECT_EQ(unit_float_28(4294967295u), 1.0f);
  EXPECT_EQ(unit_float_28(15u), 0.0f);  // the low four bits are dropped
  EXPECT_EQ(unit_float_28(16u), 3.7252903e-09f);
}

TEST(xorshift128, concurrent_selection_draws_are_each_one_whole_step) {
  const xorshift128 start = selection_random;
  constexpr int threads = 4;
  constexpr int draws = 2000;
  std::vector<std::vector<uint32_t>> seen(threads);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&seen, t] {
      for (int i = 0; i < draws; ++i) seen[t].push_back(next_selection_u32());
    });
  }
  for (std::thread& w : workers) w.join();

  // Whatever the interleaving, the draws are exactly the next threads x draws outputs.
  xorshift128 replay = start;
  std::vector<uint32_t> expected;
  for (int i = 0; i < threads * draws; ++i) expected.push_back(replay.next_u32());
  std::vector<uint32_t> all;
  for (auto& s : seen) all.insert(all.end(), s.begin(), s.end());
  std::sort(all.begin(), all.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(all, expected);
}

}  // namespace
