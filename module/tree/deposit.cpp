// The photon deposit: the tree's read-only copy of the points and its four-wide nodes, the
// photon pass's accumulation sets, and the query that adds a photon to every point that accepts
// it.
//
// Four points (and four child boxes) are tested at once with the compiler's vector types, with
// the very operations, in the very order, of a one-point test, so the answers are the same.
#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "module/points/spin_lock.h"
#include "module/tree/deposit_grid_cell.h"
#include "module/tree/ppm_tree.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Memory kind the host accounts the deposit's arrays under (the tree's own).
constexpr int deposit_memory_kind = 16;

// Photons farther above a point's tangent plane than this share of its radius belong to another
// surface.
constexpr float max_height_over_radius = 0.4f;
// cos 60 degrees: surfaces that bend less than this are one surface for the deposit.
constexpr float same_surface_cosine = 0.5f;
// How far the photon and the point may lie behind each other's tangent planes at a corner.
constexpr float corner_tolerance = 1e-5f;

using float4 = float __attribute__((vector_size(16)));
using mask4 = int32_t __attribute__((vector_size(16)));

float4 splat(float v) {
  return float4{v, v, v, v};
}
float4 load(const float (&row)[4]) {
  float4 v;
  std::memcpy(&v, row, sizeof v);
  return v;
}
// Bit i set when lane i of the mask is.
unsigned lane_bits(mask4 m) {
#if defined(__SSE2__)
  return static_cast<unsigned>(_mm_movemask_ps(reinterpret_cast<__m128>(m)));
#else
  unsigned bits = 0;
  for (int i = 0; i < 4; ++i) bits |= m[i] != 0 ? 1u << i : 0u;
  return bits;
#endif
}

// How many of four lanes are set, without the library call that __builtin_popcount becomes
// on processors the build does not assume to count bits.
uint32_t lanes_set(unsigned bits) {
  return static_cast<uint32_t>(uint64_t{0x4332322132212110} >> (bits * 4)) & 0xFu;
}

// A photon query spread over four lanes, and where the depositing thread's sums go.
struct wide_query {
  const photon_query& q;
  float4 position[3], normal[3], direction[3];
  accumulator_block* set;  // null: into the points themselves
  bool locked;             // another thread may add into the same sums

  wide_query(const photon_query& query, accumulator_block* sums, bool shared)
      : q(query), set(sums), locked(shared) {
    for (int a = 0; a < 3; ++a) {
      position[a] = splat(q.position[a]);
      normal[a] = splat(q.normal[a]);
      direction[a] = splat(q.direction[a]);
    }
  }
};

// Adds one accepted photon to a measurement point's sums, under the point's lock.
void add_photon(measurement_point& to, const photon_query& q, const float reflectance[3],
                const float offset[3]) {
  spin_lock_acquire(to.lock);
  to.pass_photons += static_cast<int32_t>(q.count);
  for (int c = 0; c < 3; ++c) {
    to.pass_flux[c] += q.flux[c] * reflectance[c];
    to.offset_sum[c] += offset[c];
  }
  spin_lock_release(to.lock);
}

// Adds the photon to the sums of the block's points in `lanes` (bits), with the arithmetic of
// add_photon in each lane; the other lanes add -0 and keep their sums. Under the block's lock
// when another thread may add there too.
void add_photon(accumulator_block& to, bool locked, unsigned lanes, const photon_query& q,
                const deposit_detail_block& detail, const float4 offset[3]) {
  const mask4 take = (mask4{1, 2, 4, 8} & static_cast<int32_t>(lanes)) != 0;
  const mask4 count = take & static_cast<int32_t>(q.count);
  const auto keep = [&](float4 v) {
    return reinterpret_cast<float4>((reinterpret_cast<mask4>(v) & take) |
                                    (reinterpret_cast<mask4>(splat(-0.0f)) & ~take));
  };
  if (locked) spin_lock_acquire(to.lock);
  mask4 photons;
  std::memcpy(&photons, to.pass_photons, sizeof photons);
  photons += count;
  std::memcpy(to.pass_photons, &photons, sizeof photons);
  for (int c = 0; c < 3; ++c) {
    const float4 flux =
        load(to.pass_flux[c]) + keep(splat(q.flux[c]) * load(detail.reflectance[c]));
    const float4 offsets = load(to.offset_sum[c]) + keep(offset[c]);
    std::memcpy(to.pass_flux[c], &flux, sizeof flux);
    std::memcpy(to.offset_sum[c], &offsets, sizeof offsets);
  }
  if (locked) spin_lock_release(to.lock);
}

