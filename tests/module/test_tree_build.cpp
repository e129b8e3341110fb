#include <algorithm>
#include <random>

#include "tests/module/point_tree_test.h"

namespace {

using tree_build_test = point_tree_test;

// Walks the tree and checks its structure: the index is a permutation, sibling ranges tile their
// parent's, every box is the tight box of its points' spheres, siblings are separated on some
// axis, and leaves are small unless big_leaves. Returns the number of nodes reached.
uint32_t check_tree(const ppm_tree& tree, bool big_leaves = false) {
  std::vector<int> seen(tree.count, 0);
  for (uint32_t k = 0; k < tree.count; ++k) ++seen.at(tree.index[k]);
  EXPECT_EQ(static_cast<uint32_t>(std::count(seen.begin(), seen.end(), 1)), tree.count)
      << "index is no permutation";
  if (tree.root == nullptr) return 0;
  EXPECT_EQ(tree.root->first, 0u);
  EXPECT_EQ(tree.root->count, tree.count);

  uint32_t reached = 0;
  std::vector<const ppm_tree_node*> stack{tree.root};
  while (!stack.empty()) {
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
      EXPECT_EQ(node.bounds_min[a], lo) << "axis " << a;
      EXPECT_EQ(node.bounds_max[a], hi) << "axis " << a;
    }
    if (node.children == nullptr) {
      EXPECT_TRUE(big_leaves || node.count < 16) << node.count;
      continue;
    }
    const ppm_tree_node* c = node.children;
    EXPECT_TRUE(c >= tree.nodes && c + 1 < tree.nodes + tree.nodes_used);
    EXPECT_EQ(c[0].first, node.first);
    EXPECT_EQ(c[1].first, node.first + c[0].count);
    EXPECT_EQ(c[0].count + c[1].count, node.count);
    EXPECT_GT(c[0].count, 0u);
    EXPECT_GT(c[1].count, 0u);
    bool separated = false;
    for (int a = 0; a < 3; ++a) {
      float max0 = -1e30f, min1 = 1e30f;
      for (uint32_t k = c[0].first; k < c[0].first + c[0].count; ++k)
        max0 = std::max(max0, tree.points[tree.index[k]].position[a]);
      for (uint32_t k = c[1].first; k < c[1].first + c[1].count; ++k)
        min1 = std::min(min1, tree.points[tree.index[k]].position[a]);
      separated = separated || max0 < min1;
    }
    EXPECT_TRUE(separated) << "children of node at " << node.first << " overlap on every axis";
    stack.push_back(&c[1]);
    stack.push_back(&c[0]);
  }
  EXPECT_EQ(reached, tree.nodes_used);
  return reached;
}

// The centres of a node's range on one axis, in index order.
std::vector<float> centres(const ppm_tree& tree, const ppm_tree_node& node, int axis) {
  std::vector<float> out;
  for (uint32_t k = node.first; k < node.first + node.count; ++k)
    out.push_back(tree.points[tree.index[k]].position[axis]);
  return out;
}

TEST_F(tree_build_test, random_point_sets_keep_every_invariant_and_split_at_box_midpoints) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  const float scales[][3] = {{1, 1, 1}, {10, 1, 0.01f}, {0.1f, 3, 0.1f}};
  for (uint32_t n : {16u, 17u, 100u, 3000u}) {
    for (const auto& scale : scales) {
      std::vector<measurement_point> points;
      for (uint32_t i = 0; i < n; ++i) {
        const float cluster = i % 3 == 0 ? 0.0f : 5.0f;  // two clusters, to unbalance splits
        points.push_back(make_point(scale[0] * (cluster + unit(rng)), scale[1] * unit(rng),
                                    scale[2] * unit(rng), 0.05f * unit(rng)));
      }
      SCOPED_TRACE(testing::Message() << n << " points, scale " << scale[0]);
      ppm_tree& tree = build(points);
      const uint32_t nodes = check_tree(tree);
      EXPECT_LE(nodes, 2 * n - 29);

      // Where the midpoint of the longest box extent (ties: x, then z) has centres on both
      // sides, it is the split.
      for (uint32_t i = 0; i < tree.nodes_used; ++i) {
        const ppm_tree_node& node = tree.nodes[i];
        if (node.children == nullptr) continue;
        float e[3];
        for (int a = 0; a < 3; ++a) e[a] = node.bounds_max[a] - node.bounds_min[a];
        const int axis = e[1] > e[0] && e[1] > e[2] ? 1 : e[2] > e[0] ? 2 : 0;
        const float mid = (node.bounds_min[axis] + node.bounds_max[axis]) / 2;
        const auto all = centres(tree, node, axis);
        if (std::none_of(all.begin(), all.end(), [&](float x) { return x > mid; })) continue;
        for (float x : centres(tree, node.children[0], axis)) EXPECT_LE(x, mid);
        for (float x : centres(tree, node.children[1], axis)) EXPECT_GT(x, mid);
      }
    }
  }
}

