// The current transformation and the graphics state against matrices computed by hand with
// pbrt-v4's conventions.
#include <cmath>

#include "scene_test_util.h"

namespace qor::scene {
namespace {

using testing::parse;
using testing::parse_world;
using matrix = std::array<std::array<double, 4>, 4>;

void expect_matrix_near(const matrix& got, const matrix& want, double tolerance = 1e-9) {
  for (int i = 0; i < 4; i++)
    for (int j = 0; j < 4; j++)
      EXPECT_NEAR(got[i][j], want[i][j], tolerance) << "element [" << i << "][" << j << "]";
}

void expect_point_near(const float3& got, const double3& want, double tolerance = 1e-5) {
  for (int i = 0; i < 3; i++) EXPECT_NEAR(got[i], want[i], tolerance) << "component " << i;
}

// World positions of the three corners of `Shape "trianglemesh" "point3 P" [1 0 0 0 1 0 0 0 1]`
// after `transforms`.
std::vector<float3> corners_after(const std::string& transforms) {
  parse_result r =
      parse_world(transforms + "\nShape \"trianglemesh\" \"point3 P\" [1 0 0  0 1 0  0 0 1]\n");
  EXPECT_EQ(r.scene.shapes.size(), 1u);
  if (r.scene.shapes.empty()) return {};
  return r.scene.shapes[0].positions;
}

TEST(look_at, builds_camera_from_world_with_pbrt_axes) {
  // Eye (0, 1, 3.5) looking down -z: right = cross(up, dir) = -x, so world +x appears on the
  // image's left, as pbrt-v4 renders it.
  parse_result r = parse("LookAt 0 1 3.5  0 1 0  0 1 0\nCamera \"perspective\"\nWorldBegin\n");
  ASSERT_TRUE(r.scene.camera.given);
  expect_matrix_near(r.scene.camera.camera_from_world.m,
                     {{{-1, 0, 0, 0}, {0, 1, 0, -1}, {0, 0, -1, 3.5}, {0, 0, 0, 1}}});
  expect_matrix_near(r.scene.camera.camera_from_world.m_inverse,
                     {{{-1, 0, 0, 0}, {0, 1, 0, 1}, {0, 0, -1, 3.5}, {0, 0, 0, 1}}});
}

TEST(look_at, oblique_view_and_a_tilted_up_vector) {
  // Looking along (1, 0, 1) with an up vector tilted towards the view: the up vector is
  // re-orthogonalised, right = normalize(cross(up, dir)) = (1, 0, -1) / sqrt 2.
  const double a = 1 / std::sqrt(2.0);
  parse_result r = parse("LookAt 0 0 0  1 0 1  0.3 1 0.3\nCamera \"perspective\"\nWorldBegin\n");
  const transform& t = r.scene.camera.camera_from_world;
  double3 right = t.apply_vector({1, 0, -1});  // world direction that must map to camera +x
  EXPECT_NEAR(right[0], std::sqrt(2.0), 1e-9);
  EXPECT_NEAR(right[1], 0, 1e-9);
  EXPECT_NEAR(right[2], 0, 1e-9);
  double3 ahead = t.apply_point({2, 0, 2});
  EXPECT_NEAR(ahead[0], 0, 1e-9);
  EXPECT_NEAR(ahead[1], 0, 1e-9);
  EXPECT_NEAR(ahead[2], 4 * a, 1e-9);
  EXPECT_FALSE(t.swaps_handedness());
}

TEST(look_at, follows_the_transformation_before_it_and_ignores_what_comes_after_camera) {
  // The common "Scale -1 1 1" before LookAt mirrors the image; transformations after Camera belong
  // to no one until WorldBegin resets them.
  parse_result r = parse(
      "Scale -1 1 1\nLookAt 0 1 3.5  0 1 0  0 1 0\nCamera \"perspective\"\nTranslate 5 5 5\n"
      "WorldBegin\n");
  expect_matrix_near(r.scene.camera.camera_from_world.m,
                     {{{1, 0, 0, 0}, {0, 1, 0, -1}, {0, 0, -1, 3.5}, {0, 0, 0, 1}}});
  EXPECT_TRUE(r.scene.camera.camera_from_world.swaps_handedness());
}

TEST(rotate, right_handed_about_each_axis_and_a_diagonal) {
  auto z = corners_after("Rotate 90 0 0 1");  // x -> y, y -> -x
  expect_point_near(z[0], {0, 1, 0});
  expect_point_near(z[1], {-1, 0, 0});
  expect_point_near(z[2], {0, 0, 1});
  auto x = corners_after("Rotate 90 1 0 0");  // y -> z, z -> -y
  expect_point_near(x[1], {0, 0, 1});
  expect_point_near(x[2], {0, -1, 0});
  auto y = corners_after("Rotate 90 0 1 0");  // z -> x, x -> -z
  expect_point_near(y[0], {0, 0, -1});
  expect_point_near(y[2], {1, 0, 0});
  // 120 degrees about (1, 1, 1), unnormalised: x -> y -> z -> x.
  auto d = corners_after("Rotate 120 2 2 2");
  expect_point_near(d[0], {0, 1, 0});
  expect_point_near(d[1], {0, 0, 1});
  expect_point_near(d[2], {1, 0, 0});
}

TEST(transform_directives, compose_by_post_multiplication) {
  // Each directive applies to what follows it first: Translate then Scale moves the scaled point.
  auto ts = corners_after("Translate 1 0 0\nScale 2 3 4");
  expect_point_near(ts[0], {3, 0, 0});
  expect_point_near(ts[1], {1, 3, 0});
  auto st = corners_after("Scale 2 3 4\nTranslate 1 0 0");
  expect_point_near(st[0], {4, 0, 0});
  expect_point_near(st[2], {2, 0, 4});
}

TEST(transform_directives, transform_and_concat_transform_take_pbrts_column_order) {
  // The translation is in numbers 13 to 15.
  auto t = corners_after("Translate 100 100 100\nTransform [1 0 0 0  0 1 0 0  0 0 1 0  5 6 7 1]");
  expect_point_near(t[0], {6, 6, 7});
  // A shear written column by column: x' = x + 2y.
  auto c = corners_after("Translate 1 0 0\nConcatTransform [1 0 0 0  2 1 0 0  0 0 1 0  0 0 0 1]");
  expect_point_near(c[0], {2, 0, 0});
  expect_point_near(c[1], {3, 1, 0});
  auto i = corners_after("Translate 1 0 0\nIdentity\nTranslate 0 0 1");
  expect_point_near(i[0], {1, 0, 1});
}

TEST(graphics_state, nested_attributes_restore_transform_material_and_orientation) {
  parse_result r = parse_world(R"(
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
  const auto& shapes = r.scene.shapes;
  ASSERT_EQ(shapes.size(), 4u);
  auto reflectance = [&](const shape_description& s) {
    return r.scene.materials[s.material].reflectance[0];
  };
  expect_point_near(shapes[0].positions[0], {1, 1, 0});
  EXPECT_TRUE(shapes[0].reverse_orientation);
  EXPECT_FLOAT_EQ(reflectance(shapes[0]), 0.3f);
  expect_point_near(shapes[1].positions[0], {1, 0, 0});
  EXPECT_FALSE(shapes[1].reverse_orientation);
  EXPECT_FLOAT_EQ(reflectance(shapes[1]), 0.2f);
  // TransformEnd restores the transformation only: the material set inside stays.
  expect_point_near(shapes[2].positions[0], {1, 0, 0});
  EXPECT_FLOAT_EQ(reflectance(shapes[2]), 0.4f);
  expect_point_near(shapes[3].positions[0], {0, 0, 0});
  EXPECT_FLOAT_EQ(reflectance(shapes[3]), 0.1f);
}

TEST(graphics_state, reverse_orientation_and_mirroring_mark_the_shape_and_flip_its_normals) {
  parse_result r = parse_world(R"(
AttributeBegin
  ReverseOrientation
  Shape "trianglemesh" "point3 P" [0 0 0  1 0 0  0 1 0] "normal N" [0 0 1  0 0 1  0 0 1]
AttributeEnd
AttributeBegin
  Scale -1 1 1
  Shape "trianglemesh" "point3 P" [0 0 0  1 0 0  0 1 0] "normal N" [0 0 1  0 0 1  0 0 1]
AttributeEnd
AttributeBegin
  Scale 2 1 1
  Shape "trianglemesh" "point3 P" [0 0 0  1 0 0  0 1 0] "normal N" [1 1 0  1 1 0  1 1 0]
AttributeEnd
)");
  const auto& shapes = r.scene.shapes;
  ASSERT_EQ(shapes.size(), 3u);
  EXPECT_TRUE(shapes[0].reverse_orientation);
  EXPECT_FALSE(shapes[0].transform_swaps_handedness);
  expect_point_near(shapes[0].normals[0], {0, 0, -1});
  EXPECT_FALSE(shapes[1].reverse_orientation);
  EXPECT_TRUE(shapes[1].transform_swaps_handedness);
  expect_point_near(shapes[1].normals[0], {0, 0, 1});
  // Normals go through the inverse transpose: (1, 1, 0) under Scale 2 1 1 becomes (0.5, 1, 0).
  const double l = std::sqrt(1.25);
  expect_point_near(shapes[2].normals[0], {0.5 / l, 1 / l, 0});
}

TEST(named_coordinate_systems, are_saved_and_restored_and_camera_is_world_from_camera) {
  auto saved = corners_after(
      "Translate 1 2 3\nCoordinateSystem \"here\"\nIdentity\nScale 5 5 5\nCoordSysTransform "
      "\"here\"");
  expect_point_near(saved[0], {2, 2, 3});
  parse_result r = parse(R"(LookAt 0 1 3.5  0 1 0  0 1 0
Camera "perspective"
WorldBegin
CoordSysTransform "camera"
Shape "trianglemesh" "point3 P" [0 0 1  1 0 1  0 1 1]
CoordSysTransform "world"
Shape "trianglemesh" "point3 P" [0 0 1  1 0 1  0 1 1]
)");
  ASSERT_EQ(r.scene.shapes.size(), 2u);
  // One unit ahead of the camera, and camera +x is world -x.
  expect_point_near(r.scene.shapes[0].positions[0], {0, 1, 2.5});
  expect_point_near(r.scene.shapes[0].positions[1], {-1, 1, 2.5});
  expect_point_near(r.scene.shapes[1].positions[0], {0, 0, 1});
  EXPECT_TRUE(r.warnings.empty());
}

TEST(named_coordinate_systems, an_unknown_name_warns_and_leaves_the_transformation) {
  parse_result r = parse_world(
      "Translate 1 0 0\nCoordSysTransform \"nowhere\"\n"
      "Shape \"trianglemesh\" \"point3 P\" [0 0 0  1 0 0  0 1 0]\n");
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_EQ(r.warnings[0].location.line, 3);
  EXPECT_NE(r.warnings[0].message.find("nowhere"), std::string::npos);
  expect_point_near(r.scene.shapes[0].positions[0], {1, 0, 0});
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
  ASSERT_EQ(r.scene.objects.size(), 1u);
  ASSERT_EQ(r.scene.instances.size(), 2u);
  expect_point_near(r.scene.objects[0].shapes[0].positions[0], {1, 0, 1});
  EXPECT_EQ(r.scene.instances[0].object, 0);
  EXPECT_TRUE(r.scene.instances[0].world_from_instance.is_identity());
  double3 p = r.scene.instances[1].world_from_instance.apply_point({1, 0, 0});
  EXPECT_NEAR(p[0], 0, 1e-12);
  EXPECT_NEAR(p[1], 4, 1e-12);
  EXPECT_TRUE(r.scene.shapes.empty());
}

TEST(includes, include_shares_the_graphics_state_and_import_keeps_its_own) {
  testing::file_map files{
      {"inc.pbrt", "Translate 1 0 0\nMaterial \"conductor\"\n"},
      {"sub/imp.pbrt",
       "Translate 0 1 0\nShape \"trianglemesh\" \"point3 P\" [0 0 0 1 0 0 0 1 0]\n"},
  };
  parse_result r = parse_world(R"(Import "sub/imp.pbrt"
Include "inc.pbrt"
Shape "trianglemesh" "point3 P" [0 0 0  1 0 0  0 1 0]
)",
                               files);
  ASSERT_EQ(r.scene.shapes.size(), 2u);
  expect_point_near(r.scene.shapes[0].positions[0], {0, 1, 0});
  EXPECT_EQ(r.scene.shapes[0].location.file, "sub/imp.pbrt");
  EXPECT_EQ(r.scene.shapes[0].location.line, 2);
  expect_point_near(r.scene.shapes[1].positions[0], {1, 0, 0});
  EXPECT_EQ(r.scene.materials[r.scene.shapes[1].material].type, material_type::conductor);
}

TEST(includes, resolve_against_the_including_file_then_the_main_file) {
  // "a/b.pbrt" includes "c.pbrt" (next to it) and "a/d.pbrt" (relative to the main file, as
  // pbrt-v4 resolves every path).
  testing::file_map files{
      {"a/b.pbrt", "Include \"c.pbrt\"\nInclude \"a/d.pbrt\"\n"},
      {"a/c.pbrt", "Shape \"sphere\"\n"},
      {"a/d.pbrt", "Shape \"sphere\"\n"},
  };
  parse_result r = parse_world("Include \"a/b.pbrt\"\n", files);
  ASSERT_EQ(r.scene.shapes.size(), 2u);
  EXPECT_EQ(r.scene.shapes[0].location.file, "a/c.pbrt");
  EXPECT_EQ(r.scene.shapes[1].location.file, "a/d.pbrt");
}

TEST(active_transform, end_time_transformations_are_ignored_with_one_warning) {
  parse_result r = parse_world(R"(ActiveTransform EndTime
Translate 5 0 0
Translate 5 0 0
ActiveTransform EndTime
ActiveTransform All
Translate 0 1 0
Shape "trianglemesh" "point3 P" [0 0 0  1 0 0  0 1 0]
)");
  expect_point_near(r.scene.shapes[0].positions[0], {0, 1, 0});
  EXPECT_EQ(r.warnings.size(), 1u);
}

TEST(lights, spot_light_placement_follows_from_to_and_the_transformation) {
  parse_result r = parse_world(R"(Translate 0 10 0
LightSource "spot" "point3 from" [1 0 0] "point3 to" [1 -1 0]
)");
  ASSERT_EQ(r.scene.lights.size(), 1u);
  const light_description& l = r.scene.lights[0];
  EXPECT_NEAR(l.from[1], 10, 1e-12);
  EXPECT_NEAR(l.to[1], 9, 1e-12);
  EXPECT_NEAR(l.direction[1], -1, 1e-12);
  // The light's own +z axis is the spot's axis, and its origin the spot's position.
  double3 axis = l.world_from_light.apply_vector({0, 0, 1});
  EXPECT_NEAR(axis[0], 0, 1e-12);
  EXPECT_NEAR(axis[1], -1, 1e-12);
  EXPECT_NEAR(axis[2], 0, 1e-12);
  double3 origin = l.world_from_light.apply_point({0, 0, 0});
  EXPECT_NEAR(origin[0], 1, 1e-12);
  EXPECT_NEAR(origin[1], 10, 1e-12);
}

}  // namespace
}  // namespace qor::scene
