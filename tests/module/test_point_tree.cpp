#include <algorithm>
#include <cmath>
#include <random>

#include "module/photons/photon_records.h"
#include "tests/module/point_tree_test.h"

namespace {

using point_tree = point_tree_test;

// The centres of a node's points on one axis.
floats centres(const ppm_tree& tree, const ppm_tree_node& node, int axis) {
  floats out;
  for (uint32_t k = node.first; k < node.first + node.count; ++k)
    out.push_back(tree.points[tree.index[k]].position[axis]);
  return out;
}

// Checks the tree's structure: the index is a permutation, sibling ranges tile their parent's,
// every box is the tight box of its points' spheres, siblings are separated on some axis, the
// pool holds child pairs in the order of a depth-first build (child 0 first), and leaves are
// small unless big_leaves. Returns the number of nodes reached.
uint32_t check_tree(const ppm_tree& tree, bool big_leaves = false) {
  std::vector<uint32_t> sorted(tree.index, tree.index + tree.count);
  std::sort(sorted.begin(), sorted.end());
  for (uint32_t k = 0; k < tree.count; ++k) EXPECT_EQ(sorted[k], k) << "index not a permutation";
  uint32_t reached = 0, pairs = 0;
  std::vector<const ppm_tree_node*> stack{tree.root};
  while (tree.root != nullptr && !stack.empty()) {
    const ppm_tree_node& node = *stack.back();
    stack.pop_back();
    ++reached;
    for (int a = 0; a < 3; ++a) {
      float lo = 1e20f, hi = -1e20f;
      for (uint32_t k = node.first; k < node.first + node.count; ++k) {
        const measurement_point& p = tree.points[tree.index[k]];
        lo = std::min(lo, p.position[a] - p.radius);
        hi = std::max(hi, p.position[a] + p.radius);
      }
      EXPECT_TRUE(node.bounds_min[a] == lo && node.bounds_max[a] == hi) << "box, axis " << a;
    }
    const ppm_tree_node* c = node.children;
    if (c == nullptr) {
      EXPECT_TRUE(big_leaves || node.count < 16) << node.count;
      continue;
    }
    EXPECT_EQ(c, tree.nodes + 1 + 2 * pairs++) << "pool order";
    EXPECT_TRUE(c[0].first == node.first && c[1].first == node.first + c[0].count &&
                c[0].count + c[1].count == node.count && c[0].count > 0 && c[1].count > 0);
    bool separated = false;
    for (int a = 0; a < 3; ++a) {
      const auto left = centres(tree, c[0], a), right = centres(tree, c[1], a);
      separated |= *std::max_element(left.begin(), left.end()) <
                   *std::min_element(right.begin(), right.end());
    }
    EXPECT_TRUE(separated) << "children overlap on every axis";
    stack.push_back(&c[1]);
    stack.push_back(&c[0]);
  }
  EXPECT_EQ(reached, tree.nodes_used);
  return reached;
}

// --- Build ------------------------------------------------------------------------------------

TEST_F(point_tree, random_point_sets_keep_every_invariant_and_split_at_box_midpoints) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  // A cube, a flat slab long in x, and a rod along y.
  const float scales[][3] = {{1, 1, 1}, {10, 1, 0.01f}, {0.1f, 3, 0.1f}};
  for (uint32_t n : {16u, 17u, 100u, 3000u}) {
    for (const auto& scale : scales) {
      std::vector<measurement_point> points;
      for (uint32_t i = 0; i < n; ++i) {
        const float cluster = i % 3 == 0 ? 0.0f : 5.0f;  // unbalanced splits
        points.push_back(make_point(scale[0] * (cluster + unit(rng)), scale[1] * unit(rng),
                                    scale[2] * unit(rng), 0.05f * unit(rng)));
      }
      SCOPED_TRACE(testing::Message() << n << " points, x scale " << scale[0]);
      ppm_tree& tree = build(points);
      EXPECT_LE(check_tree(tree), 2 * n - 29);
      // Where the midpoint of the longest extent (ties: x, then z) has centres on both sides,
      // it is the split.
      for (uint32_t i = 0; i < tree.nodes_used; ++i) {
        const ppm_tree_node& node = tree.nodes[i];
        if (node.children == nullptr) continue;
        float e[3];
        for (int a = 0; a < 3; ++a) e[a] = node.bounds_max[a] - node.bounds_min[a];
        const int axis = e[1] > e[0] && e[1] > e[2] ? 1 : e[2] > e[0] ? 2 : 0;
        const float mid = (node.bounds_min[axis] + node.bounds_max[axis]) / 2;
        const auto all = centres(tree, node, axis);
        if (*std::max_element(all.begin(), all.end()) <= mid) continue;
        for (float x : centres(tree, node.children[0], axis)) EXPECT_LE(x, mid);
        for (float x : centres(tree, node.children[1], axis)) EXPECT_GT(x, mid);
      }
    }
  }
  // Fifteen points or fewer, or points that cannot be split, make one leaf; none make no tree.
  std::vector<measurement_point> none, fifteen, coincident(100, make_point(1, 2, 3, 0.5f));
  EXPECT_EQ(build(none).root, nullptr);
  for (int i = 0; i < 15; ++i) fifteen.push_back(make_point(float(i), 0, 0, 0.25f));
  EXPECT_EQ(check_tree(build(fifteen)), 1u);
  EXPECT_EQ(check_tree(build(coincident), true), 1u);
}

