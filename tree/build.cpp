// The point tree build: not built yet.
#include "render/qor_ppm.h"
#include "tree/ppm_tree.h"

ppm_tree::ppm_tree(measurement_point* points_in, uint32_t count_in)
    : points(points_in), count(count_in) {}
ppm_tree::~ppm_tree() = default;
void ppm_tree::build() {}
ppm_tree_node* ppm_tree::allocate_nodes(uint32_t) {
  return nullptr;
}
void ppm_tree::subdivide(ppm_tree_node*) {}

void qorPPM::build_trees(qorScene&, int) {}
