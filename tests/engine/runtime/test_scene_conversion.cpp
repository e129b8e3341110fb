// From a parsed pbrt-v4 scene to the render-time scene and a running engine.
#include "engine/runtime/runtime.h"
#include "engine/runtime/scene_conversion.h"
#include "engine/scene/parse_scene.h"
#include "tests/engine/runtime_test_support.h"

using namespace runtime_test;
using engine::pi;

namespace {

engine::traceable_scene convert(const std::string& text) {
  const qor::scene::parse_result parsed = qor::scene::parse_scene_string(text, "test.pbrt");
  qor::scene::warning_sink warnings;
  return engine::build_traceable_scene(parsed.scene, warnings);
}

const char* const camera_header = R"(
LookAt 0 1 3.5  0 1 0  0 1 0
Camera "perspective" "float fov" 40 "float frameaspectratio" 0.5
Film "rgb" "integer xresolution" 64 "integer yresolution" 32
WorldBegin
)";

}  // namespace

TEST(scene_conversion, materials_shapes_and_orientation_carry_over) {
  const engine::traceable_scene s = convert(std::string(camera_header) + R"(
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
  Shape "trianglemesh" "point3 P" [0 0 0  1 0 0  1 1 0] "integer indices" [0 1 2]
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
}

TEST(scene_conversion, lights_keep_pbrt_units) {
  const engine::traceable_scene s = convert(std::string(camera_header) + R"(
LightSource "point" "rgb I" [1 2 3] "point3 from" [0 4 0]
LightSource "spot" "rgb I" [1 1 1] "point3 from" [0 0 0] "point3 to" [0 -1 0]
    "float coneangle" 40 "float conedeltaangle" 10
LightSource "distant" "rgb L" [2 2 2] "point3 from" [0 1 0] "point3 to" [0 0 0]
AttributeBegin
  AreaLightSource "diffuse" "rgb L" [1 1 1] "float power" 10
  Shape "trianglemesh" "point3 P" [0 0 0  2 0 0  2 1 0  0 1 0]
      "integer indices" [0 1 2  0 2 3]
AttributeEnd
AttributeBegin
  AreaLightSource "diffuse" "rgb L" [4 4 4] "bool twosided" true
  Shape "sphere" "float radius" 2
AttributeEnd
)");
  ASSERT_EQ(s.lights.size(), 3u);
  ASSERT_EQ(s.area_lights.size(), 2u);
  // "power" 10 on a mesh: each triangle emits 10 W, so each triangle's radiance is
  // 10 / (pi x its area).
  const engine::area_light_source& panel = s.area_lights[0];
  ASSERT_EQ(panel.triangle_scale.size(), 2u);
  EXPECT_NEAR(panel.radiance.r * panel.triangle_scale[0] * pi * 1.0, 10.0, 1e-4);
  EXPECT_EQ(s.shapes[panel.shape].area_light, 0);
  const engine::area_light_source& ball = s.area_lights[1];
  EXPECT_TRUE(ball.two_sided);
  EXPECT_TRUE(ball.triangle_scale.empty());
  EXPECT_FLOAT_EQ(ball.radiance.g, 4.0f);

  message_log log;
  engine::render_engine engine(s, settings(1), log.callbacks());
  qorLight* first = qor_lights(engine.scene());
  int count = 0;
  float panel_power = 0;
  for (qorLight* l = first; l != nullptr; l = l->next) {
    ++count;
    if (count == 4) panel_power = l->power();
  }
  EXPECT_EQ(count, 5);
  EXPECT_NEAR(panel_power, 20.0f, 1e-3);  // two triangles of 10 W
}
