// Point tree queries: the photon deposit, the radiance lookup of the second point set, the
// coverage test, and the per-thread photon path buffer.
#include <atomic>
#include <cstddef>
#include <cstring>

#include "module/photons/photon_records.h"
#include "module/points/spin_lock.h"
#include "module/tree/ppm_tree.h"

namespace {

// Bounds are inclusive; a NaN coordinate is outside every box.
bool box_contains(const ppm_tree_node& node, const float position[3]) {
  for (int a = 0; a < 3; ++a) {
    if (!(position[a] >= node.bounds_min[a] && position[a] <= node.bounds_max[a])) return false;
  }
  return true;
}

// Memory kind the host accounts the accumulation sets under (the tree's own).
constexpr int accumulation_memory_kind = 16;

float dot(const float a[3], const float b[3]) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// Photons farther above a point's tangent plane than this share of its radius belong to another
// surface.
constexpr float max_height_over_radius = 0.4f;
// cos 60 degrees: surfaces that bend less than this are one surface for the deposit.
constexpr float same_surface_cosine = 0.5f;
// How far the photon and the point may lie behind each other's tangent planes at a corner.
constexpr float corner_tolerance = 1e-5f;

// Whether the point gathers the photon; offset is photon position minus point position.
[[gnu::always_inline]] inline bool accepts(const deposit_point& p, const photon_query& q,
                                           const float offset[3]) {
  if (q.orient != 0 && dot(p.normal, q.direction) > 0.0f) return false;  // from behind
  if (dot(offset, offset) > p.radius * p.radius) return false;
  if (q.orient == 0) return true;
  const float height = dot(offset, p.normal);
  if (height > max_height_over_radius * p.radius) return false;
  if (dot(p.normal, q.normal) >= same_surface_cosine) return true;
  // A corner: each surface must lie on or in front of the other's tangent plane.
  return !(height < -corner_tolerance || dot(q.normal, offset) > corner_tolerance);
}

// Adds one accepted photon to a point's sums (a measurement point or an accumulator: the same
// fields, the same arithmetic), under the sums' lock when another thread may add there too.
template <typename sums>
void add_photon(sums& to, bool locked, const photon_query& q, const float reflectance[3],
                const float offset[3]) {
  if (locked) spin_lock_acquire(to.lock);
  to.pass_photons += static_cast<int32_t>(q.count);
  for (int c = 0; c < 3; ++c) {
    to.pass_flux[c] += q.flux[c] * reflectance[c];
    to.offset_sum[c] += offset[c];
  }
  if (locked) spin_lock_release(to.lock);
}

bool leaf_covers(const ppm_tree& tree, const ppm_tree_node& node, const float position[3],
                 const float normal[3]) {
  for (uint32_t k = node.first; k < node.first + node.count; ++k) {
    const measurement_point& p = tree.points[tree.index[k]];
    float offset[3];
    for (int a = 0; a < 3; ++a) offset[a] = p.position[a] - position[a];
    if (dot(offset, offset) < p.radius * p.radius && dot(p.normal, normal) > 0.0f) return true;
  }
  return false;
}

bool node_covers(const ppm_tree& tree, const ppm_tree_node& node, const float position[3],
                 const float normal[3]) {
  if (!box_contains(node, position)) return false;
  if (node.children == nullptr) return leaf_covers(tree, node, position, normal);
  return node_covers(tree, node.children[0], position, normal) ||
         node_covers(tree, node.children[1], position, normal);
}

}  // namespace

void ppm_tree::deposit(const ppm_tree_node* node, const photon_query& query) {
  // Pending second children wait on a fixed stack, which a tree of sensible depth never fills;
  // a deeper one (badly spread points) goes on by recursion from where the stack filled.
  constexpr int stack_depth = 64;
  const ppm_tree_node* pending[stack_depth];
  int top = 0;
  for (;;) {
    if (box_contains(*node, query.position)) {
      if (node->children == nullptr) {
        deposit_leaf(*node, query);
      } else if (top < stack_depth) {
        pending[top++] = &node->children[1];
        node = &node->children[0];
        continue;
      } else {
        deposit(&node->children[0], query);
        node = &node->children[1];
        continue;
      }
    }
    if (top == 0) return;
    node = pending[--top];
  }
}

void ppm_tree::deposit_leaf(const ppm_tree_node& leaf, const photon_query& query) {
  const uint32_t end = leaf.first + leaf.count;
  if (set_count == 0) {
    // No pass open (or no set affordable): any thread may call, so the points are locked.
    for (uint32_t k = leaf.first; k < end; ++k) {
      const deposit_point& p = deposit_points[k];
      float offset[3];
      for (int a = 0; a < 3; ++a) offset[a] = query.position[a] - p.position[a];
      if (!accepts(p, query, offset)) continue;
      add_photon(points[p.point], true, query, p.reflectance, offset);
      ++*query.hit_counter;
    }
    return;
  }
  // The thread's own set, indexed like the deposit copy, so a leaf's sums lie together too.
  const uint32_t s = query.thread % set_count;
  point_accumulator* set = accumulators + static_cast<size_t>(s) * count;
  const bool shared = s + set_count < pass_threads;
  for (uint32_t k = leaf.first; k < end; ++k) {
    const deposit_point& p = deposit_points[k];
    float offset[3];
    for (int a = 0; a < 3; ++a) offset[a] = query.position[a] - p.position[a];
    if (!accepts(p, query, offset)) continue;
    add_photon(set[k], shared, query, p.reflectance, offset);
    ++*query.hit_counter;
  }
}

