// The photon pass's accumulation sets: threads add into sets of their own, which the pass's end
// folds into the points in a fixed order.
#include <cmath>
#include <cstring>
#include <deque>
#include <random>
#include <thread>

#include "tests/module/module_test.h"

namespace {

class deposit_accumulation : public module_test {
 protected:
  // Points on a floor patch, with sums left from before the pass (the kept offsets of a point
  // that has gathered before), and photons that land among them.
  void SetUp() override {
    module_test::SetUp();
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int i = 0; i < 300; ++i) {
      measurement_point p = make_point(unit(rng), unit(rng), 0, 0.05f + 0.1f * unit(rng));
      set3(p.reflectance, 0.2f + unit(rng), 0.5f, unit(rng));
      set3(p.offset_sum, 0.01f * float(i), -0.5f, 0.25f);
      p.pass_photons = i % 3;
      initial.push_back(p);
    }
    for (int k = 0; k < 4000; ++k) {
      const float x = 1.2f * unit(rng) - 0.1f, y = 1.2f * unit(rng) - 0.1f, z = 0.01f * unit(rng);
      const float r = unit(rng), g = 2.0f * unit(rng);
      photons.push_back({{x, y, z}, {0, 0, 1}, {0, 0, -1}, {r, g, 0.5f}, 1, 1, nullptr, 0});
    }
  }

  // One pass over fresh copies of the points: thread t deposits photons t, t + threads, ...
  // The pass opens and closes in slices that run on threads of their own, all at once.
  // Returns the points after the pass and the hits each thread counted.
  std::vector<measurement_point> pass(int threads, size_t budget, uint32_t* sets = nullptr,
                                      uint32_t leaf_points = default_deposit_leaf_points) {
    std::vector<measurement_point>& points = copies.emplace_back(initial);
    ppm_tree& tree = tree_over(points, leaf_points);
    tree.accumulation_budget = budget;
    const slice_runner at_once = [](uint32_t slices, const slice_work& work) {
      std::vector<std::jthread> slice_threads;
      for (uint32_t s = 0; s < slices; ++s) slice_threads.emplace_back(work, s);
    };
    tree.begin_pass(static_cast<uint32_t>(threads), at_once);
    if (sets != nullptr) *sets = tree.set_count;
    std::vector<uint32_t> hits(static_cast<size_t>(threads), 0);
    {
      std::vector<std::jthread> workers;
      for (size_t t = 0; t < static_cast<size_t>(threads); ++t) {
        workers.emplace_back([&, t] {
          for (size_t k = t; k < photons.size(); k += static_cast<size_t>(threads)) {
            photon_query q = photons[k];
            q.hit_counter = &hits[t];
            q.thread = static_cast<uint32_t>(t);
            tree.deposit(q);
          }
        });
      }
    }  // the workers join here
    tree.end_pass(at_once);
    total_hits = 0;
    for (uint32_t h : hits) total_hits += h;
    return points;
  }

  static bool same_bits(const std::vector<measurement_point>& a,
                        const std::vector<measurement_point>& b) {
    return std::memcmp(a.data(), b.data(), a.size() * sizeof(measurement_point)) == 0;
  }

  std::vector<measurement_point> initial;
  std::vector<photon_query> photons;
  std::deque<std::vector<measurement_point>> copies;  // the trees' points; never moved
  uint32_t total_hits = 0;
};

TEST_F(deposit_accumulation, threads_sum_what_one_thread_sums_and_repeat_bit_for_bit) {
  // One thread's pass, walking the tree's own leaves, is the reference the others must match,
  // whatever subtrees their walks take as one leaf.
  const std::vector<measurement_point> one = pass(1, default_accumulation_budget, nullptr, 0);
  const uint32_t one_hits = total_hits;
  ASSERT_GT(one_hits, 2000u);

  const size_t set_bytes = sizeof(point_accumulator) * initial.size();
  constexpr uint32_t leaf = default_deposit_leaf_points;
  struct {
    int threads;
    size_t budget;
    uint32_t sets;  // what the budget allows
    uint32_t leaf_points;
  } cases[] = {
      {1, default_accumulation_budget, 1, leaf},
      {1, default_accumulation_budget, 1, 300},  // the whole tree is one leaf
      {2, default_accumulation_budget, 2, leaf},
      {3, default_accumulation_budget, 3, leaf},
      {3, 2 * set_bytes + 1, 2, leaf},  // threads 0 and 2 share set 0
      {4, set_bytes, 1, leaf},          // all four share one set
      {2, set_bytes - 1, 0, leaf},      // no set affordable: into the points under their locks
  };
  for (const auto& c : cases) {
    const size_t allocations = host().allocations.size();
    uint32_t sets = 99;
    const std::vector<measurement_point> many = pass(c.threads, c.budget, &sets, c.leaf_points);
    EXPECT_EQ(sets, c.sets) << c.threads << " threads, budget " << c.budget;
    // The tree's four arrays, then the sets in one block within the budget.
    ASSERT_EQ(host().allocations.size(), allocations + (c.sets != 0 ? 5 : 4));
    if (c.sets != 0) {
      EXPECT_EQ(std::stoul(host().allocations.back()), c.sets * set_bytes);
    }
    EXPECT_EQ(total_hits, one_hits);
    for (size_t i = 0; i < initial.size(); ++i) {
      EXPECT_EQ(many[i].pass_photons, one[i].pass_photons) << i;
      for (int a = 0; a < 3; ++a) {
        EXPECT_NEAR(many[i].pass_flux[a], one[i].pass_flux[a], 1e-4f * (1 + one[i].pass_flux[a]));
        EXPECT_NEAR(many[i].offset_sum[a], one[i].offset_sum[a],
                    1e-4f * (1 + std::fabs(one[i].offset_sum[a])));
      }
    }
    // Sets of their own are added in a fixed order: the same thread count, the same bits.
    if (c.sets == static_cast<uint32_t>(c.threads)) {
      EXPECT_TRUE(same_bits(pass(c.threads, c.budget, nullptr, c.leaf_points), many)) << c.threads;
    }
  }
}

}  // namespace