// Which of four points have the photon inside their spheres, as bits, with the photon's offsets
// from them. With the orientation tests off, these are the points that gather it.
unsigned inside_spheres(const deposit_sphere_block& b, const wide_query& w, float4 offset[3]) {
  for (int a = 0; a < 3; ++a) offset[a] = w.position[a] - load(b.position[a]);
  const float4 d2 = offset[0] * offset[0] + offset[1] * offset[1] + offset[2] * offset[2];
  const mask4 far = d2 > load(b.radius_squared);
  return lane_bits(~far);
}

// Which of four points inside whose spheres the photon lies gather it, as bits. A point rejects
// a photon that arrives from behind its surface, lies higher above its tangent plane than 0.4 of
// its radius, or lies on a surface bent by more than 60 degrees from the point's unless the two
// lie on or in front of each other's tangent planes (a corner).
unsigned oriented_lanes(const deposit_detail_block& b, const wide_query& w,
                        const float4 offset[3]) {
  const float4 n[3] = {load(b.normal[0]), load(b.normal[1]), load(b.normal[2])};
  const mask4 behind = n[0] * w.direction[0] + n[1] * w.direction[1] + n[2] * w.direction[2] > 0.0f;
  const float4 height = offset[0] * n[0] + offset[1] * n[1] + offset[2] * n[2];
  const mask4 high = height > splat(max_height_over_radius) * load(b.radius);
  const mask4 same_surface =
      n[0] * w.normal[0] + n[1] * w.normal[1] + n[2] * w.normal[2] >= same_surface_cosine;
  const mask4 corner_behind =
      (height < -corner_tolerance) |
      (w.normal[0] * offset[0] + w.normal[1] * offset[1] + w.normal[2] * offset[2] >
       corner_tolerance);
  return lane_bits(~behind & ~high & (same_surface | ~corner_behind));
}

// One photon's deposit in two steps. Entering a leaf runs the sphere test on its blocks, which
// turns most of them away, and keeps the others as candidates while the rest of their test's
// fields and their sums arrive; finishing runs the rest of the test and adds the photon.
// Every point takes the photon at most once, so the order in which a photon's points are served
// changes no sum.
//
// Which blocks and lanes take a photon is as random as the photon, and a branch on it is
// mispredicted often enough to cost more than the work it would skip (tree_bench: a third of the
// deposit's time). So neither step branches on it: entering a leaf writes every block as a
// candidate but counts only those that passed, and asks for every block's other fields and sums
// without waiting for its test; finishing adds into all four sums of a block at once.
class deposit_walk {
 public:
  deposit_walk(const ppm_tree& tree, const wide_query& w) : tree_(tree), w_(w) {}