TEST_F(tree_build_test, small_and_coincident_point_sets_make_one_leaf) {
  std::vector<measurement_point> none;
  ppm_tree& empty = build(none);
  EXPECT_EQ(empty.root, nullptr);
  EXPECT_TRUE(host().allocation_log.empty());

  for (uint32_t n = 1; n <= 15; ++n) {
    std::vector<measurement_point> points;
    for (uint32_t i = 0; i < n; ++i) points.push_back(make_point(float(i), 0, 0, 0.25f));
    ppm_tree& tree = build(points);
    ASSERT_NE(tree.root, nullptr);
    EXPECT_EQ(tree.root->children, nullptr);
    EXPECT_EQ(check_tree(tree), 1u) << n;
    EXPECT_EQ(tree.bounds_min[0], -0.25f);
    EXPECT_EQ(tree.bounds_max[0], float(n - 1) + 0.25f);
  }
  for (uint32_t n : {16u, 100u}) {
    std::vector<measurement_point> points(n, make_point(1, 2, 3, 0.5f));
    ppm_tree& tree = build(points);
    EXPECT_EQ(tree.root->children, nullptr);
    EXPECT_EQ(check_tree(tree, true), 1u);
  }
}

TEST_F(tree_build_test, split_search_bisects_and_then_tries_the_next_axis) {
  // Along y only: y is the first axis, and the halves split at its midpoint.
  std::vector<measurement_point> along_y;
  for (int i = 0; i < 20; ++i) along_y.push_back(make_point(1, float(i), 1, 0.1f));
  ppm_tree& y_tree = build(along_y);
  check_tree(y_tree);
  for (float y : centres(y_tree, y_tree.root->children[0], 1)) EXPECT_LE(y, 9.5f);
  EXPECT_EQ(y_tree.root->children[0].count, 10u);

  // One wide sphere at x = 30 puts every centre left of the midpoint 30. The bisection moves
  // the split to -20, 5 and then 17.5, which leaves the centres 10 .. 17 on the left.
  std::vector<measurement_point> lopsided;
  for (int i = 10; i < 25; ++i) lopsided.push_back(make_point(float(i), 0, 0, 0.5f));
  lopsided.push_back(make_point(30, 0, 0, 100));
  ppm_tree& bisected = build(lopsided);
  check_tree(bisected);
  auto left = centres(bisected, bisected.root->children[0], 0);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<float>{10, 11, 12, 13, 14, 15, 16, 17}));

  // Equal extents choose x, where every centre is 0: five attempts fail, and y (next after x,
  // before z, which would split odd from even points) splits instead.
  std::vector<measurement_point> flat_x{make_point(0, 0, 0, 10)};
  for (int i = 0; i < 16; ++i) {
    flat_x.push_back(make_point(0, float(i) / 8 - 0.95f, i % 2 != 0 ? 0.5f : -0.5f, 0.1f));
  }
  ppm_tree& fallback = build(flat_x);
  check_tree(fallback);
  ASSERT_NE(fallback.root->children, nullptr);
  for (float y : centres(fallback, fallback.root->children[0], 1)) EXPECT_LE(y, 0.0f);
  for (float y : centres(fallback, fallback.root->children[1], 1)) EXPECT_GT(y, 0.0f);

  // Equal y and z extents above x's choose z.
  std::vector<measurement_point> cube;
  for (int i = 0; i < 16; ++i) {
    cube.push_back(make_point(0.5f * float(i % 2), float((i / 2) % 2), float((i / 4) % 2), 0.1f));
  }
  ppm_tree& tie = build(cube);
  for (float z : centres(tie, tie.root->children[0], 2)) EXPECT_EQ(z, 0.0f);
  for (float z : centres(tie, tie.root->children[1], 2)) EXPECT_EQ(z, 1.0f);
}

