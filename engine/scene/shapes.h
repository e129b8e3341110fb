// Tessellations of pbrt's analytic shapes, in object space. Each is wound so that pbrt-v4's
// triangle normal, cross(p0 - p2, p1 - p2), points where the analytic shape's normal
// cross(dp/du, dp/dv) points: outwards for spheres and cylinders, +z for disks.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/scene/scene_description.h"

namespace qor::scene {

struct object_mesh {
  std::vector<double3> positions;
  std::vector<double3> normals;  // empty or one per position, object space
  std::vector<float2> uv;        // empty or one per position
  std::vector<uint32_t> indices;
};

// Angles in degrees, as pbrt writes them; the caller has checked radius > 0 and clamped the
// ranges as pbrt-v4 does.
object_mesh tessellate_sphere(double radius, double z_min, double z_max, double phi_max);
object_mesh tessellate_disk(double height, double radius, double inner_radius, double phi_max);
object_mesh tessellate_cylinder(double radius, double z_min, double z_max, double phi_max);

// Appends a bilinear patch with corners p00, p10, p01, p11 (pbrt-v4's order): two triangles when
// it is planar, a grid that follows its curvature otherwise. `n` and `uv` may be null.
void add_bilinear_patch(object_mesh& mesh, const double3 p[4], const double3* n, const float2* uv);

}  // namespace qor::scene
