// Shape "loopsubdiv": the limit surface, boundary rules and broken cages.
#include <gtest/gtest.h>

#include <cmath>

#include "engine/scene/shapes/loop_subdivision.h"
#include "engine/scene/vector_math.h"
#include "tests/engine/scene_test_util.h"

namespace qor::scene {
namespace {

const std::vector<double3> octahedron = {{1, 0, 0},  {-1, 0, 0}, {0, 1, 0},
                                         {0, -1, 0}, {0, 0, 1},  {0, 0, -1}};
const std::vector<uint32_t> octahedron_faces = {0, 2, 4, 2, 1, 4, 1, 3, 4, 3, 0, 4,
                                                2, 0, 5, 1, 2, 5, 3, 1, 5, 0, 3, 5};
// A 3 x 3 grid of vertices in the plane z = 0, wound counter-clockwise seen from +z: one
// interior vertex (4), boundary vertices of valence 3 and 4 on the edges, 2 and 3 at corners.
const std::vector<double3> grid = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {0, 1, 0}, {1, 1, 0},
                                   {2, 1, 0}, {0, 2, 0}, {1, 2, 0}, {2, 2, 0}};
const std::vector<uint32_t> grid_faces = {0, 1, 4, 0, 4, 3, 1, 2, 5, 1, 5, 4,
                                          3, 4, 7, 3, 7, 6, 4, 5, 8, 4, 8, 7};

// The octahedron pulled out of shape, so that no symmetry hides a wrong weight.
const std::vector<double3> lopsided = {{1.3, 0, 0},    {-0.8, 0.1, 0}, {0, 1, 0.2},
                                       {0.1, -1.1, 0}, {0, 0.2, 0.9},  {0.2, 0, -1}};

// A cage vertex keeps its index at every level, and the limit position and normal of an interior
// vertex do not depend on how often the cage was refined first: comparing level 0 with level 3
// checks every vertex, edge and limit weight against the others. (Boundary vertices go to the
// limit with pbrt-v4's weights 1/5, not the boundary curve's 1/6, so theirs move a little with
// the level, as in pbrt-v4.)
TEST(loopsubdiv, limit_surface_does_not_depend_on_the_level) {
  subdivided_mesh coarse, fine;
  ASSERT_FALSE(loop_subdivide(lopsided, octahedron_faces, 0, coarse));
  ASSERT_FALSE(loop_subdivide(lopsided, octahedron_faces, 3, fine));
  EXPECT_EQ(fine.indices.size(), 64 * octahedron_faces.size());
  EXPECT_EQ(fine.normals.size(), fine.positions.size());
  for (size_t v = 0; v < lopsided.size(); v++) {
    for (int c = 0; c < 3; c++) EXPECT_NEAR(fine.positions[v][c], coarse.positions[v][c], 1e-9);
    EXPECT_GT(dot(normalize(coarse.normals[v]), normalize(fine.normals[v])), 0.999) << v;
  }
  // The regular octahedron's corners (valence 4, gamma 1/8) sit at half their distance; its
  // normals face against the winding, as pbrt-v4's do (a one-sided emitter made of it lights its
  // inside).
  subdivided_mesh m;
  ASSERT_FALSE(loop_subdivide(octahedron, octahedron_faces, 0, m));
  for (size_t v = 0; v < 6; v++) {
    EXPECT_NEAR(length(m.positions[v]), 0.5, 1e-12);
    EXPECT_LT(dot(normalize(m.normals[v]), normalize(octahedron[v])), -0.999);
  }
  // The grid: a corner goes 1/5 of the way to each boundary neighbour; the sheet stays flat at
  // any level with every normal, boundary or not, along -z.
  ASSERT_FALSE(loop_subdivide(grid, grid_faces, 0, m));
  EXPECT_NEAR(length(sub(m.positions[0], {0.2, 0.2, 0})), 0, 1e-12);
  ASSERT_FALSE(loop_subdivide(grid, grid_faces, 2, m));
  EXPECT_EQ(m.indices.size(), 16 * grid_faces.size());
  for (size_t v = 0; v < m.positions.size(); v++) {
    EXPECT_EQ(m.positions[v][2], 0);
    EXPECT_LT(normalize(m.normals[v])[2], -0.999) << "vertex " << v;
  }
}

// Broken cages render unsubdivided with a warning (bad parameters are in data/malformed/).
TEST(loopsubdiv, broken_cages_and_parameters) {
  const std::string shape = "Shape \"loopsubdiv\" \"point3 P\" [0 0 0 1 0 0 0 1 0 0 0 1 1 1 1] ";
  const struct {
    const char* indices;
    const char* warning;
  } cages[] = {
      {"[0 1 2 1 0 3 0 1 4]", "the edge from vertex 0 to 1 is shared by 3 triangles"},
      {"[0 1 2 0 1 3]", "the edge from vertex 0 to 1 joins two triangles wound in opposite"},
      {"[0 1 2 0 3 4]", "the triangles around vertex 0 do not form a single fan"},
      {"[0 1 1]", "triangle 0 repeats a vertex"},
  };
  for (const auto& c : cages) {
    SCOPED_TRACE(c.indices);
    const testing::read_result r =
        testing::read_world(shape + "\"integer indices\" " + c.indices + "\n");
    ASSERT_EQ(r.warnings.size(), 1u);
    EXPECT_NE(r.warnings[0].message.find(c.warning), std::string::npos) << r.warnings[0].message;
    EXPECT_EQ(r.scene.shapes[0].indices.size(), std::string(c.indices).size() / 2);
  }
  // Vertices no triangle uses do not cost the mesh its normals.
  const testing::read_result unused =
      testing::read_world(shape + "\"integer indices\" [0 1 2] \"integer levels\" 1\n");
  EXPECT_TRUE(unused.warnings.empty());
  EXPECT_EQ(unused.scene.shapes[0].normals.size(), unused.scene.shapes[0].positions.size());
}

}  // namespace
}  // namespace qor::scene