  void enter_leaf(uint32_t first, uint32_t end) {
    for (uint32_t b = first / 4; b * 4 < end; ++b) {
      const uint32_t base = b * 4;
      const uint32_t skipped = first > base ? first - base : 0;
      const uint32_t kept = end - base < 4 ? end - base : 4;
      const unsigned in_leaf = (0xFu << skipped) & (0xFu >> (4 - kept));
      float4 offset[3];
      const deposit_sphere_block& spheres = tree_.deposit_spheres[b];
      const unsigned lanes = inside_spheres(spheres, w_, offset) & in_leaf;
      pending_[count_] = {{offset[0], offset[1], offset[2]}, b, lanes};
      count_ += lanes != 0 ? 1 : 0;
      const char* detail = reinterpret_cast<const char*>(&tree_.deposit_details[b]);
      __builtin_prefetch(detail);
      __builtin_prefetch(detail + 64);
      // A block's sums fill two cache lines.
      if (w_.set != nullptr) {
        const char* sums = reinterpret_cast<const char*>(&w_.set[b]);
        __builtin_prefetch(sums, 1);
        __builtin_prefetch(sums + 64, 1);
      }
      if (count_ == capacity) finish();
    }
  }

  void finish() {
    for (int i = 0; i < count_; ++i) {
      const uint32_t b = pending_[i].block;
      const deposit_detail_block& detail = tree_.deposit_details[b];
      const float4* offset = pending_[i].offset;
      unsigned accepted = pending_[i].lanes;
      if (w_.q.orient != 0) accepted &= oriented_lanes(detail, w_, offset);
      *w_.q.hit_counter += lanes_set(accepted);
      if (w_.set != nullptr) {
        add_photon(w_.set[b], w_.locked, accepted, w_.q, detail, offset);
        continue;
      }
      while (accepted != 0) {
        const int lane = __builtin_ctz(accepted);
        accepted &= accepted - 1;
        const float lane_offset[3] = {offset[0][lane], offset[1][lane], offset[2][lane]};
        const float reflectance[3] = {detail.reflectance[0][lane], detail.reflectance[1][lane],
                                      detail.reflectance[2][lane]};
        add_photon(tree_.points[detail.point[lane]], w_.q, reflectance, lane_offset);
      }
    }
    count_ = 0;
  }

 private:
  struct candidate {
    float4 offset[3];  // the photon's from the block's points
    uint32_t block;
    unsigned lanes;  // those whose spheres hold the photon
  };
  static constexpr int capacity = 32;
  const ppm_tree& tree_;
  const wide_query& w_;
  candidate pending_[capacity];
  int count_ = 0;
};

// Asks for the sphere blocks of a leaf, which every photon that enters it reads.
void prefetch_spheres(const ppm_tree& tree, uint32_t first, uint32_t end) {
  for (uint32_t b = first / 4; b * 4 < end; ++b) __builtin_prefetch(&tree.deposit_spheres[b]);
}

// Bounds are inclusive; a NaN coordinate is outside every box.
bool box_contains(const ppm_tree_node& node, const float position[3]) {
  for (int a = 0; a < 3; ++a) {
    if (!(position[a] >= node.bounds_min[a] && position[a] <= node.bounds_max[a])) return false;
  }
  return true;
}

// Which of a node's four children have boxes that hold the photon, as bits.
unsigned children_holding(const deposit_node& n, const wide_query& w) {
  mask4 inside = w.position[0] >= load(n.bounds_min[0]);
  for (int a = 0; a < 3; ++a) {
    if (a != 0) inside &= w.position[a] >= load(n.bounds_min[a]);
    inside &= w.position[a] <= load(n.bounds_max[a]);
  }
  return lane_bits(inside);
}

// The leaves of the photon's grid bucket, four to a row.
void deposit_in_grid(const ppm_tree& tree, const wide_query& w, deposit_walk& walk) {
  const deposit_grid& g = tree.grid;
  const float* p = w.q.position;
  for (int a = 0; a < 3; ++a) {
    if (!(p[a] >= g.low[a] && p[a] <= g.high[a])) return;
  }
  const uint32_t b =
      grid_bucket(g, grid_cell_coordinate(g, 0, p[0]), grid_cell_coordinate(g, 1, p[1]),
                  grid_cell_coordinate(g, 2, p[2]));
  const uint32_t end = g.bucket_rows[b + 1];
  for (uint32_t r = g.bucket_rows[b]; r < end; ++r) {
    const deposit_node& row = g.rows[r];
    unsigned leaves = children_holding(row, w);
    for (unsigned left = leaves; left != 0; left &= left - 1) {
      const int i = __builtin_ctz(left);
      prefetch_spheres(tree, row.first[i], row.first[i] + row.count[i]);
    }
    while (leaves != 0) {
      const int i = __builtin_ctz(leaves);
      leaves &= leaves - 1;
      walk.enter_leaf(row.first[i], row.first[i] + row.count[i]);
    }
  }
}