TEST_F(point_tree, split_search_bisects_and_then_tries_the_next_axis) {
  // A wide sphere at x = 30 puts every centre left of the midpoint 30. The bisection moves the
  // split to -20, 5 and then 17.5, which leaves the centres 10 .. 17 on the left.
  std::vector<measurement_point> lopsided{make_point(30, 0, 0, 100)};
  for (int i = 10; i < 25; ++i) lopsided.push_back(make_point(float(i), 0, 0, 0.5f));
  ppm_tree& bisected = build(lopsided);
  check_tree(bisected);
  auto left = centres(bisected, bisected.root->children[0], 0);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (floats{10, 11, 12, 13, 14, 15, 16, 17}));

  // Equal extents choose x, where every centre is 0: five attempts fail, and y splits next
  // (z would have split odd from even points).
  std::vector<measurement_point> flat_x{make_point(0, 0, 0, 10)};
  for (int i = 0; i < 16; ++i)
    flat_x.push_back(make_point(0, float(i) / 8 - 0.95f, i % 2 != 0 ? 0.5f : -0.5f, 0.1f));
  ppm_tree& fallback = build(flat_x);
  check_tree(fallback);
  for (float y : centres(fallback, fallback.root->children[0], 1)) EXPECT_LE(y, 0.0f);

  // Equal y and z extents, above x's, choose z.
  std::vector<measurement_point> cube;
  for (int i = 0; i < 16; ++i)
    cube.push_back(make_point(0.5f * float(i % 2), float((i / 2) % 2), float((i / 4) % 2), 0.1f));
  ppm_tree& tie = build(cube);
  for (float z : centres(tie, tie.root->children[0], 2)) EXPECT_EQ(z, 0.0f);
}

TEST_F(point_tree, arrays_come_from_the_host_and_failures_leave_an_empty_tree) {
  std::vector<measurement_point> points(3, make_point(0, 0, 0, 1));
  {
    ppm_tree tree(points.data(), 3);
    // 4 bytes per point for the index, two 40-byte nodes per point for the pool.
    ASSERT_EQ(host().allocation_log.size(), 2u);
    for (size_t k = 0; k < 2; ++k) {
      const fake_allocation& a = host().allocation_log[k];
      EXPECT_TRUE(a.bytes == (k == 0 ? 12u : 240u) && a.kind == 16 && a.alignment == 64);
    }
    EXPECT_EQ(tree.allocate_nodes(5), tree.nodes);
    EXPECT_EQ(tree.allocate_nodes(1), nullptr);  // the pool of 6 keeps one node spare
    EXPECT_EQ(tree.nodes_used, 5u);
    EXPECT_EQ(host().texts("error"), strings{"Out of nodes in ppm (6 >= 6)\n"});
  }
  EXPECT_TRUE(host().live_allocations.empty());
  for (size_t failing : {size_t(12), size_t(240), size_t(192)}) {
    start_over();
    host().fail_allocations_of_bytes = failing;
    ppm_tree& tree = build(points);
    EXPECT_TRUE(tree.root == nullptr && tree.count == 3 && host().live_allocations.empty());
    EXPECT_EQ(host().texts("error"), strings{"Out of memory allocating ppm tree for 3 points\n"});
  }
}

TEST_F(point_tree, second_tree_is_rebuilt_or_kept_by_point_mode) {
  std::vector<measurement_point> main(40, make_point(0, 0, 0, 1)), second;
  for (int i = 0; i < 40; ++i) second.push_back(make_point(float(i), 0, 0, 1));
  renderer->points = main.data();
  renderer->points2 = second.data();
  renderer->tls_slot = 576;
  for (int mode : {0, 1, 2}) {
    renderer->point_mode = mode;
    const ppm_tree* first_second_tree = nullptr;
    for (int iteration = 0; iteration < 3; ++iteration) {
      renderer->point_count = renderer->point2_count = 20 + 5 * iteration;
      renderer->build_trees(scene(), iteration);
      EXPECT_TRUE(renderer->tree->count == 20u + 5 * iteration && renderer->tree->tls_slot == 576);
      if (mode == 0) {
        EXPECT_EQ(renderer->tree2, nullptr);
        continue;
      }
      if (iteration == 0) first_second_tree = renderer->tree2;
      // The kept second set's tree is the one of iteration 0, over its 20 points.
      EXPECT_EQ(renderer->tree2->count, mode == 2 ? 20u : 20u + 5 * iteration);
      EXPECT_TRUE(renderer->tree2->tls_slot == 576 &&
                  (mode != 2 || renderer->tree2 == first_second_tree));
      check_tree(*renderer->tree2);
    }
  }
}

