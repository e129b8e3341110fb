// Point tree queries: not built yet.
#include "photons/photon_records.h"
#include "tree/ppm_tree.h"

void ppm_tree::deposit(const ppm_tree_node*, const photon_query&) {}

void ppm_tree::lookup(const ppm_tree_node*, const float*, float*) const {}

void ppm_tree::lookup_radiance(const qorRay&, float out[3]) const {
  out[0] = out[1] = out[2] = 0.0f;
}

bool ppm_tree::covers(const float*, const float*) const {
  return false;
}

photon_path_buffer& ppm_tree::path_buffer(const qorRay& ray) const {
  return *reinterpret_cast<photon_path_buffer*>(reinterpret_cast<char*>(ray.thread) + tls_slot);
}

void ppm_tree::clear_path_buffer(const qorRay&) const {}

void ppm_tree::count_path_reuse(const qorRay&) const {}