// The walk over the four-wide nodes from one of them. Nodes still to visit wait on a fixed
// stack, which a tree of sensible depth never fills; a deeper one (badly spread points) goes on
// by recursion from where the stack filled.
void deposit_from(const ppm_tree& tree, uint32_t start, const wide_query& w, deposit_walk& walk) {
  constexpr int stack_size = 96;
  uint32_t pending[stack_size];
  int top = 0;
  uint32_t at = start;
  for (;;) {
    const deposit_node& n = tree.deposit_nodes[at];
    unsigned children = children_holding(n, w);
    // Ask for everything the entered children's tests start with before testing any of them, so
    // that their cache misses overlap instead of following one another.
    for (unsigned left = children; left != 0; left &= left - 1) {
      const int i = __builtin_ctz(left);
      if (n.count[i] != 0) {
        prefetch_spheres(tree, n.first[i], n.first[i] + n.count[i]);
      } else {
        const char* node = reinterpret_cast<const char*>(&tree.deposit_nodes[n.first[i]]);
        __builtin_prefetch(node);
        __builtin_prefetch(node + 64);
      }
    }
    unsigned inner = 0;
    while (children != 0) {
      const int i = __builtin_ctz(children);
      children &= children - 1;
      if (n.count[i] != 0) {
        walk.enter_leaf(n.first[i], n.first[i] + n.count[i]);
      } else {
        inner |= 1u << i;
      }
    }
    // The last child goes on the stack first, so the first is walked first.
    while (inner != 0) {
      const int i = 31 - __builtin_clz(inner);
      inner &= ~(1u << i);
      if (top < stack_size) {
        pending[top++] = n.first[i];
      } else {
        deposit_from(tree, n.first[i], w, walk);
      }
    }
    if (top == 0) return;
    at = pending[--top];
  }
}

// The walk over the tree's own nodes, for a walk that starts below the root or a tree whose
// four-wide nodes could not be allocated.
void deposit_below(const ppm_tree_node* node, const wide_query& w, deposit_walk& walk) {
  constexpr int stack_size = 64;
  const ppm_tree_node* pending[stack_size];
  int top = 0;
  for (;;) {
    if (box_contains(*node, w.q.position)) {
      if (node->children == nullptr) {
        walk.enter_leaf(node->first, node->first + node->count);
      } else if (top < stack_size) {
        pending[top++] = &node->children[1];
        node = &node->children[0];
        continue;
      } else {
        deposit_below(&node->children[0], w, walk);
        node = &node->children[1];
        continue;
      }
    }
    if (top == 0) return;
    node = pending[--top];
  }
}

// Whether the deposit walk takes a tree node's whole range as one leaf: a tree leaf, or a
// subtree small enough that reading its few consecutive sphere blocks costs less than visiting
// the nodes that would split it.
bool deposit_leaf(const ppm_tree_node& node, uint32_t leaf_points) {
  return node.children == nullptr || node.count <= leaf_points;
}

// The members of a four-wide node made for a tree node: its children, each inner one replaced
// by its own two children.
int fold_children(const ppm_tree_node& node, uint32_t leaf_points,
                  const ppm_tree_node* members[4]) {
  int n = 0;
  for (int c = 0; c < 2; ++c) {
    const ppm_tree_node& child = node.children[c];
    if (deposit_leaf(child, leaf_points)) {
      members[n++] = &child;
    } else {
      members[n++] = &child.children[0];
      members[n++] = &child.children[1];
    }
  }
  return n;
}

}  // namespace