// --- Queries ----------------------------------------------------------------------------------

// A photon falling straight down onto a floor, with the orientation tests off.
photon_query make_photon(float x, float y, float z, uint32_t* counter) {
  return {{x, y, z}, {0, 0, 1}, {0, 0, -1}, {1, 1, 1}, 1, 0, counter, 0};
}

TEST_F(point_tree, deposit_reaches_exactly_the_points_a_full_scan_finds) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<measurement_point> points;
  for (int i = 0; i < 2000; ++i)
    points.push_back(make_point(unit(rng), unit(rng), 0.2f * unit(rng), 0.01f + 0.1f * unit(rng)));
  ppm_tree& tree = build(points);
  std::vector<int> expected(points.size(), 0);
  uint32_t hits = 0, expected_hits = 0;
  for (int k = 0; k < 3000; ++k) {
    const float x = 1.2f * unit(rng) - 0.1f, y = 1.2f * unit(rng) - 0.1f,
                z = 0.4f * unit(rng) - 0.1f;
    tree.deposit(tree.root, make_photon(x, y, z, &hits));
    for (size_t i = 0; i < points.size(); ++i) {
      const float* c = points[i].position;
      const float d2 = (x - c[0]) * (x - c[0]) + (y - c[1]) * (y - c[1]) + (z - c[2]) * (z - c[2]);
      if (d2 <= points[i].radius * points[i].radius) ++expected[i], ++expected_hits;
    }
  }
  EXPECT_GT(expected_hits, 1000u);
  EXPECT_EQ(hits, expected_hits);
  for (size_t i = 0; i < points.size(); ++i) ASSERT_EQ(points[i].pass_photons, expected[i]) << i;
}

TEST_F(point_tree, sphere_height_and_corner_tests_decide_acceptance) {
  // Floors facing +z at the origin (radius 1) and at x = 5 (radius 0.3); a point at y = 5 whose
  // sphere reaches the tree's box.
  std::vector<measurement_point> points{make_point(0, 0, 0, 1), make_point(5, 0, 0, 0.3f),
                                        make_point(0, 5, 0, 0.5f)};
  ppm_tree& tree = build(points);
  const float h3 = 0.4f * 0.3f, c60 = std::sqrt(0.75f);
  struct {
    const char* what;
    float position[3], normal[3], direction[3];
    uint32_t orient;
    bool accepted;
  } cases[] = {
      {"on the sphere", {1, 0, 0}, {0, 0, 1}, {0, 0, 1}, 0, true},
      {"just outside", {std::nextafter(1.0f, 2.0f), 0, 0}, {0, 0, 1}, {0, 0, -1}, 0, false},
      {"on the sphere at the box", {0, 5.5f, 0}, {0, 0, 1}, {0, 0, -1}, 0, true},
      {"from behind the surface", {0, 0, 0}, {0, 0, 1}, {0, 0.1f, 1}, 1, false},
      {"height 0.4 r", {0, 0, 0.4f}, {0, 0, 1}, {0, 0, -1}, 1, true},
      {"just above 0.4 r", {0, 0, std::nextafter(0.4f, 1.0f)}, {0, 0, 1}, {0, 0, -1}, 1, false},
      {"height 0.4 r, r 0.3", {5, 0, h3}, {0, 0, 1}, {0, 0, -1}, 1, true},
      {"above, r 0.3", {5, 0, std::nextafter(h3, 1.0f)}, {0, 0, 1}, {0, 0, -1}, 1, false},
      {"normals at 60 degrees", {0.1f, 0, 0}, {c60, 0, 0.5f}, {0, 0, -1}, 1, true},
      {"just over 60", {0.1f, 0, 0}, {c60, 0, 0.4999999f}, {0, 0, -1}, 1, false},
      {"corner, both in front", {-0.1f, 0, 0}, {1, 0, 0}, {0, 0, -1}, 1, true},
      {"corner, point behind", {2e-5f, 0, 0}, {1, 0, 0}, {0, 0, -1}, 1, false},
      {"corner, point on limit", {1e-5f, 0, 0}, {1, 0, 0}, {0, 0, -1}, 1, true},
      {"corner, photon on limit", {-0.1f, 0, -1e-5f}, {1, 0, 0}, {0, 0, -1}, 1, true},
      {"corner, photon below", {-0.1f, 0, -2e-5f}, {1, 0, 0}, {0, 0, -1}, 1, false},
  };
  for (const auto& c : cases) {
    uint32_t hits = 0;
    photon_query q = make_photon(0, 0, 0, &hits);
    std::copy(c.position, c.position + 3, q.position);
    std::copy(c.normal, c.normal + 3, q.normal);
    std::copy(c.direction, c.direction + 3, q.direction);
    q.orient = c.orient;
    tree.deposit(tree.root, q);
    EXPECT_EQ(hits, c.accepted ? 1u : 0u) << c.what;
  }
  // The sphere covers strictly inside positions only, for normals on the point's side.
  const float up[3] = {0, 0, 1}, side[3] = {1, 0, 0}, inside[3] = {0.5f, 0, 0};
  EXPECT_TRUE(tree.covers(inside, up) && !tree.covers(inside, side));
  EXPECT_FALSE(tree.covers(side, up));  // (1, 0, 0) lies on the sphere
}