TEST_F(tree_build_test, arrays_come_from_the_host_and_the_pool_guard_refuses_the_last_node) {
  std::vector<measurement_point> points(3, make_point(0, 0, 0, 1));
  {
    ppm_tree tree(points.data(), 3);
    ASSERT_EQ(host().allocation_log.size(), 2u);
    EXPECT_EQ(host().allocation_log[0].bytes, 12u);
    EXPECT_EQ(host().allocation_log[1].bytes, 240u);
    for (const fake_allocation& a : host().allocation_log) {
      EXPECT_EQ(a.kind, 16);
      EXPECT_EQ(a.alignment, 64u);
    }
    EXPECT_EQ(tree.nodes_capacity, 6u);
    EXPECT_EQ(tree.allocate_nodes(5), tree.nodes);
    EXPECT_EQ(tree.allocate_nodes(1), nullptr);
    EXPECT_EQ(tree.nodes_used, 5u);
    EXPECT_EQ(host().texts("error"), std::vector<std::string>{"Out of nodes in ppm (6 >= 6)\n"});
  }
  EXPECT_TRUE(host().live_allocations.empty());

  // Without its index or its pool the tree stays empty, and releases what it did get.
  for (size_t failing : {size_t(12), size_t(240)}) {
    start_over();
    host().fail_allocations_of_bytes = failing;
    ppm_tree& tree = build(points);
    EXPECT_EQ(tree.root, nullptr);
    EXPECT_EQ(tree.count, 3u);
    EXPECT_TRUE(host().live_allocations.empty());
    EXPECT_EQ(host().texts("error"),
              std::vector<std::string>{"Out of memory allocating ppm tree for 3 points\n"});
    const float up[3] = {0, 0, 1};
    EXPECT_FALSE(tree.covers(points[0].position, up));
  }
}

TEST_F(tree_build_test, second_tree_is_rebuilt_or_kept_by_point_mode) {
  std::vector<measurement_point> main(40, make_point(0, 0, 0, 1));
  std::vector<measurement_point> second;
  for (int i = 0; i < 40; ++i) second.push_back(make_point(float(i), 0, 0, 1));
  renderer->points = main.data();
  renderer->points2 = second.data();
  renderer->point_count = 20;
  renderer->point2_count = 20;
  renderer->tls_slot = 576;

  renderer->point_mode = 0;
  renderer->build_trees(scene(), 0);
  EXPECT_EQ(renderer->tree2, nullptr);
  EXPECT_EQ(renderer->tree->count, 20u);
  EXPECT_EQ(renderer->tree->tls_slot, 576);

  renderer->point_mode = 1;
  for (int it = 0; it < 3; ++it) {
    renderer->point_count = renderer->point2_count = 20 + 5 * it;
    renderer->build_trees(scene(), it);
    EXPECT_EQ(renderer->tree->count, 20u + 5 * it);
    EXPECT_EQ(renderer->tree2->count, 20u + 5 * it);
    EXPECT_EQ(renderer->tree2->tls_slot, 576);
    check_tree(*renderer->tree2);
  }

  renderer->point_mode = 2;
  renderer->point2_count = 20;
  renderer->build_trees(scene(), 0);
  const ppm_tree* kept = renderer->tree2;
  const std::vector<uint32_t> order(kept->index, kept->index + kept->count);
  const uint32_t nodes = kept->nodes_used;
  renderer->point_count = renderer->point2_count = 30;
  renderer->build_trees(scene(), 5);
  EXPECT_EQ(renderer->tree2, kept);
  EXPECT_EQ(kept->count, 20u);
  EXPECT_EQ(kept->nodes_used, nodes);
  EXPECT_EQ(std::vector<uint32_t>(kept->index, kept->index + kept->count), order);
  EXPECT_EQ(renderer->tree->count, 30u);
  renderer->build_trees(scene(), 0);  // a reset starts the kept set anew
  EXPECT_EQ(renderer->tree2->count, 30u);
}

}  // namespace
