// Shape "bilinearmesh": bilinear patches of four vertices each, in pbrt-v4's corner order. A
// planar patch is two triangles; a curved one a grid that follows its surface.
#include "engine/scene/shapes/grid.h"

namespace qor::scene {

namespace {

constexpr int curved_patch_cells = 8;  // per side

// Appends the patch with corners p00, p10, p01, p11; `n` and `uv` may be null.
void add_patch(object_mesh& mesh, const double3 p[4], const double3* n, const float2* uv) {
  // The patch is planar when p11 lies in the plane of the other three corners.
  double3 normal = cross(sub(p[1], p[0]), sub(p[2], p[0]));
  double3 d = sub(p[3], p[0]);
  double extent = std::max(
      {dot(sub(p[1], p[0]), sub(p[1], p[0])), dot(sub(p[2], p[0]), sub(p[2], p[0])), dot(d, d)});
  double off_plane = dot(normal, d);
  bool planar = off_plane * off_plane <= 1e-10 * dot(normal, normal) * extent;
  int cells = planar ? 1 : curved_patch_cells;
  bool with_normals = n != nullptr;
  size_t first = mesh.positions.size();
  auto lerp = [](const double3& a, const double3& b, double t) {
    return double3{a[0] + (b[0] - a[0]) * t, a[1] + (b[1] - a[1]) * t, a[2] + (b[2] - a[2]) * t};
  };
  add_grid(mesh, cells, cells, with_normals, [&](double u, double v, double3& q, double3& qn) {
    q = lerp(lerp(p[0], p[1], u), lerp(p[2], p[3], u), v);
    if (with_normals) qn = lerp(lerp(n[0], n[1], u), lerp(n[2], n[3], u), v);
  });
  if (uv) {
    for (size_t i = first; i < mesh.positions.size(); i++) {
      float u = mesh.uv[i][0], v = mesh.uv[i][1];
      for (int c = 0; c < 2; c++) {
        float bottom = uv[0][c] + (uv[1][c] - uv[0][c]) * u;
        float top = uv[2][c] + (uv[3][c] - uv[2][c]) * u;
        mesh.uv[i][c] = bottom + (top - bottom) * v;
      }
    }
  }
}

}  // namespace

shape_description make_bilinearmesh(const shape_context& shape) {
  const object_mesh corners = read_indexed_mesh(shape, 4);
  object_mesh patches;
  for (size_t f = 0; f + 4 <= corners.indices.size(); f += 4) {
    double3 p[4], n[4];
    float2 uv[4];
    for (int c = 0; c < 4; c++) {
      uint32_t i = corners.indices[f + c];
      p[c] = corners.positions[i];
      if (!corners.normals.empty()) n[c] = corners.normals[i];
      if (!corners.uv.empty()) uv[c] = corners.uv[i];
    }
    add_patch(patches, p, corners.normals.empty() ? nullptr : n, corners.uv.empty() ? nullptr : uv);
  }
  return placed_mesh(std::move(patches), shape);
}

}  // namespace qor::scene
