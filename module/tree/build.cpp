// The point tree build: a bounding-box tree over one measurement point array, built by in-place
// partitions of an index array at bisected split planes.
#include <utility>
#include <vector>

#include "module/render/qor_ppm.h"
#include "module/tree/ppm_tree.h"

// What the build reads of a point. The build keeps these in an array that it permutes with the
// index array, so that its passes over a node's range read memory in order instead of gathering
// one 156-byte point per entry.
struct point_sphere {
  float position[3];
  float radius;
};

namespace {

// Memory kind the host accounts the tree's arrays under.
constexpr int tree_memory_kind = 16;
constexpr uint32_t max_leaf_points = 15;
constexpr int split_attempts_per_axis = 5;

constexpr float empty_box_min = 1e20f;
constexpr float empty_box_max = -1e20f;

// Widens a box so that it holds the point's sphere on every axis. A NaN coordinate widens nothing.
void enclose_sphere(const point_sphere& p, float box_min[3], float box_max[3]) {
  for (int a = 0; a < 3; ++a) {
    const float lo = p.position[a] - p.radius;
    const float hi = p.position[a] + p.radius;
    if (lo < box_min[a]) box_min[a] = lo;
    if (hi > box_max[a]) box_max[a] = hi;
  }
}

// A box grown around spheres, from empty.
struct sphere_box {
  float min[3] = {empty_box_min, empty_box_min, empty_box_min};
  float max[3] = {empty_box_max, empty_box_max, empty_box_max};

  void enclose(const point_sphere& p) { enclose_sphere(p, min, max); }
  void bound(ppm_tree_node& node) const {
    for (int a = 0; a < 3; ++a) {
      node.bounds_min[a] = min[a];
      node.bounds_max[a] = max[a];
    }
  }
};

// Moves the entries whose centre lies at or below the split value on the axis to the front of the
// range (the index entries and their spheres alike), and returns how many there are. Not stable;
// a NaN coordinate goes to the back. Each entry is looked at once, and the boxes grow around the
// spheres of each side as they are sorted, so that bounding the two sides needs no pass of its
// own (a box is a minimum and a maximum, the same in any order).
uint32_t partition(uint32_t* range, point_sphere* spheres, uint32_t length, int axis, float split,
                   sphere_box& left, sphere_box& right) {
  uint32_t i = 0;
  uint32_t j = length - 1;
  while (i <= j) {
    if (spheres[i].position[axis] <= split) {
      left.enclose(spheres[i]);
      ++i;
      continue;
    }
    std::swap(range[i], range[j]);
    std::swap(spheres[i], spheres[j]);
    right.enclose(spheres[j]);
    if (j == 0) break;
    --j;
  }
  return i;
}

// The longest extent of the box; on ties x beats y and z, and z beats y.
int first_split_axis(const ppm_tree_node& node) {
  float e[3];
  for (int a = 0; a < 3; ++a) e[a] = node.bounds_max[a] - node.bounds_min[a];
  if (e[1] > e[0] && e[1] > e[2]) return 1;
  if (e[2] > e[0]) return 2;
  return 0;
}

// Searches a split plane that leaves points on both sides: up to five bisection steps on each of
// up to three axes. Returns the size of the left side with the node's range partitioned by it
// and the two sides' boxes, or 0 when every attempt left one side empty.
uint32_t find_split(uint32_t* index, point_sphere* spheres, const ppm_tree_node& node,
                    sphere_box& left_box, sphere_box& right_box) {
  uint32_t* range = index + node.first;
  int axis = first_split_axis(node);
  for (int tried = 0; tried < 3; ++tried, axis = (axis + 1) % 3) {
    float split = (node.bounds_min[axis] + node.bounds_max[axis]) / 2;
    float step = (node.bounds_max[axis] - node.bounds_min[axis]) / 2;
    for (int attempt = 0; attempt < split_attempts_per_axis; ++attempt) {
      left_box = right_box = sphere_box{};
      const uint32_t left =
          partition(range, spheres + node.first, node.count, axis, split, left_box, right_box);
      if (left != 0 && left != node.count) return left;
      step /= 2;
      split += left == 0 ? step : -step;
    }
  }
  return 0;
}

}  // namespace

ppm_tree::ppm_tree(measurement_point* points_in, uint32_t count_in)
    : points(points_in), count(count_in) {
  // A tree without points needs no storage; it answers every query with nothing.
  if (count == 0) return;
  const size_t index_bytes = sizeof(uint32_t) * static_cast<size_t>(count);
  const size_t node_bytes = sizeof(ppm_tree_node) * 2 * static_cast<size_t>(count);
  index = static_cast<uint32_t*>(qor_malloc2_aligned(index_bytes, tree_memory_kind, 64));
  nodes = static_cast<ppm_tree_node*>(qor_malloc2_aligned(node_bytes, tree_memory_kind, 64));
  if (index == nullptr || nodes == nullptr) {
    // Without its arrays the tree stays empty: queries and deposits find no point, and the
    // progressive update still walks the point array, so the pass only loses its photons.
    qor_error("Out of memory allocating ppm tree for %u points\n", count);
    qor_free_aligned(index);
    qor_free_aligned(nodes);
    index = nullptr;
    nodes = nullptr;
    return;
  }
  nodes_capacity = 2 * count;
}

