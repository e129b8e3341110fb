// The bounding-box tree over one measurement point array, its photon queries and the
// progressive update of its points.
#pragma once

#include <cstdint>

#include "host/qor.h"
#include "module/points/measurement_point.h"

struct photon_path_buffer;

struct ppm_tree_node {
  float bounds_min[3];  // box around the spheres of the node's points
  float bounds_max[3];
  ppm_tree_node* children;  // first of two adjacent children in the pool; null for a leaf
  uint32_t first;           // start of the node's range in the tree's index array
  uint32_t count;           // length of that range
};
static_assert(sizeof(ppm_tree_node) == 40);

// A photon to deposit: filled by the caller, read by ppm_tree::deposit.
struct photon_query {
  float position[3];      // where the photon landed
  float normal[3];        // surface normal at the landing point
  float direction[3];     // direction the photon travelled
  float flux[3];          // RGB photon power
  uint32_t count;         // photons added to each receiving point's pass_photons
  uint32_t orient;        // non-zero enables the orientation tests
  uint32_t* hit_counter;  // incremented once per receiving point; the caller's
};

class ppm_tree {
 public:
  ppm_tree(measurement_point* points, uint32_t count);
  ~ppm_tree();
  ppm_tree(const ppm_tree&) = delete;
  ppm_tree& operator=(const ppm_tree&) = delete;

  void build();
  ppm_tree_node* allocate_nodes(uint32_t k);
  void set_tls_slot(int32_t slot) { tls_slot = slot; }

  // Queries.
  void deposit(const ppm_tree_node* node, const photon_query& query);
  void lookup(const ppm_tree_node* node, const float position[3], float out[3]) const;
  void lookup_radiance(const qorRay& ray, float out[3]) const;
  bool covers(const float position[3], const float normal[3]) const;

  // The calling thread's photon path buffer, in the host's per-thread storage of the ray.
  photon_path_buffer& path_buffer(const qorRay& ray) const;
  void clear_path_buffer(const qorRay& ray) const;
  void count_path_reuse(const qorRay& ray) const;

  // Folds the pass's photons of every point into its radiance and adapts its radius.
  void progressive_update(int32_t iteration, bool clamp_outliers, float flux_scale, float alpha);

  ppm_tree_node* root = nullptr;
  measurement_point* points;  // not owned
  uint32_t* index = nullptr;  // point indices, permuted by the build
  float bounds_min[3] = {};
  float bounds_max[3] = {};
  uint32_t count;
  ppm_tree_node* nodes = nullptr;
  uint32_t nodes_used = 0;
  uint32_t nodes_capacity = 0;
  int32_t tls_slot = 0;
  float radius_ratio = 0.0f;  // upper over lower radius bound, set before each update

 private:
  void subdivide(ppm_tree_node* node);
};
