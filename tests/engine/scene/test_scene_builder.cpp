// The current transformation and the graphics state against matrices computed by hand with
// pbrt-v4's conventions.
#include <cmath>

#include "tests/engine/scene_test_util.h"

namespace qor::scene {
namespace {

using testing::parse;
using testing::parse_world;

template <typename V>
void expect_near(const V& got, const double3& want, double tolerance = 1e-5) {
  for (int i = 0; i < 3; i++) EXPECT_NEAR(got[i], want[i], tolerance) << "component " << i;
}

TEST(look_at, builds_camera_from_world_with_pbrt_axes) {
  const double a = 1 / std::sqrt(2.0);
  const struct {
    const char* transforms;
    std::array<std::array<double, 4>, 4> camera_from_world;
    bool swaps_handedness;
  } cases[] = {
      // An up vector tilted towards the view is re-orthogonalised.
      {"LookAt 0 0 0  1 0 1  0.3 1 0.3",
       {{{a, 0, -a, 0}, {0, 1, 0, 0}, {a, 0, a, 0}, {0, 0, 0, 1}}},
       false},
      // The common "Scale -1 1 1" before LookAt mirrors the image; unmirrored, camera +x is world
      // -x (see the camera's space below). 3.3 is not a float: numbers are read in double
      // precision.
      {"Scale -1 1 1\nLookAt 0 1 3.3  0 1 0  0 1 0",
       {{{1, 0, 0, 0}, {0, 1, 0, -1}, {0, 0, -1, 3.3}, {0, 0, 0, 1}}},
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.transforms);
    // Transformations after Camera belong to no one until WorldBegin resets them.
    parse_result r = parse(std::string(c.transforms) +
                           "\nCamera \"perspective\"\nTranslate 5 5 5\nWorldBegin\n");
    ASSERT_TRUE(r.scene.camera.given);
    const transform& t = r.scene.camera.camera_from_world;
    for (int i = 0; i < 4; i++)
      for (int j = 0; j < 4; j++) EXPECT_NEAR(t.m[i][j], c.camera_from_world[i][j], 1e-9);
    EXPECT_EQ(t.swaps_handedness(), c.swaps_handedness);
  }
}

TEST(transform_directives, move_the_corners_of_a_triangle_as_pbrt_does) {
  const struct {
    const char* transforms;
    double3 corners[3];  // of P [1 0 0  0 1 0  0 0 1]
  } cases[] = {
      // Right-handed rotations about each axis and a diagonal given unnormalised.
      {"Rotate 90 0 0 1", {{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}}},
      {"Rotate 90 1 0 0", {{1, 0, 0}, {0, 0, 1}, {0, -1, 0}}},
      {"Rotate 90 0 1 0", {{0, 0, -1}, {0, 1, 0}, {1, 0, 0}}},
      {"Rotate 120 2 2 2", {{0, 1, 0}, {0, 0, 1}, {1, 0, 0}}},
      // Each directive applies to what follows it first.
      {"Translate 1 0 0\nScale 2 3 4", {{3, 0, 0}, {1, 3, 0}, {1, 0, 4}}},
      {"Scale 2 3 4\nTranslate 1 0 0", {{4, 0, 0}, {2, 3, 0}, {2, 0, 4}}},
      // pbrt's column order: the translation is in numbers 13 to 15; a shear x' = x + 2y.
      {"Translate 100 100 100\nTransform [1 0 0 0  0 1 0 0  0 0 1 0  5 6 7 1]",
       {{6, 6, 7}, {5, 7, 7}, {5, 6, 8}}},
      {"Translate 1 0 0\nConcatTransform [1 0 0 0  2 1 0 0  0 0 1 0  0 0 0 1]",
       {{2, 0, 0}, {3, 1, 0}, {1, 0, 1}}},
      {"Translate 1 0 0\nIdentity\nTranslate 0 0 1", {{1, 0, 1}, {0, 1, 1}, {0, 0, 2}}},
      {"Translate 1 2 3\nCoordinateSystem \"here\"\nIdentity\nScale 5 5 5\n"
       "CoordSysTransform \"here\"",
       {{2, 2, 3}, {1, 3, 3}, {1, 2, 4}}},
      // An unknown name warns and leaves the transformation.
      {"Translate 1 0 0\nCoordSysTransform \"nowhere\"", {{2, 0, 0}, {1, 1, 0}, {1, 0, 1}}},
      // End-time transformations are ignored.
      {"ActiveTransform EndTime\nTranslate 5 0 0\nActiveTransform All\nTranslate 0 1 0",
       {{1, 1, 0}, {0, 2, 0}, {0, 1, 1}}},
      // The camera's space: camera +x is world -x, +z looks from the eye towards -z.
      {"Translate 9 9 9\nCoordSysTransform \"camera\"", {{-1, 1, 3.5}, {0, 2, 3.5}, {0, 1, 2.5}}},
      {"CoordSysTransform \"camera\"\nCoordSysTransform \"world\"",
       {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.transforms);
    parse_result r = parse("LookAt 0 1 3.5  0 1 0  0 1 0\nCamera \"perspective\"\nWorldBegin\n" +
                           std::string(c.transforms) +
                           "\nShape \"trianglemesh\" \"point3 P\" [1 0 0  0 1 0  0 0 1]\n");
    ASSERT_EQ(r.scene.shapes.size(), 1u);
    for (int k = 0; k < 3; k++) expect_near(r.scene.shapes[0].positions[k], c.corners[k]);
  }
}

TEST(graphics_state, nested_attributes_restore_transform_material_and_orientation) {
  const testing::read_result r = testing::read_world(R"(
Material "diffuse" "rgb reflectance" [0.1 0.1 0.1]
AttributeBegin
  Translate 1 0 0
  Material "diffuse" "rgb reflectance" [0.2 0.2 0.2]
  AttributeBegin
    Translate 0 1 0
    ReverseOrientation
    Material "diffuse" "rgb reflectance" [0.3 0.3 0.3]
    Shape "trianglemesh" "point3 P" [0 0 0  1 0 0  0 1 0]
  AttributeEnd
  Shape "trianglemesh" "point3 P" [0 0 0  1 0 0  0 1 0]
  TransformBegin
    Translate 0 0 5
    Material "diffuse" "rgb reflectance" [0.4 0.4 0.4]
  TransformEnd
  Shape "trianglemesh" "point3 P" [0 0 0  1 0 0  0 1 0]
AttributeEnd
Shape "trianglemesh" "point3 P" [0 0 0  1 0 0  0 1 0]
)");
  // TransformEnd restores the transformation only: the material set inside stays.
  const struct {
    double3 corner;
    bool reversed;
    float reflectance;
  } want[] = {{{1, 1, 0}, true, 0.3f},
              {{1, 0, 0}, false, 0.2f},
              {{1, 0, 0}, false, 0.4f},
              {{0, 0, 0}, false, 0.1f}};
  ASSERT_EQ(r.scene.shapes.size(), 4u);
  for (int i = 0; i < 4; i++) {
    const shape_description& s = r.scene.shapes[i];
    expect_near(s.positions[0], want[i].corner);
    EXPECT_EQ(s.reverse_orientation, want[i].reversed) << i;
    EXPECT_FLOAT_EQ(r.made.materials[s.material]->diffuse_reflectance().r, want[i].reflectance)
        << i;
  }
}

TEST(instancing, objects_keep_their_definition_transform_and_instances_the_use_transform) {
  parse_result r = parse_world(R"(
ObjectInstance "early"
AttributeBegin
  Translate 0 0 1
  ObjectBegin "early"
    Translate 1 0 0
    Shape "trianglemesh" "point3 P" [0 0 0  1 0 0  0 1 0]
  ObjectEnd
AttributeEnd
Translate 0 3 0
Rotate 90 0 0 1
ObjectInstance "early"
)");
  ASSERT_EQ(std::tuple(r.scene.objects.size(), r.scene.instances.size(), r.scene.shapes.size()),
            std::tuple(1u, 2u, 0u));
  expect_near(r.scene.objects[0].shapes[0].positions[0], {1, 0, 1});
  EXPECT_EQ(r.scene.instances[0].object, 0);
  EXPECT_TRUE(r.scene.instances[0].world_from_instance.is_identity());
  expect_near(r.scene.instances[1].world_from_instance.apply_point({1, 0, 0}), {0, 4, 0}, 1e-12);
}

TEST(includes, include_shares_the_graphics_state_import_keeps_its_own_and_paths_resolve) {
  // "a/b.pbrt" includes "c.pbrt" (next to it) and "a/d.pbrt" (relative to the main file, as
  // pbrt-v4 resolves every path).
  parse_result r = parse_world(
      "Import \"sub/imp.pbrt\"\nInclude \"inc.pbrt\"\n"
      "Shape \"trianglemesh\" \"point3 P\" [0 0 0  1 0 0  0 1 0]\nInclude \"a/b.pbrt\"\n",
      {{"inc.pbrt", "Translate 1 0 0\nMaterial \"conductor\"\n"},
       {"sub/imp.pbrt",
        "Translate 0 1 0\nShape \"trianglemesh\" \"point3 P\" [0 0 0 1 0 0 0 1 0]\n"},
       {"a/b.pbrt", "Include \"c.pbrt\"\nInclude \"a/d.pbrt\"\n"},
       {"a/c.pbrt", "Shape \"sphere\"\n"},
       {"a/d.pbrt", "Shape \"sphere\"\n"}});
  ASSERT_EQ(r.scene.shapes.size(), 4u);
  expect_near(r.scene.shapes[0].positions[0], {0, 1, 0});
  EXPECT_EQ(to_string(r.scene.shapes[0].location), "sub/imp.pbrt:2:1");
  expect_near(r.scene.shapes[1].positions[0], {1, 0, 0});
  EXPECT_EQ(r.scene.materials[r.scene.shapes[1].material].type, "conductor");
  EXPECT_EQ(r.scene.shapes[2].location.file, "a/c.pbrt");
  EXPECT_EQ(r.scene.shapes[3].location.file, "a/d.pbrt");
}

}  // namespace
}  // namespace qor::scene
