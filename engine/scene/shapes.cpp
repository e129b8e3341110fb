#include "engine/scene/shapes.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "engine/scene/vector_math.h"

namespace qor::scene {

namespace {

// Segments around a full turn; partial shapes get a share of them.
constexpr int full_turn_segments = 64;
constexpr int sphere_rings = 32;
constexpr int patch_grid = 8;

int segments_for(double phi_max_degrees) {
  return std::max(3, int(std::ceil(full_turn_segments * phi_max_degrees / 360)));
}

// A grid of (nu + 1) x (nv + 1) vertices from surface(u, v, position, normal), with two triangles
// per cell, (a, b, c) and (a, c, d), whose pbrt normal is along cross(dp/du, dp/dv). Cells that
// collapse to a line or a point (at a pole, at a disk's centre) give no triangles.
template <typename surface>
void add_grid(object_mesh& mesh, int nu, int nv, bool with_normals, const surface& at) {
  uint32_t base = uint32_t(mesh.positions.size());
  for (int j = 0; j <= nv; j++) {
    for (int i = 0; i <= nu; i++) {
      double u = double(i) / nu, v = double(j) / nv;
      double3 p, n;
      at(u, v, p, n);
      mesh.positions.push_back(p);
      if (with_normals) mesh.normals.push_back(n);
      mesh.uv.push_back({float(u), float(v)});
    }
  }
  auto index = [&](int i, int j) { return base + uint32_t(j * (nu + 1) + i); };
  auto add = [&](uint32_t a, uint32_t b, uint32_t c) {
    const auto& p = mesh.positions;
    // Relative to the triangle's size, so that a sliver whose short edge is rounding noise (at a
    // pole, sin(pi) is 1e-16 rather than 0) is dropped too.
    double3 e0 = sub(p[a], p[c]), e1 = sub(p[b], p[c]), e2 = sub(p[a], p[b]);
    double3 n = cross(e0, e1);
    double longest = std::max({dot(e0, e0), dot(e1, e1), dot(e2, e2)});
    if (!(dot(n, n) > 1e-20 * longest * longest)) return;
    mesh.indices.insert(mesh.indices.end(), {a, b, c});
  };
  for (int j = 0; j < nv; j++) {
    for (int i = 0; i < nu; i++) {
      uint32_t a = index(i, j), b = index(i + 1, j), c = index(i + 1, j + 1), d = index(i, j + 1);
      add(a, b, c);
      add(a, c, d);
    }
  }
}

}  // namespace

object_mesh tessellate_sphere(double radius, double z_min, double z_max, double phi_max) {
  // pbrt-v4's parameterisation: u runs with phi, v from z_min to z_max; dp/du x dp/dv points out.
  double theta_z_min = std::acos(std::clamp(z_min / radius, -1.0, 1.0));
  double theta_z_max = std::acos(std::clamp(z_max / radius, -1.0, 1.0));
  double phi = radians(phi_max);
  int rings =
      std::max(2, int(std::ceil(sphere_rings * (theta_z_min - theta_z_max) / std::numbers::pi)));
  object_mesh mesh;
  add_grid(mesh, segments_for(phi_max), rings, true,
           [&](double u, double v, double3& p, double3& n) {
             double theta = theta_z_min + v * (theta_z_max - theta_z_min);
             double ph = u * phi;
             n = {std::sin(theta) * std::cos(ph), std::sin(theta) * std::sin(ph), std::cos(theta)};
             p = {radius * n[0], radius * n[1], radius * n[2]};
           });
  return mesh;
}

object_mesh tessellate_disk(double height, double radius, double inner_radius, double phi_max) {
  // u runs with phi, v from the outer rim inwards: dp/du x dp/dv is +z.
  double phi = radians(phi_max);
  object_mesh mesh;
  add_grid(mesh, segments_for(phi_max), 1, true, [&](double u, double v, double3& p, double3& n) {
    double r = radius - v * (radius - inner_radius);
    p = {r * std::cos(u * phi), r * std::sin(u * phi), height};
    n = {0, 0, 1};
  });
  return mesh;
}

object_mesh tessellate_cylinder(double radius, double z_min, double z_max, double phi_max) {
  double phi = radians(phi_max);
  object_mesh mesh;
  add_grid(mesh, segments_for(phi_max), 1, true, [&](double u, double v, double3& p, double3& n) {
    n = {std::cos(u * phi), std::sin(u * phi), 0};
    p = {radius * n[0], radius * n[1], z_min + v * (z_max - z_min)};
  });
  return mesh;
}

void add_bilinear_patch(object_mesh& mesh, const double3 p[4], const double3* n, const float2* uv) {
  // The patch is planar when p11 lies in the plane of the other three corners.
  double3 normal = cross(sub(p[1], p[0]), sub(p[2], p[0]));
  double3 d = sub(p[3], p[0]);
  double extent = std::max(
      {dot(sub(p[1], p[0]), sub(p[1], p[0])), dot(sub(p[2], p[0]), sub(p[2], p[0])), dot(d, d)});
  double off_plane = dot(normal, d);
  bool planar = off_plane * off_plane <= 1e-10 * dot(normal, normal) * extent;
  int cells = planar ? 1 : patch_grid;
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

}  // namespace qor::scene
