// Shape "sphere": a sphere the ray tracer intersects as one, while it stays whole and round (a
// full sphere under a similarity transformation); otherwise a tessellation of the part that
// "zmin", "zmax" and "phimax" keep, with outward normals.
#include <numbers>
#include <optional>

#include "engine/scene/shapes/grid.h"

namespace qor::scene {

namespace {

constexpr int full_sphere_rings = 32;

// The uniform scale of a similarity transform, or nullopt for anything else (non-uniform scale,
// shear, projection): a sphere stays a sphere only under a similarity.
std::optional<double> similarity_scale(const transform& t) {
  const auto& m = t.m;
  if (m[3][0] != 0 || m[3][1] != 0 || m[3][2] != 0 || m[3][3] != 1) return std::nullopt;
  double3 c[3];
  for (int j = 0; j < 3; j++) c[j] = {m[0][j], m[1][j], m[2][j]};
  double s2 = dot(c[0], c[0]);
  if (!(s2 > 0) || !std::isfinite(s2)) return std::nullopt;
  const double tolerance = 1e-6 * s2;
  for (int j = 0; j < 3; j++) {
    if (std::abs(dot(c[j], c[j]) - s2) > tolerance) return std::nullopt;
    if (std::abs(dot(c[j], c[(j + 1) % 3])) > tolerance) return std::nullopt;
  }
  return std::sqrt(s2);
}

// pbrt-v4's parameterisation: u runs with phi, v from z_min to z_max; dp/du x dp/dv points out.
object_mesh tessellate(double radius, double z_min, double z_max, double phi_max_degrees) {
  double theta_z_min = std::acos(std::clamp(z_min / radius, -1.0, 1.0));
  double theta_z_max = std::acos(std::clamp(z_max / radius, -1.0, 1.0));
  double phi = radians(phi_max_degrees);
  int rings = std::max(
      2, int(std::ceil(full_sphere_rings * (theta_z_min - theta_z_max) / std::numbers::pi)));
  object_mesh mesh;
  add_grid(mesh, segments_for(phi_max_degrees), rings, true,
           [&](double u, double v, double3& p, double3& n) {
             double theta = theta_z_min + v * (theta_z_max - theta_z_min);
             double ph = u * phi;
             n = {std::sin(theta) * std::cos(ph), std::sin(theta) * std::sin(ph), std::cos(theta)};
             p = {radius * n[0], radius * n[1], radius * n[2]};
           });
  return mesh;
}

}  // namespace

shape_description make_sphere(const shape_context& shape) {
  const parameter_list& params = shape.parameters;
  const double radius = positive_parameter(shape, "radius", 1);
  const double z0 = params.get_float("zmin", -radius), z1 = params.get_float("zmax", radius);
  const double z_min = std::clamp(std::min(z0, z1), -radius, radius);
  const double z_max = std::clamp(std::max(z0, z1), -radius, radius);
  const double phi = phi_max(shape);
  const transform& ctm = shape.shape_from_object;
  const std::optional<double> scale = similarity_scale(ctm);
  if (!(z_min <= -radius && z_max >= radius && phi >= 360 && scale)) {
    return placed_mesh(tessellate(radius, z_min, z_max, phi), shape);
  }
  shape_description sphere;
  sphere.kind = geometry_kind::sphere;
  const double3 c = ctm.apply_point({0, 0, 0});
  sphere.center = {float(c[0]), float(c[1]), float(c[2])};
  sphere.radius = float(radius * *scale);
  for (int axis = 0; axis < 3; axis++) {
    double3 e{0, 0, 0};
    e[axis] = 1 / *scale;
    const double3 a = ctm.apply_vector(e);
    sphere.axes[axis] = {float(a[0]), float(a[1]), float(a[2])};
  }
  if (!finite(c) || !std::isfinite(sphere.radius) || !std::isfinite(sphere.center[0]) ||
      !std::isfinite(sphere.center[1]) || !std::isfinite(sphere.center[2]) ||
      !(sphere.radius > 0)) {
    throw scene_error(shape.location,
                      "expected a finite sphere after transformation, found centre " + text(c) +
                          " and radius " + text(radius * *scale));
  }
  return sphere;
}

}  // namespace qor::scene