ppm_tree::~ppm_tree() {
  qor_free_aligned(index);
  qor_free_aligned(nodes);
  qor_free_aligned(deposit_spheres);
  qor_free_aligned(deposit_nodes);
  qor_free_aligned(grid.memory);
  qor_free_aligned(accumulators);
}

ppm_tree_node* ppm_tree::allocate_nodes(uint32_t k) {
  if (nodes_used + k < nodes_capacity) {
    ppm_tree_node* block = nodes + nodes_used;
    nodes_used += k;
    return block;
  }
  qor_error("Out of nodes in ppm (%d >= %d)\n", static_cast<int>(nodes_used + k),
            static_cast<int>(nodes_capacity));
  return nullptr;
}

void ppm_tree::build() {
  root = nullptr;
  if (count == 0 || index == nullptr) return;
  nodes_used = 0;

  for (int a = 0; a < 3; ++a) {
    bounds_min[a] = empty_box_min;
    bounds_max[a] = empty_box_max;
  }
  std::vector<point_sphere> spheres(count);
  for (uint32_t i = 0; i < count; ++i) {
    index[i] = i;
    const measurement_point& p = points[i];
    spheres[i] = {{p.position[0], p.position[1], p.position[2]}, p.radius};
    enclose_sphere(spheres[i], bounds_min, bounds_max);
  }

  root = allocate_nodes(1);
  if (root == nullptr) return;
  for (int a = 0; a < 3; ++a) {
    root->bounds_min[a] = bounds_min[a];
    root->bounds_max[a] = bounds_max[a];
  }
  root->children = nullptr;
  root->first = 0;
  root->count = count;
  subdivide(root, spheres.data());

  // The deposit's copy; a tree without it cannot take photons and stays empty.
  if (!allocate_deposit_blocks((static_cast<size_t>(count) + 3) / 4)) {
    // As when the constructor's arrays fail: the tree stays empty, with nothing held.
    qor_error("Out of memory allocating ppm tree for %u points\n", count);
    qor_free_aligned(index);
    qor_free_aligned(nodes);
    index = nullptr;
    nodes = nullptr;
    nodes_used = nodes_capacity = 0;
    root = nullptr;
    return;
  }
  build_deposit_nodes();
  build_deposit_grid();
  refresh_deposit_points();
}

// Splits the node and its descendants depth first, child 0's subtree before child 1's, so the
// pool holds the nodes in the order a recursive build would hand them out. The pending second
// children wait on an explicit stack: a tree over badly spread points can be far deeper than the
// host's thread stack would allow for recursion.
void ppm_tree::subdivide(ppm_tree_node* node, point_sphere* spheres) {
  std::vector<ppm_tree_node*> pending;
  for (;;) {
    node->children = nullptr;
    uint32_t left = 0;
    sphere_box left_box, right_box;
    if (node->count > max_leaf_points) left = find_split(index, spheres, *node, left_box, right_box);
    ppm_tree_node* children = left != 0 ? allocate_nodes(2) : nullptr;
    if (children == nullptr) {
      // A leaf: small, unsplittable, or (never from a build) out of pool nodes. A leaf may hold
      // any number of points, so the queries stay exact.
      if (pending.empty()) return;
      node = pending.back();
      pending.pop_back();
      continue;
    }
    node->children = children;
    children[0].first = node->first;
    children[0].count = left;
    children[1].first = node->first + left;
    children[1].count = node->count - left;
    left_box.bound(children[0]);
    right_box.bound(children[1]);
    pending.push_back(&children[1]);
    node = &children[0];
  }
}

void qorPPM::build_trees(qorScene&, int iteration_number) {
  // The deposit's arrays go from each tree to its successor, sized for the larger of the two.
  deposit_storage storage;
  if (tree != nullptr) storage = tree->release_deposit_storage();
  delete tree;
  tree = new ppm_tree(points, point_count);
  tree->adopt_deposit_storage(storage);
  tree->build();
  tree->set_tls_slot(tls_slot);

  if (point_mode == 0) return;
  // The kept second set only changes in the first pass; its tree outlives the iterations. A
  // render always builds it at iteration 0, so a missing one is built whenever it is found.
  if (point_mode == 2 && iteration_number != 0 && tree2 != nullptr) return;
  storage = {};
  if (tree2 != nullptr) storage = tree2->release_deposit_storage();
  delete tree2;
  tree2 = new ppm_tree(points2, point2_count);
  tree2->adopt_deposit_storage(storage);
  tree2->build();
  tree2->set_tls_slot(tls_slot);
}