void ppm_tree::deposit(const photon_query& query) {
  if (root == nullptr) return;
  // Thread t adds into set t % set_count, in leaf order like the copy, so a leaf's sums lie
  // together too. Outside a pass (or with no set affordable) any thread may call, and the
  // points themselves take the photons under their locks.
  accumulator_block* set = nullptr;
  bool shared = true;
  if (set_count != 0) {
    const uint32_t s = query.thread % set_count;
    set = accumulators + static_cast<size_t>(s) * deposit_blocks();
    shared = s + set_count < pass_threads;
  }
  const wide_query w(query, set, shared);
  deposit_walk walk(*this, w);
  if (grid.rows != nullptr) {
    deposit_in_grid(*this, w, walk);
  } else if (deposit_nodes_used != 0) {
    deposit_from(*this, 0, w, walk);
  } else {
    deposit_below(root, w, walk);
  }
  walk.finish();
}

bool ppm_tree::allocate_deposit_blocks(size_t blocks) {
  if (blocks <= deposit_block_capacity) return true;
  qor_free_aligned(deposit_spheres);
  deposit_spheres = nullptr;
  deposit_details = nullptr;
  deposit_block_capacity = 0;
  void* copy =
      qor_malloc2_aligned((sizeof(deposit_sphere_block) + sizeof(deposit_detail_block)) * blocks,
                          deposit_memory_kind, 64);
  if (copy == nullptr) return false;
  deposit_spheres = static_cast<deposit_sphere_block*>(copy);
  deposit_details = reinterpret_cast<deposit_detail_block*>(deposit_spheres + blocks);
  deposit_block_capacity = blocks;
  return true;
}

void ppm_tree::build_deposit_nodes() {
  deposit_nodes_used = 0;
  if (root == nullptr) return;
  // Every four-wide node stands for a distinct tree node, so the tree's count bounds theirs.
  if (nodes_used > deposit_nodes_capacity) {
    qor_free_aligned(deposit_nodes);
    deposit_nodes_capacity = 0;
    deposit_nodes = static_cast<deposit_node*>(qor_malloc2_aligned(
        sizeof(deposit_node) * static_cast<size_t>(nodes_used), deposit_memory_kind, 64));
    // Without them the deposit walks the tree's own nodes.
    if (deposit_nodes == nullptr) return;
    deposit_nodes_capacity = nodes_used;
  }

  struct folding {
    uint32_t at;  // the four-wide node to fill
    const ppm_tree_node* members[4];
    int member_count;
  };
  std::vector<folding> pending;
  folding first{0, {}, 0};
  if (deposit_leaf(*root, deposit_leaf_points)) {
    first.members[first.member_count++] = root;
  } else {
    first.member_count = fold_children(*root, deposit_leaf_points, first.members);
  }
  deposit_nodes_used = 1;
  pending.push_back(first);
  constexpr float none = std::numeric_limits<float>::quiet_NaN();  // a box nothing lies in
  while (!pending.empty()) {
    const folding f = pending.back();
    pending.pop_back();
    deposit_node& n = deposit_nodes[f.at];
    for (int i = 0; i < 4; ++i) {
      const ppm_tree_node* m = i < f.member_count ? f.members[i] : nullptr;
      for (int a = 0; a < 3; ++a) {
        n.bounds_min[a][i] = m != nullptr ? m->bounds_min[a] : none;
        n.bounds_max[a][i] = m != nullptr ? m->bounds_max[a] : none;
      }
      n.first[i] = 0;
      n.count[i] = 0;
      if (m == nullptr) continue;
      if (deposit_leaf(*m, deposit_leaf_points)) {
        n.first[i] = m->first;
        n.count[i] = m->count;
        continue;
      }
      folding next{deposit_nodes_used++, {}, 0};
      next.member_count = fold_children(*m, deposit_leaf_points, next.members);
      n.first[i] = next.at;
      pending.push_back(next);
    }
  }
}

