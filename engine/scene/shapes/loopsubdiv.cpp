// Shape "loopsubdiv": a triangle cage ("point3 P", "integer indices") refined by Loop
// subdivision to "levels" (3 by default) and rendered as the triangle mesh of its limit surface,
// with pbrt-v4's vertex and edge weights, boundary rules, limit positions and limit normals.
//
// The mesh is kept as half-edges in arrays: half-edge 3f + i runs from corner i of triangle f to
// corner i + 1. Twins are found by sorting once, on the cage; after that each level derives its
// children's twins from its parents', so a level costs a few linear passes and no search.
#include <algorithm>
#include <cmath>
#include <numbers>

#include "engine/scene/shapes/loop_subdivision.h"
#include "engine/scene/shapes/shape_kind.h"
#include "engine/scene/vector_math.h"

namespace qor::scene {

namespace {

constexpr int32_t none = -1;

inline double3 add(const double3& a, const double3& b) {
  return {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
}
inline double3 scaled(const double3& a, double s) {
  return {a[0] * s, a[1] * s, a[2] * s};
}
inline int32_t next_half(int32_t h) {
  return h % 3 == 2 ? h - 2 : h + 1;
}
inline int32_t prev_half(int32_t h) {
  return h % 3 == 0 ? h + 2 : h - 1;
}

struct half_edge_mesh {
  std::vector<double3> positions;
  std::vector<uint32_t> corners;  // three per triangle
  std::vector<int32_t> twin;      // per half-edge, `none` on the boundary

  uint32_t from(int32_t h) const { return corners[size_t(h)]; }
  uint32_t to(int32_t h) const { return corners[size_t(next_half(h))]; }
};

// Per vertex: the outgoing half-edge its one-ring walk starts at (on the boundary, the one with
// no twin) and whether it lies on the boundary.
struct vertex_starts {
  std::vector<int32_t> start;
  std::vector<uint8_t> boundary;
};

vertex_starts find_starts(const half_edge_mesh& m) {
  vertex_starts s;
  s.start.assign(m.positions.size(), none);
  s.boundary.assign(m.positions.size(), 0);
  for (int32_t h = 0; h < int32_t(m.corners.size()); h++) {
    uint32_t v = m.from(h);
    if (m.twin[size_t(h)] == none) {
      s.start[v] = h;
      s.boundary[v] = 1;
    } else if (s.start[v] == none) {
      s.start[v] = h;
    }
  }
  return s;
}

// The one-ring of a vertex in pbrt-v4's order, which its normal's sign depends on: an interior
// ring turns against the triangles' winding; a boundary ring starts at the neighbour across the
// boundary edge leaving the vertex and turns with the winding to the other boundary neighbour.
// Stops after `limit` neighbours so that a broken cage cannot make it loop.
void one_ring(const half_edge_mesh& m, int32_t start, bool boundary, size_t limit,
              std::vector<uint32_t>& ring) {
  ring.clear();
  if (start == none) return;
  int32_t h = start;
  if (!boundary) {
    do {
      ring.push_back(m.to(h));
      int32_t t = m.twin[size_t(h)];
      if (t == none) return;
      h = next_half(t);
    } while (h != start && ring.size() <= limit);
    return;
  }
  ring.push_back(m.to(h));
  while (h != none && ring.size() <= limit) {
    int32_t p = prev_half(h);
    ring.push_back(m.from(p));
    h = m.twin[size_t(p)];
  }
}

double beta(size_t valence) {
  return valence == 3 ? 3.0 / 16.0 : 3.0 / (8.0 * double(valence));
}

// Twins by sorting the undirected edges; a fault when the cage is not a consistently wound
// manifold.
std::optional<cage_fault> link_cage(half_edge_mesh& m) {
  const size_t n = m.corners.size();
  for (size_t f = 0; f < n / 3; f++) {
    uint32_t a = m.corners[3 * f], b = m.corners[3 * f + 1], c = m.corners[3 * f + 2];
    if (a == b || b == c || c == a) {
      return cage_fault{"triangle " + std::to_string(f) + " repeats a vertex (" +
                        std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c) +
                        ")"};
    }
  }
  std::vector<std::pair<uint64_t, int32_t>> edges(n);
  for (int32_t h = 0; h < int32_t(n); h++) {
    uint64_t a = m.from(h), b = m.to(h);
    edges[size_t(h)] = {std::min(a, b) << 32 | std::max(a, b), h};
  }
  std::sort(edges.begin(), edges.end());
  m.twin.assign(n, none);
  for (size_t i = 0; i < n;) {
    size_t j = i;
    while (j < n && edges[j].first == edges[i].first) j++;
    const uint32_t a = uint32_t(edges[i].first >> 32), b = uint32_t(edges[i].first);
    const std::string edge =
        "the edge from vertex " + std::to_string(a) + " to " + std::to_string(b);
    if (j - i > 2) {
      return cage_fault{edge + " is shared by " + std::to_string(j - i) + " triangles"};
    }
    if (j - i == 2) {
      int32_t h = edges[i].second, t = edges[i + 1].second;
      if (m.from(h) == m.from(t)) {
        return cage_fault{edge + " joins two triangles wound in opposite directions"};
      }
      m.twin[size_t(h)] = t;
      m.twin[size_t(t)] = h;
    }
    i = j;
  }
  // Each vertex's triangles must form one fan: the walk from its start meets all of them.
  vertex_starts s = find_starts(m);
  std::vector<uint32_t> fan(m.positions.size(), 0);
  for (int32_t h = 0; h < int32_t(n); h++) fan[m.from(h)]++;
  std::vector<uint32_t> ring;
  for (size_t v = 0; v < m.positions.size(); v++) {
    if (fan[v] == 0) continue;
    one_ring(m, s.start[v], s.boundary[v], fan[v] + 1, ring);
    if (ring.size() != fan[v] + s.boundary[v]) {
      return cage_fault{"the triangles around vertex " + std::to_string(v) +
                        " do not form a single fan"};
    }
  }
  return std::nullopt;
}

// One level: even vertices keep their index and are smoothed; each edge gets an odd vertex; each
// triangle (v0 v1 v2) with odd vertices e_j on edge j (v_j to v_j+1) becomes (v_j e_j e_j-1) for
// j = 0, 1, 2 and (e0 e1 e2), in that order, so the twins of the children follow from the
// parents' twins.
half_edge_mesh subdivide_once(const half_edge_mesh& m) {
  const size_t nv = m.positions.size(), nh = m.corners.size(), nf = nh / 3;
  std::vector<int32_t> edge_vertex(nh, none);
  uint32_t next_vertex = uint32_t(nv);
  for (size_t h = 0; h < nh; h++) {
    if (edge_vertex[h] != none) continue;
    edge_vertex[h] = int32_t(next_vertex);
    if (m.twin[h] != none) edge_vertex[size_t(m.twin[h])] = int32_t(next_vertex);
    next_vertex++;
  }

  half_edge_mesh child;
  child.positions.resize(next_vertex);
  const vertex_starts s = find_starts(m);
  std::vector<uint32_t> ring;
  for (size_t v = 0; v < nv; v++) {
    const double3& p = m.positions[v];
    one_ring(m, s.start[v], s.boundary[v], nh, ring);
    if (ring.empty()) {
      child.positions[v] = p;  // on no triangle
    } else if (s.boundary[v]) {
      child.positions[v] = add(
          scaled(p, 0.75), scaled(add(m.positions[ring.front()], m.positions[ring.back()]), 0.125));
    } else {
      const double b = beta(ring.size());
      double3 sum{0, 0, 0};
      for (uint32_t r : ring) sum = add(sum, m.positions[r]);
      child.positions[v] = add(scaled(p, 1 - double(ring.size()) * b), scaled(sum, b));
    }
  }
  for (int32_t h = 0; h < int32_t(nh); h++) {
    const int32_t t = m.twin[size_t(h)];
    if (t != none && t < h) continue;
    const double3 ends = add(m.positions[m.from(h)], m.positions[m.to(h)]);
    double3 p;
    if (t == none) {
      p = scaled(ends, 0.5);
    } else {
      const double3 apexes =
          add(m.positions[m.from(prev_half(h))], m.positions[m.from(prev_half(t))]);
      p = add(scaled(ends, 3.0 / 8.0), scaled(apexes, 1.0 / 8.0));
    }
    child.positions[size_t(edge_vertex[size_t(h)])] = p;
  }

  child.corners.resize(4 * nh);
  child.twin.assign(4 * nh, none);
  for (size_t f = 0; f < nf; f++) {
    uint32_t v[3], e[3];
    for (int j = 0; j < 3; j++) {
      v[j] = m.corners[3 * f + size_t(j)];
      e[j] = uint32_t(edge_vertex[3 * f + size_t(j)]);
    }
    uint32_t* c = &child.corners[12 * f];
    for (int j = 0; j < 3; j++) {
      int jp = (j + 2) % 3;
      c[3 * j] = v[j];
      c[3 * j + 1] = e[j];
      c[3 * j + 2] = e[jp];
      c[9 + j] = e[j];
    }
    const int32_t base = int32_t(12 * f);
    for (int j = 0; j < 3; j++) {
      // The inner edge e_j to e_j-1 of corner child j meets the middle child.
      const int32_t inner = base + 3 * j + 1, middle = base + 9 + (j + 2) % 3;
      child.twin[size_t(inner)] = middle;
      child.twin[size_t(middle)] = inner;
      // The halves of parent edge j: v_j to e_j in child j, e_j to v_j+1 in child j + 1. The
      // parent's twin, corner k of triangle g, runs v_j+1 to v_j: its halves are v_j+1 to e in
      // g's child k and e to v_j in g's child k + 1.
      const int32_t t = m.twin[3 * f + size_t(j)];
      if (t == none) continue;
      const int32_t g = t / 3, k = t % 3;
      child.twin[size_t(base + 3 * j)] = 12 * g + 3 * ((k + 1) % 3) + 2;
      child.twin[size_t(base + 3 * ((j + 1) % 3) + 2)] = 12 * g + 3 * k;
    }
  }
  return child;
}

}  // namespace

std::optional<cage_fault> loop_subdivide(const std::vector<double3>& positions,
                                         const std::vector<uint32_t>& indices, int levels,
                                         subdivided_mesh& out) {
  half_edge_mesh m{positions, indices, {}};
  if (std::optional<cage_fault> fault = link_cage(m)) return fault;
  for (int level = 0; level < levels; level++) m = subdivide_once(m);

  // Limit positions: boundary vertices with weights 1/5 on their two boundary neighbours,
  // interior ones with gamma = 1 / (valence + 3 / (8 beta)) on each neighbour.
  const size_t nv = m.positions.size();
  const vertex_starts s = find_starts(m);
  std::vector<uint32_t> ring;
  out.positions.resize(nv);
  for (size_t v = 0; v < nv; v++) {
    const double3& p = m.positions[v];
    one_ring(m, s.start[v], s.boundary[v], m.corners.size(), ring);
    if (ring.empty()) {
      out.positions[v] = p;
    } else if (s.boundary[v]) {
      out.positions[v] = add(scaled(p, 0.6),
                             scaled(add(m.positions[ring.front()], m.positions[ring.back()]), 0.2));
    } else {
      const double n = double(ring.size()), gamma = 1 / (n + 3 / (8 * beta(ring.size())));
      double3 sum{0, 0, 0};
      for (uint32_t r : ring) sum = add(sum, m.positions[r]);
      out.positions[v] = add(scaled(p, 1 - n * gamma), scaled(sum, gamma));
    }
  }

  // Limit normals from the limit positions of each ring: two tangents, crossed.
  out.normals.assign(nv, double3{0, 0, 0});
  const double pi = std::numbers::pi;
  for (size_t v = 0; v < nv; v++) {
    one_ring(m, s.start[v], s.boundary[v], m.corners.size(), ring);
    const size_t n = ring.size();
    if (n == 0) {
      out.normals[v] = {0, 0, 1};  // a vertex no triangle uses: any unit normal will do
      continue;
    }
    auto q = [&](size_t j) { return out.positions[ring[j]]; };
    const double3& p = out.positions[v];
    double3 S{0, 0, 0}, T{0, 0, 0};
    if (!s.boundary[v]) {
      for (size_t j = 0; j < n; j++) {
        S = add(S, scaled(q(j), std::cos(2 * pi * double(j) / double(n))));
        T = add(T, scaled(q(j), std::sin(2 * pi * double(j) / double(n))));
      }
    } else {
      S = sub(q(n - 1), q(0));
      if (n == 2) {
        T = sub(add(q(0), q(1)), scaled(p, 2));
      } else if (n == 3) {
        T = sub(q(1), p);
      } else if (n == 4) {
        T = add(add(scaled(q(0), -1), scaled(q(1), 2)),
                add(add(scaled(q(2), 2), scaled(q(3), -1)), scaled(p, -2)));
      } else {
        const double theta = pi / double(n - 1);
        T = scaled(add(q(0), q(n - 1)), std::sin(theta));
        for (size_t k = 1; k + 1 < n; k++) {
          T = add(T, scaled(q(k), (2 * std::cos(theta) - 2) * std::sin(double(k) * theta)));
        }
        T = scaled(T, -1);
      }
    }
    out.normals[v] = cross(S, T);
  }
  out.indices = std::move(m.corners);
  return std::nullopt;
}

shape_description make_loopsubdiv(const shape_context& shape) {
  // Each level makes four triangles of one; past this many the mesh would not fit in memory.
  constexpr double max_triangles = 1 << 24;
  int64_t levels = shape.parameters.get_integer("levels", 3);
  const parameter* levels_parameter = shape.parameters.find("levels");
  if (levels < 0) {
    throw scene_error(levels_parameter->value_location(0),
                      "expected a non-negative \"integer levels\" for loopsubdiv, found " +
                          std::to_string(levels));
  }
  object_mesh cage = read_indexed_mesh(shape, 3);
  cage.normals.clear();  // the limit surface has its own
  cage.uv.clear();
  const double triangles = double(cage.indices.size() / 3);
  int64_t allowed = levels;
  while (allowed > 0 && triangles * std::pow(4.0, double(allowed)) > max_triangles) allowed--;
  if (allowed < levels) {
    shape.warnings.warn(levels_parameter ? levels_parameter->value_location(0) : shape.location,
                        "loopsubdiv: " + std::to_string(levels) + " levels would make more than " +
                            text(max_triangles) + " triangles; " + std::to_string(allowed) +
                            " are used");
  }
  subdivided_mesh limit;
  if (std::optional<cage_fault> fault =
          loop_subdivide(cage.positions, cage.indices, int(allowed), limit)) {
    shape.warnings.warn(shape.location, "loopsubdiv: the cage is not a manifold (" + fault->what +
                                            "); it is rendered unsubdivided");
    return placed_mesh(std::move(cage), shape);
  }
  object_mesh mesh;
  mesh.positions = std::move(limit.positions);
  mesh.indices = std::move(limit.indices);
  // A vertex whose ring is degenerate has no limit normal; then the whole mesh is left to its
  // flat triangles, as placed_mesh drops normals it cannot use.
  bool normals_ok = true;
  for (const double3& n : limit.normals) normals_ok &= length(n) > 0 && finite(n);
  if (normals_ok) mesh.normals = std::move(limit.normals);
  return placed_mesh(std::move(mesh), shape);
}

}  // namespace qor::scene
