// Point tree queries: the radiance lookup of the second point set, the coverage test, and the
// per-thread photon path buffer (the photon deposit is deposit.cpp's).
#include <atomic>
#include <cstddef>
#include <cstring>

#include "module/photons/photon_records.h"
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