void ppm_tree::refresh_deposit_points() {
  if (root == nullptr || deposit_spheres == nullptr) return;
  clear_last_deposit_block();
  refresh_deposit_entries(0, count);
  deposit_copy_current = true;
}

// The lanes past the last point stay zero: an empty sphere at the origin that nothing passes.
void ppm_tree::clear_last_deposit_block() {
  const uint32_t blocks = (count + 3) / 4;
  std::memset(static_cast<void*>(&deposit_spheres[blocks - 1]), 0, sizeof(deposit_sphere_block));
  std::memset(static_cast<void*>(&deposit_details[blocks - 1]), 0, sizeof(deposit_detail_block));
}

void ppm_tree::refresh_deposit_entries(uint32_t first, uint32_t last) {
  for (uint32_t k = first; k < last; ++k) {
    const measurement_point& p = points[index[k]];
    deposit_sphere_block& s = deposit_spheres[k / 4];
    deposit_detail_block& d = deposit_details[k / 4];
    const uint32_t lane = k % 4;
    for (int a = 0; a < 3; ++a) {
      s.position[a][lane] = p.position[a];
      d.normal[a][lane] = p.normal[a];
    }
    s.radius_squared[lane] = p.radius * p.radius;
    d.radius[lane] = p.radius;
    for (int c = 0; c < 3; ++c) d.reflectance[c][lane] = p.reflectance[c];
    d.point[lane] = index[k];
  }
}

deposit_storage ppm_tree::release_deposit_storage() {
  const deposit_storage storage{
      deposit_spheres, deposit_block_capacity, deposit_nodes, deposit_nodes_capacity,
      grid.memory,     grid.memory_bytes,      accumulators,  accumulator_capacity};
  deposit_spheres = nullptr;
  deposit_details = nullptr;
  deposit_block_capacity = 0;
  deposit_nodes = nullptr;
  deposit_nodes_capacity = 0;
  deposit_nodes_used = 0;
  grid = {};
  accumulators = nullptr;
  accumulator_capacity = 0;
  deposit_copy_current = false;
  return storage;
}

void ppm_tree::adopt_deposit_storage(const deposit_storage& storage) {
  qor_free_aligned(deposit_spheres);
  qor_free_aligned(deposit_nodes);
  qor_free_aligned(grid.memory);
  qor_free_aligned(accumulators);
  deposit_spheres = storage.blocks;
  deposit_details =
      storage.blocks != nullptr
          ? reinterpret_cast<deposit_detail_block*>(storage.blocks + storage.block_capacity)
          : nullptr;
  deposit_block_capacity = storage.block_capacity;
  deposit_nodes = storage.nodes;
  deposit_nodes_capacity = storage.node_capacity;
  deposit_nodes_used = 0;
  grid = {};
  grid.memory = storage.grid;
  grid.memory_bytes = storage.grid_bytes;
  accumulators = storage.accumulators;
  accumulator_capacity = storage.accumulator_capacity;
  deposit_copy_current = false;
}

void run_slices_in_turn(uint32_t slices, const slice_work& work) {
  for (uint32_t slice = 0; slice < slices; ++slice) work(slice);
}

namespace {

// Entries [first, last) of the leaf order that slice `slice` of `slices` covers. Slices start at
// multiples of 16 entries (four deposit blocks, 512 bytes of accumulators), so no two slices
// write one cache line.
struct entry_range {
  uint32_t first, last;
};
entry_range slice_entries(uint32_t count, uint32_t slice, uint32_t slices) {
  constexpr uint64_t unit = 16;
  const uint64_t units = (uint64_t{count} + unit - 1) / unit;
  const auto at = [&](uint32_t s) {
    return static_cast<uint32_t>(std::min<uint64_t>(count, units * s / slices * unit));
  };
  return {at(slice), at(slice + 1)};
}

}  // namespace