void ppm_tree::refresh_deposit_points() {
  if (root == nullptr || deposit_points == nullptr) return;
  for (uint32_t k = 0; k < count; ++k) {
    const measurement_point& p = points[index[k]];
    deposit_point& d = deposit_points[k];
    for (int a = 0; a < 3; ++a) {
      d.position[a] = p.position[a];
      d.normal[a] = p.normal[a];
      d.reflectance[a] = p.reflectance[a];
    }
    d.radius = p.radius;
    d.point = index[k];
    d.spare = 0;
  }
}

void ppm_tree::begin_pass(uint32_t threads) {
  pass_threads = 0;
  set_count = 0;
  if (root == nullptr || threads == 0) return;
  // A kept tree's points change their radii between passes.
  refresh_deposit_points();

  const size_t set_bytes = sizeof(point_accumulator) * static_cast<size_t>(count);
  const size_t affordable = accumulation_budget / set_bytes;
  uint32_t sets = threads;
  if (affordable < sets) sets = static_cast<uint32_t>(affordable);
  if (sets > accumulator_sets_allocated) {
    qor_free_aligned(accumulators);
    accumulator_sets_allocated = 0;
    accumulators = static_cast<point_accumulator*>(
        qor_malloc2_aligned(set_bytes * sets, accumulation_memory_kind, 64));
    if (accumulators == nullptr) {
      // Every thread then adds into the points under their locks: slower, never wrong.
      qor_warning("Out of memory allocating %u photon accumulation sets\n", sets);
      sets = 0;
    } else {
      accumulator_sets_allocated = sets;
    }
  }
  if (sets == 0) return;
  std::memset(accumulators + count, 0, set_bytes * (sets - 1));
  for (uint32_t k = 0; k < count; ++k) {
    const measurement_point& p = points[index[k]];
    point_accumulator& a = accumulators[k];
    a.pass_photons = p.pass_photons;
    for (int c = 0; c < 3; ++c) {
      a.pass_flux[c] = p.pass_flux[c];
      a.offset_sum[c] = p.offset_sum[c];
    }
    a.lock = 0;
  }
  set_count = sets;
  pass_threads = threads;
}

// Set 0 goes back whole and the others are added in set order, so a render is repeatable for a
// given thread count as long as no set is shared.
void ppm_tree::end_pass() {
  if (pass_threads == 0) return;
  for (uint32_t k = 0; k < count; ++k) {
    measurement_point& p = points[index[k]];
    for (uint32_t s = 0; s < set_count; ++s) {
      const point_accumulator& a = accumulators[static_cast<size_t>(s) * count + k];
      if (s == 0) {
        p.pass_photons = a.pass_photons;
        for (int c = 0; c < 3; ++c) {
          p.pass_flux[c] = a.pass_flux[c];
          p.offset_sum[c] = a.offset_sum[c];
        }
        continue;
      }
      p.pass_photons += a.pass_photons;
      for (int c = 0; c < 3; ++c) {
        p.pass_flux[c] += a.pass_flux[c];
        p.offset_sum[c] += a.offset_sum[c];
      }
    }
  }
  pass_threads = 0;
  set_count = 0;
}

// Every leaf whose box holds the position overwrites the result, so the last one in depth-first
// order (child 0 first) answers.
void ppm_tree::lookup(const ppm_tree_node* node, const float position[3], float out[3]) const {
  if (!box_contains(*node, position)) return;
  if (node->children != nullptr) {
    lookup(&node->children[0], position, out);
    lookup(&node->children[1], position, out);
    return;
  }
  if (node->count == 0) return;
  float sum[3] = {0.0f, 0.0f, 0.0f};
  for (uint32_t k = node->first; k < node->first + node->count; ++k) {
    measurement_point& p = points[index[k]];
    // With a second set rebuilt every pass, the eye pass that looks the old set up is already
    // writing the new one into the same records: read each value whole.
    for (int c = 0; c < 3; ++c) {
      sum[c] += std::atomic_ref<float>(p.radiance[c]).load(std::memory_order_relaxed);
    }
  }
  const float inv_count = 1.0f / static_cast<float>(node->count);
  for (int c = 0; c < 3; ++c) out[c] = sum[c] * inv_count;
}

void ppm_tree::lookup_radiance(const qorRay& ray, float out[3]) const {
  out[0] = out[1] = out[2] = 0.0f;
  if (root == nullptr) return;
  const float position[3] = {static_cast<float>(ray.hit_position[0]),
                             static_cast<float>(ray.hit_position[1]),
                             static_cast<float>(ray.hit_position[2])};
  lookup(root, position, out);
}

bool ppm_tree::covers(const float position[3], const float normal[3]) const {
  if (root == nullptr) return false;
  return node_covers(*this, *root, position, normal);
}

photon_path_buffer& ppm_tree::path_buffer(const qorRay& ray) const {
  return *reinterpret_cast<photon_path_buffer*>(reinterpret_cast<char*>(ray.thread) + tls_slot);
}

// hit_count and reuse_count are adjacent words at the start of the buffer: one 8-byte store.
void ppm_tree::clear_path_buffer(const qorRay& ray) const {
  static_assert(offsetof(photon_path_buffer, reuse_count) == sizeof(uint32_t));
  const uint64_t zero = 0;
  std::memcpy(&path_buffer(ray), &zero, sizeof zero);
}

void ppm_tree::count_path_reuse(const qorRay& ray) const {
  ++path_buffer(ray).reuse_count;
}
