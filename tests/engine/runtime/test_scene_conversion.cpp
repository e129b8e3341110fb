// From a parsed pbrt-v4 scene to the render-time scene and a running engine.
#include "engine/runtime/runtime.h"
#include "tests/engine/runtime_test_support.h"

using namespace runtime_test;

TEST(scene_conversion, materials_orientation_and_light_units_carry_over_to_the_engine) {
  const engine::traceable_scene s = scene_from(R"(
Camera "perspective" "float fov" 40 "float frameaspectratio" 0.5
Film "rgb" "integer xresolution" 64 "integer yresolution" 32
WorldBegin
LightSource "point" "rgb I" [1 2 3] "point3 from" [0 4 0]
LightSource "distant" "rgb L" [2 2 2]
Material "dielectric" "float eta" 1.33
Shape "sphere" "float radius" 0.5
AttributeBegin
  ReverseOrientation
  Material "conductor" "rgb reflectance" [0.9 0.8 0.7]
  Translate 2 0 0
  Shape "sphere" "float radius" 0.25
AttributeEnd
AttributeBegin
  Scale -1 1 1
  Material "coateddiffuse" "rgb reflectance" [0.2 0.3 0.4]
  AreaLightSource "diffuse" "rgb L" [1 1 1] "float power" 10
  Shape "trianglemesh" "point3 P" [0 0 0  -2 0 0  -2 1 0  0 1 0] "integer indices" [0 1 2  0 2 3]
AttributeEnd
ReverseOrientation
Scale -1 1 1
Material "interface"
Shape "trianglemesh" "point3 P" [0 0 0  1 0 0  1 1 0] "integer indices" [0 1 2]
)");
  ASSERT_EQ(s.shapes.size(), 4u);
  // A frame taller than wide: the window spans [-1, 1] across and 1 / aspect up and down.
  EXPECT_EQ(s.view.screen_window, (std::array<float, 4>{-1, 1, -2, 2}));
  // ReverseOrientation or a mirroring transform flips the winding's normal (shapes 1 and 2), as
  // pbrt-v4 does; both together leave it (shape 3).
  const std::pair<const char*, bool> expected[] = {
      {"dielectric", false}, {"conductor", true}, {"coateddiffuse", true}, {"interface", false}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_STREQ(s.materials[s.shapes[i].material]->kind_name, expected[i].first) << "shape " << i;
    EXPECT_EQ(s.shapes[i].flip_normal, expected[i].second) << "shape " << i;
  }
  EXPECT_NEAR(s.shapes[1].center.x, 2.0, 1e-6);
  EXPECT_NEAR(s.shapes[1].radius, 0.25, 1e-6);
  // "power" 10 on a mesh: each triangle (area 1, mirrored or not) emits 10 W, so the light list
  // (the two lights, then the area light) holds a 20 W panel.
  recording_engine running(s);
  ASSERT_NE(running.light(2), nullptr);
  EXPECT_EQ(running.light(3), nullptr);
  EXPECT_NEAR(running.light(2)->power(), 20.0f, 1e-3);
}
