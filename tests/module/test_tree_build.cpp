#include <algorithm>
#include <random>

#include "tests/module/point_tree_test.h"

namespace {

using tree_build_test = point_tree_test;

// The centres of a node's points on one axis.
std::vector<float> centres(const ppm_tree& tree, const ppm_tree_node& node, int axis) {
  std::vector<float> out;
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

TEST_F(tree_build_test, random_point_sets_keep_every_invariant_and_split_at_box_midpoints) {
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
}

TEST_F(tree_build_test, empty_small_and_coincident_point_sets_make_at_most_one_leaf) {
  std::vector<measurement_point> none;
  EXPECT_EQ(build(none).root, nullptr);
  EXPECT_TRUE(host().allocation_log.empty());
  for (uint32_t n = 1; n <= 15; ++n) {
    std::vector<measurement_point> points;
    for (uint32_t i = 0; i < n; ++i) points.push_back(make_point(float(i), 0, 0, 0.25f));
    EXPECT_EQ(check_tree(build(points)), 1u) << n;
  }
  for (uint32_t n : {16u, 100u}) {
    std::vector<measurement_point> points(n, make_point(1, 2, 3, 0.5f));
    EXPECT_EQ(check_tree(build(points), true), 1u);
  }
}

TEST_F(tree_build_test, split_search_bisects_and_then_tries_the_next_axis) {
  // A wide sphere at x = 30 puts every centre left of the midpoint 30. The bisection moves the
  // split to -20, 5 and then 17.5, which leaves the centres 10 .. 17 on the left.
  std::vector<measurement_point> lopsided{make_point(30, 0, 0, 100)};
  for (int i = 10; i < 25; ++i) lopsided.push_back(make_point(float(i), 0, 0, 0.5f));
  ppm_tree& bisected = build(lopsided);
  check_tree(bisected);
  auto left = centres(bisected, bisected.root->children[0], 0);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<float>{10, 11, 12, 13, 14, 15, 16, 17}));

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

TEST_F(tree_build_test, arrays_come_from_the_host_and_failures_leave_an_empty_tree) {
  std::vector<measurement_point> points(3, make_point(0, 0, 0, 1));
  {
    ppm_tree tree(points.data(), 3);
    ASSERT_EQ(host().allocation_log.size(), 2u);
    for (const fake_allocation& a : host().allocation_log) {
      EXPECT_TRUE(a.kind == 16 && a.alignment == 64) << a.kind << " " << a.alignment;
    }
    EXPECT_EQ(host().allocation_log[0].bytes, 12u);   // 4 bytes per point
    EXPECT_EQ(host().allocation_log[1].bytes, 240u);  // two 40-byte nodes per point
    EXPECT_EQ(tree.allocate_nodes(5), tree.nodes);
    EXPECT_EQ(tree.allocate_nodes(1), nullptr);  // the pool of 6 keeps one node spare
    EXPECT_EQ(tree.nodes_used, 5u);
    EXPECT_EQ(host().texts("error"), std::vector<std::string>{"Out of nodes in ppm (6 >= 6)\n"});
  }
  EXPECT_TRUE(host().live_allocations.empty());

  for (size_t failing : {size_t(12), size_t(240)}) {
    start_over();
    host().fail_allocations_of_bytes = failing;
    ppm_tree& tree = build(points);
    EXPECT_TRUE(tree.root == nullptr && tree.count == 3 && host().live_allocations.empty());
    EXPECT_EQ(host().texts("error"),
              std::vector<std::string>{"Out of memory allocating ppm tree for 3 points\n"});
  }
}

TEST_F(tree_build_test, second_tree_is_rebuilt_or_kept_by_point_mode) {
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
      EXPECT_EQ(renderer->tree2->tls_slot, 576);
      // The kept second set's tree is the one of iteration 0, over its 20 points.
      EXPECT_EQ(renderer->tree2->count, mode == 2 ? 20u : 20u + 5 * iteration);
      EXPECT_TRUE(mode != 2 || renderer->tree2 == first_second_tree);
      check_tree(*renderer->tree2);
    }
  }
}

}  // namespace
