// Loop subdivision of a triangle cage, as pbrt-v4's Shape "loopsubdiv" makes it: `levels` rounds
// of splitting each triangle in four (even vertices smoothed over their one-ring, odd vertices
// placed on the edges; crease rules on the boundary), then every vertex pushed to its limit
// position with the limit surface's normal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/scene/scene_description.h"

namespace qor::scene {

struct subdivided_mesh {
  std::vector<double3> positions;  // on the limit surface
  std::vector<double3> normals;    // one per position, not normalised (zero where degenerate)
  std::vector<uint32_t> indices;   // three per triangle, the cage's winding
};

// Why a cage cannot be subdivided: an edge shared by more than two triangles or by two with the
// same direction, a triangle that repeats a vertex, or a vertex whose triangles form more than
// one fan. Empty when the cage is a manifold with consistent winding.
struct cage_fault {
  std::string what;
};

// Subdivides the cage (every index < positions.size()). Returns the fault instead when the cage
// is not a manifold; the caller decides what to draw.
std::optional<cage_fault> loop_subdivide(const std::vector<double3>& positions,
                                         const std::vector<uint32_t>& indices, int levels,
                                         subdivided_mesh& out);

}  // namespace qor::scene
