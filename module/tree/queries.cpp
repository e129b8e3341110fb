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
bool accepts(const measurement_point& p, const photon_query& q, const float offset[3]) {
  if (q.orient != 0 && dot(p.normal, q.direction) > 0.0f) return false;  // from behind
  if (dot(offset, offset) > p.radius * p.radius) return false;
  if (q.orient == 0) return true;
  const float height = dot(offset, p.normal);
  if (height > max_height_over_radius * p.radius) return false;
  if (dot(p.normal, q.normal) >= same_surface_cosine) return true;
  // A corner: each surface must lie on or in front of the other's tangent plane.
  return !(height < -corner_tolerance || dot(q.normal, offset) > corner_tolerance);
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
  if (!box_contains(*node, query.position)) return;
  if (node->children != nullptr) {
    deposit(&node->children[0], query);
    deposit(&node->children[1], query);
    return;
  }
  const uint32_t end = node->first + node->count;
  // The leaf's points lie scattered through an array far larger than the caches, and each test
  // waits for its record (156 bytes, the fields read here in its first 92). Asking for all of
  // them first lets those loads overlap; it changes no result.
  for (uint32_t k = node->first; k < end; ++k) {
    const char* record = reinterpret_cast<const char*>(&points[index[k]]);
    __builtin_prefetch(record);
    __builtin_prefetch(record + 64);
  }
  for (uint32_t k = node->first; k < end; ++k) {
    measurement_point& p = points[index[k]];
    float offset[3];
    for (int a = 0; a < 3; ++a) offset[a] = query.position[a] - p.position[a];
    if (!accepts(p, query, offset)) continue;

    spin_lock_acquire(p.lock);
    p.pass_photons += static_cast<int32_t>(query.count);
    for (int c = 0; c < 3; ++c) {
      p.pass_flux[c] += query.flux[c] * p.reflectance[c];
      p.offset_sum[c] += offset[c];
    }
    spin_lock_release(p.lock);
    ++*query.hit_counter;
  }
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
