// The photon pass's accumulation sets: threads add into sets of their own, which the pass's end
// folds into the points in a fixed order.
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
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
                                      uint32_t leaf_points = default_deposit_leaf_points,
                                      bool grid = true) {
    std::vector<measurement_point>& points = copies.emplace_back(initial);
    ppm_tree& tree = tree_over(points, leaf_points, grid);
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

  const size_t set_bytes = sizeof(accumulator_block) * ((initial.size() + 3) / 4);
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
    // The tree's five arrays, then the sets in one block within the budget.
    ASSERT_EQ(host().allocations.size(), allocations + (c.sets != 0 ? 6 : 5));
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

// The deposit's test and sums written as plainly as they can be, point by point and photon by
// photon: the reference that the walk, the four-wide blocks and the sets must match bit for bit.
std::vector<measurement_point> deposit_one_by_one(std::vector<measurement_point> points,
                                                  const std::vector<photon_query>& photons,
                                                  uint32_t& hits) {
  const auto dot = [](const float* a, const float* b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
  };
  for (const photon_query& q : photons) {
    for (measurement_point& p : points) {
      float d[3];
      for (int a = 0; a < 3; ++a) d[a] = q.position[a] - p.position[a];
      if (q.orient != 0 && dot(p.normal, q.direction) > 0) continue;
      if (dot(d, d) > p.radius * p.radius) continue;
      if (q.orient != 0) {
        const float h = dot(d, p.normal);
        if (h > 0.4f * p.radius) continue;
        if (!(dot(p.normal, q.normal) >= 0.5f) && (h < -1e-5f || dot(q.normal, d) > 1e-5f)) {
          continue;
        }
      }
      p.pass_photons += static_cast<int32_t>(q.count);
      for (int c = 0; c < 3; ++c) {
        p.pass_flux[c] += q.flux[c] * p.reflectance[c];
        p.offset_sum[c] += d[c];
      }
      ++hits;
    }
  }
  return points;
}

TEST_F(deposit_accumulation, a_pass_adds_what_each_point_takes_one_photon_at_a_time) {
  // Points on the walls, floor and a slanted face of a corner, some sums at -0, and photons on
  // the same surfaces with every orientation case, the edges of spheres and of leaf boxes among
  // them. A point that shares a block with one that takes a photon keeps its own sums bit for
  // bit (-0 included).
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  const float s = std::sqrt(0.5f);
  const float normals[][3] = {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}, {s, 0, s}, {0, 0, -1}};
  initial.clear();
  for (int i = 0; i < 400; ++i) {
    const float* n = normals[i % 4];
    measurement_point p = make_point(unit(rng), unit(rng), unit(rng), 0.04f + 0.12f * unit(rng));
    for (int a = 0; a < 3; ++a) {
      if (n[a] == 1.0f) p.position[a] = 0;  // on its wall
      p.normal[a] = n[a];
    }
    set3(p.reflectance, unit(rng), 0.5f, 2.0f * unit(rng));
    set3(p.offset_sum, i % 3 == 0 ? -0.0f : 0.1f * unit(rng), -0.0f, 0.0f);
    p.pass_photons = i % 5;
    initial.push_back(p);
  }
  photons.clear();
  for (uint32_t k = 0; k < 3000; ++k) {
    const float* n = normals[k % 5];
    const float* d = normals[(k / 5) % 5];
    photon_query q{{unit(rng), unit(rng), 0.02f * unit(rng)},
                   {n[0], n[1], n[2]},
                   {-d[0], -d[1], -d[2]},
                   {unit(rng), 1, 0.25f},
                   1 + k % 2,
                   k % 7 != 0 ? 1u : 0u,
                   nullptr,
                   0};
    if (k % 3 == 0) {
      // On the sphere of a point, along one axis: the edge of its sphere and of its leaf's box.
      const measurement_point& p = initial[k % initial.size()];
      for (int a = 0; a < 3; ++a) q.position[a] = p.position[a];
      q.position[k % 2] += (k % 4 == 0 ? -1.0f : 1.0f) * p.radius;
    }
    photons.push_back(q);
  }
  uint32_t hits = 0;
  const std::vector<measurement_point> expected = deposit_one_by_one(initial, photons, hits);
  ASSERT_GT(hits, 3000u);
  // Through the grid or by the node walk, over the tree's own leaves or larger ones.
  for (const bool grid : {true, false}) {
    for (uint32_t leaf_points : {0u, default_deposit_leaf_points}) {
      EXPECT_TRUE(
          same_bits(pass(1, default_accumulation_budget, nullptr, leaf_points, grid), expected))
          << "leaves of " << leaf_points << (grid ? ", grid" : ", walk");
      EXPECT_EQ(total_hits, hits);
    }
  }
}

TEST_F(deposit_accumulation, points_at_nan_or_infinity_deposit_through_the_grid_as_by_the_walk) {
  // Points at NaN lie in no box: leaves of nothing else have empty boxes, which the grid leaves
  // out. A sphere of infinite radius makes the tree's box infinite: no grid, the walk serves.
  for (const bool infinite : {false, true}) {
    std::vector<measurement_point> points = initial;
    for (size_t i = 0; i < points.size(); i += 7) {
      points[i].position[0] = std::numeric_limits<float>::quiet_NaN();
    }
    if (infinite) points[5].radius = std::numeric_limits<float>::infinity();
    std::vector<measurement_point>& by_grid = copies.emplace_back(points);
    std::vector<measurement_point>& by_walk = copies.emplace_back(points);
    ppm_tree& grid_tree = tree_over(by_grid, default_deposit_leaf_points, true);
    ppm_tree& walk_tree = tree_over(by_walk, default_deposit_leaf_points, false);
    EXPECT_EQ(grid_tree.grid.rows != nullptr, !infinite);
    uint32_t grid_hits = 0, walk_hits = 0;
    for (photon_query q : photons) {
      q.hit_counter = &grid_hits;
      grid_tree.deposit(q);
      q.hit_counter = &walk_hits;
      walk_tree.deposit(q);
    }
    EXPECT_GT(walk_hits, 2000u);
    EXPECT_EQ(grid_hits, walk_hits);
    EXPECT_TRUE(same_bits(by_grid, by_walk)) << (infinite ? "infinite" : "NaN");
  }
}

}  // namespace