TEST_F(point_tree, concurrent_deposits_into_shared_points_lose_nothing) {
  std::vector<measurement_point> points;
  for (int i = 0; i < 40; ++i) points.push_back(make_point(0.01f * float(i % 4), 0, 0, 1));
  set3(points[0].reflectance, 0.5f, 0.25f, 1.0f);
  ppm_tree& tree = build(points);
  constexpr int threads = 4, photons = 20000, total = threads * photons;
  std::vector<uint32_t> hits(threads, 0);
  run_together(threads, [&tree, &hits](int t) {
    photon_query q = make_photon(0.25f, 0, -0.5f, &hits[t]);
    set3(q.flux, 1.0f, 2.0f, 3.0f);
    q.count = 2;
    for (int k = 0; k < photons; ++k) tree.deposit(tree.root, q);
  });
  EXPECT_EQ(hits, std::vector<uint32_t>(threads, 40u * photons));
  const measurement_point& p = points[0];
  EXPECT_EQ(p.pass_photons, 2 * total);
  EXPECT_EQ(rgb(p.pass_flux), (floats{0.5f * total, 0.5f * total, 3.0f * total}));
  EXPECT_EQ(rgb(p.offset_sum), (floats{0.25f * total, 0, -0.5f * total}));
  EXPECT_EQ(p.lock, 0u);
}

TEST_F(point_tree, lookup_answers_with_the_last_leaf_whose_box_holds_the_position) {
  // Two leaves split on x at 0.95; the wide sphere at 0.9 stretches the first leaf's box over
  // part of the second's.
  std::vector<measurement_point> points;
  for (int i = 0; i < 20; ++i) {
    points.push_back(make_point((i < 10 ? 0.0f : 1.0f) + 0.1f * float(i % 10), 0, 0, 0.05f));
    points.back().radiance[i < 10 ? 0 : 1] = float(i % 10);
  }
  points[9].radius = 0.5f;
  ppm_tree& tree = build(points);
  ASSERT_EQ(tree.root->children[0].count, 10u);
  auto radiance_at = [&tree](double x, double y) {
    qorRay ray{};
    ray.hit_position[0] = x, ray.hit_position[1] = y;
    floats out(3, -1.0f);
    tree.lookup_radiance(ray, out.data());
    return out;
  };
  EXPECT_EQ(radiance_at(1.2, 0), (floats{0, 4.5f, 0}));  // both leaves: the second
  EXPECT_EQ(radiance_at(0.5, 0), (floats{4.5f, 0, 0}));
  EXPECT_EQ(radiance_at(1.2, 0.3), (floats{4.5f, 0, 0}));
  EXPECT_EQ(radiance_at(5.0, 0), (floats{0, 0, 0}));
  std::vector<measurement_point> none;
  qorRay ray{};
  float out[3] = {1, 1, 1};
  build(none).lookup_radiance(ray, out);
  EXPECT_EQ(rgb(out), (floats{0, 0, 0}));

  // The photon path buffer lies at the storage slot of the ray's thread; a clear empties its
  // hits and reuses only.
  tree.set_tls_slot(576);
  ray.thread = &host().thread(1);
  photon_path_buffer& buffer = tree.path_buffer(ray);
  EXPECT_EQ(reinterpret_cast<char*>(&buffer), reinterpret_cast<char*>(ray.thread) + 576);
  buffer = {5, 7, 9, 1, 0, 0, 0, {}};
  tree.clear_path_buffer(ray);
  tree.count_path_reuse(ray);
  EXPECT_TRUE(buffer.hit_count == 0 && buffer.reuse_count == 1);
  EXPECT_TRUE(buffer.path_deposits == 9 && buffer.flush_pending == 1);
}

}  // namespace
