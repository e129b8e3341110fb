// Shape "disk": an annulus at "height" on the z axis, tessellated with its normal along +z.
#include "engine/scene/shapes/grid.h"

namespace qor::scene {

shape_description make_disk(const shape_context& shape) {
  const double height = shape.parameters.get_float("height", 0);
  const double radius = positive_parameter(shape, "radius", 1);
  const double inner_radius = std::clamp(shape.parameters.get_float("innerradius", 0), 0.0, radius);
  const double phi_degrees = phi_max(shape);
  // u runs with phi, v from the outer rim inwards: dp/du x dp/dv is +z.
  const double phi = radians(phi_degrees);
  object_mesh mesh;
  add_grid(mesh, segments_for(phi_degrees), 1, true,
           [&](double u, double v, double3& p, double3& n) {
             double r = radius - v * (radius - inner_radius);
             p = {r * std::cos(u * phi), r * std::sin(u * phi), height};
             n = {0, 0, 1};
           });
  return placed_mesh(std::move(mesh), shape);
}

}  // namespace qor::scene
