// Shape "trianglemesh": vertices, three indices per triangle, optional normals and uv.
#include "engine/scene/shapes/shape_kind.h"

namespace qor::scene {

shape_description make_trianglemesh(const shape_context& shape) {
  return placed_mesh(read_indexed_mesh(shape, 3), shape);
}

}  // namespace qor::scene
