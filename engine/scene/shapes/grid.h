// Tessellation of pbrt's parametric shapes: a grid over (u, v) in [0, 1]^2, wound so that
// pbrt-v4's triangle normal, cross(p0 - p2, p1 - p2), points where the analytic shape's normal
// cross(dp/du, dp/dv) points.
#pragma once

#include <algorithm>
#include <cmath>

#include "engine/scene/shapes/shape_kind.h"
#include "engine/scene/vector_math.h"

namespace qor::scene {

// Segments around a full turn; partial shapes get a share of them. A shape is a fixed number of
// triangles, whatever its parameters.
inline constexpr int full_turn_segments = 64;

inline int segments_for(double phi_max_degrees) {
  return std::max(3, int(std::ceil(full_turn_segments * phi_max_degrees / 360)));
}

// Appends a grid of (nu + 1) x (nv + 1) vertices from at(u, v, position, normal), with two
// triangles per cell, (a, b, c) and (a, c, d), whose pbrt normal is along cross(dp/du, dp/dv).
// Cells that collapse to a line or a point (at a pole, at a disk's centre) give no triangles.
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

}  // namespace qor::scene