void ppm_tree::begin_pass(uint32_t threads, const slice_runner& run) {
  pass_threads = 0;
  set_count = 0;
  if (root == nullptr || threads == 0) return;
  // A kept tree's points change their radii between passes.
  const bool refresh = !deposit_copy_current && deposit_spheres != nullptr;

  const size_t set_bytes = sizeof(accumulator_block) * deposit_blocks();
  const size_t affordable = accumulation_budget / set_bytes;
  uint32_t sets = threads;
  if (affordable < sets) sets = static_cast<uint32_t>(affordable);
  const size_t needed = deposit_blocks() * sets;
  if (needed > accumulator_capacity) {
    qor_free_aligned(accumulators);
    accumulator_capacity = 0;
    accumulators = static_cast<accumulator_block*>(
        qor_malloc2_aligned(set_bytes * sets, deposit_memory_kind, 64));
    if (accumulators == nullptr) {
      // Every thread then adds into the points under their locks: slower, never wrong.
      qor_warning("Out of memory allocating %u photon accumulation sets\n", sets);
      sets = 0;
    } else {
      accumulator_capacity = needed;
    }
  }
  set_count = sets;
  if (refresh) clear_last_deposit_block();
  if (refresh || sets > 0) {
    run(threads, [&](uint32_t slice) {
      const entry_range r = slice_entries(count, slice, threads);
      if (refresh) refresh_deposit_entries(r.first, r.last);
      if (set_count > 0) open_sets(r.first, r.last);
    });
  }
  if (refresh) deposit_copy_current = true;
  if (sets > 0) pass_threads = threads;
}

// A slice starts at a multiple of four entries, so its blocks are its own.
void ppm_tree::open_sets(uint32_t first, uint32_t last) {
  const size_t blocks = deposit_blocks();
  for (uint32_t s = 0; s < set_count; ++s) {
    std::memset(static_cast<void*>(accumulators + s * blocks + first / 4), 0,
                sizeof(accumulator_block) * ((last + 3) / 4 - first / 4));
  }
  for (uint32_t k = first; k < last; ++k) {
    const measurement_point& p = points[index[k]];
    accumulator_block& a = accumulators[k / 4];
    const uint32_t lane = k % 4;
    a.pass_photons[lane] = p.pass_photons;
    for (int c = 0; c < 3; ++c) {
      a.pass_flux[c][lane] = p.pass_flux[c];
      a.offset_sum[c][lane] = p.offset_sum[c];
    }
  }
}

// Set 0 goes back whole and the others are added in set order, so a render is repeatable for a
// given thread count as long as no set is shared.
void ppm_tree::end_pass(const slice_runner& run) {
  if (pass_threads == 0) return;
  run(pass_threads, [&](uint32_t slice) {
    const entry_range r = slice_entries(count, slice, pass_threads);
    close_sets(r.first, r.last);
  });
  pass_threads = 0;
  set_count = 0;
  deposit_copy_current = false;
}

void ppm_tree::close_sets(uint32_t first, uint32_t last) {
  const size_t blocks = deposit_blocks();
  for (uint32_t k = first; k < last; ++k) {
    measurement_point& p = points[index[k]];
    const uint32_t lane = k % 4;
    const accumulator_block& own = accumulators[k / 4];
    p.pass_photons = own.pass_photons[lane];
    for (int c = 0; c < 3; ++c) {
      p.pass_flux[c] = own.pass_flux[c][lane];
      p.offset_sum[c] = own.offset_sum[c][lane];
    }
    for (uint32_t s = 1; s < set_count; ++s) {
      const accumulator_block& a = accumulators[s * blocks + k / 4];
      p.pass_photons += a.pass_photons[lane];
      for (int c = 0; c < 3; ++c) {
        p.pass_flux[c] += a.pass_flux[c][lane];
        p.offset_sum[c] += a.offset_sum[c][lane];
      }
    }
  }
}
