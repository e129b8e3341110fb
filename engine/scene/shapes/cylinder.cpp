// Shape "cylinder": around the z axis from "zmin" to "zmax", tessellated with outward normals.
#include "engine/scene/shapes/grid.h"

namespace qor::scene {

shape_description make_cylinder(const shape_context& shape) {
  const double radius = positive_parameter(shape, "radius", 1);
  const double z0 = shape.parameters.get_float("zmin", -1);
  const double z1 = shape.parameters.get_float("zmax", 1);
  const double z_min = std::min(z0, z1), z_max = std::max(z0, z1);
  const double phi_degrees = phi_max(shape);
  const double phi = radians(phi_degrees);
  object_mesh mesh;
  add_grid(mesh, segments_for(phi_degrees), 1, true,
           [&](double u, double v, double3& p, double3& n) {
             n = {std::cos(u * phi), std::sin(u * phi), 0};
             p = {radius * n[0], radius * n[1], z_min + v * (z_max - z_min)};
           });
  return placed_mesh(std::move(mesh), shape);
}

}  // namespace qor::scene
