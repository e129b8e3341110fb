// What the builder makes of shapes and the options, and the engine's kinds of materials and
// lights, against values computed by hand from pbrt-v4's definitions.
#include <cmath>
#include <cstdlib>
#include <numbers>

#include "engine/scene/spectra.h"
#include "engine/scene/vector_math.h"
#include "tests/engine/scene_test_util.h"

namespace qor::scene {
namespace {

using testing::parse;
using testing::parse_world;

// Between two stored vertices: the difference is taken in float, as the mesh holds them.
double3 sub(const float3& a, const float3& b) {
  return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}

// pbrt-v4's geometric normal of each triangle, cross(p0 - p2, p1 - p2), unnormalised.
std::vector<double3> triangle_normals(const shape_description& s) {
  std::vector<double3> out;
  for (size_t t = 0; t + 2 < s.indices.size(); t += 3) {
    const float3& p0 = s.positions[s.indices[t]];
    const float3& p1 = s.positions[s.indices[t + 1]];
    const float3& p2 = s.positions[s.indices[t + 2]];
    out.push_back(cross(sub(p0, p2), sub(p1, p2)));
  }
  return out;
}

double3 centroid(const shape_description& s, size_t t) {
  double3 c{0, 0, 0};
  for (int k = 0; k < 3; k++)
    for (int i = 0; i < 3; i++) c[i] += s.positions[s.indices[3 * t + k]][i] / 3;
  return c;
}

// The one shape the world directives make.
shape_description only_shape(const std::string& world) {
  parse_result r = parse_world(world);
  EXPECT_EQ(r.scene.shapes.size(), 1u);
  return r.scene.shapes.at(0);
}

TEST(spheres, stay_spheres_under_a_similarity) {
  const shape_description s = only_shape(
      "Translate 1 2 3\nRotate 30 1 1 0\nScale -2 2 2\nShape \"sphere\" \"float radius\" 0.5\n");
  ASSERT_EQ(s.kind, geometry_kind::sphere);
  for (int i = 0; i < 3; i++) EXPECT_FLOAT_EQ(s.center[i], i + 1);
  EXPECT_FLOAT_EQ(s.radius, 1);
  EXPECT_TRUE(s.transform_swaps_handedness);
}

TEST(spheres, become_outward_wound_meshes_under_a_non_uniform_scale) {
  const shape_description s = only_shape("Scale 1 2 1\nShape \"sphere\"\n");
  ASSERT_EQ(s.kind, geometry_kind::triangle_mesh);
  for (const float3& p : s.positions)
    EXPECT_NEAR(p[0] * p[0] + p[1] * p[1] / 4 + p[2] * p[2], 1, 1e-5);
  auto normals = triangle_normals(s);
  ASSERT_GT(normals.size(), 100u);
  for (size_t t = 0; t < normals.size(); t++)
    EXPECT_GT(dot(normals[t], centroid(s, t)), 0) << "triangle " << t << " faces inwards";
  ASSERT_EQ(s.normals.size(), s.positions.size());
  EXPECT_EQ(s.uv.size(), s.positions.size());
}

TEST(spheres, partial_ones_are_cut_where_pbrt_cuts_them) {
  const shape_description s =
      only_shape("Shape \"sphere\" \"float radius\" 2 \"float zmax\" 0 \"float phimax\" 90\n");
  ASSERT_EQ(s.kind, geometry_kind::triangle_mesh);
  for (const float3& p : s.positions) {
    EXPECT_LE(p[2], 1e-6);
    EXPECT_GE(p[0], -1e-6);
    EXPECT_GE(p[1], -1e-6);
    EXPECT_NEAR(p[0] * p[0] + p[1] * p[1] + p[2] * p[2], 4, 1e-4);
  }
}

TEST(disks_and_cylinders, are_tessellated_with_pbrts_normal_direction) {
  const shape_description disk = only_shape(
      "Shape \"disk\" \"float height\" 0.5 \"float radius\" 1 \"float innerradius\" 0.5\n");
  for (const float3& p : disk.positions) {
    double r = std::hypot(p[0], p[1]);
    EXPECT_GE(r, 0.5 - 1e-6);
    EXPECT_LE(r, 1 + 1e-6);
    EXPECT_FLOAT_EQ(p[2], 0.5f);
  }
  for (const double3& n : triangle_normals(disk)) EXPECT_GT(n[2], 0);

  const shape_description cylinder =
      only_shape("Shape \"cylinder\" \"float radius\" 0.5 \"float zmin\" -1 \"float zmax\" 2\n");
  auto normals = triangle_normals(cylinder);
  ASSERT_FALSE(normals.empty());
  for (size_t t = 0; t < normals.size(); t++) {
    double3 c = centroid(cylinder, t);
    EXPECT_GT(normals[t][0] * c[0] + normals[t][1] * c[1], 0);
    EXPECT_NEAR(normals[t][2], 0, 1e-6);
  }
  for (const float3& p : cylinder.positions) {
    EXPECT_GE(p[2], -1 - 1e-6);
    EXPECT_LE(p[2], 2 + 1e-6);
  }
  // ReverseOrientation flips the normals the file gives or the tessellation makes.
  const shape_description reversed = only_shape("ReverseOrientation\nShape \"disk\"\n");
  EXPECT_TRUE(reversed.reverse_orientation);
  for (const float3& n : reversed.normals) EXPECT_FLOAT_EQ(n[2], -1);
}

TEST(bilinear_patches, planar_ones_are_two_triangles_and_curved_ones_a_grid) {
  const shape_description flat =
      only_shape("Shape \"bilinearmesh\" \"point3 P\" [0 0 0  1 0 0  0 1 0  1 1 0]\n");
  EXPECT_EQ(flat.indices.size(), 6u);
  for (const double3& n : triangle_normals(flat)) EXPECT_GT(n[2], 0);

  // p11 lifted: the surface is z = x y, with normal (-y, -x, 1) up everywhere.
  const shape_description curved = only_shape(
      "Shape \"bilinearmesh\" \"point3 P\" [0 0 0  1 0 0  0 1 0  1 1 1] \"integer indices\" [0 1 2 "
      "3]\n");
  EXPECT_EQ(curved.indices.size(), 3u * 2 * 8 * 8);
  for (const float3& p : curved.positions) EXPECT_NEAR(p[2], p[0] * p[1], 1e-6);
  for (const double3& n : triangle_normals(curved)) EXPECT_GT(n[2], 0);
}

TEST(triangle_meshes, keep_normals_and_uv_and_drop_mismatched_ones_with_a_warning) {
  parse_result r = parse_world(
      "Shape \"trianglemesh\" \"point3 P\" [0 0 0 1 0 0 0 1 0] \"point2 uv\" [0 0 1 0 0 1]\n"
      "Shape \"trianglemesh\" \"point3 P\" [0 0 0 1 0 0 0 1 0] \"normal N\" [0 0 1]\n"
      "Shape \"trianglemesh\" \"point3 P\" [0 0 0 1 0 0 0 1 0] \"float st\" [0 0 1 0 0 1]\n");
  ASSERT_EQ(r.scene.shapes.size(), 3u);
  EXPECT_EQ(r.scene.shapes[0].indices, (std::vector<uint32_t>{0, 1, 2}));
  EXPECT_FLOAT_EQ(r.scene.shapes[0].uv[1][0], 1);
  EXPECT_TRUE(r.scene.shapes[1].normals.empty());
  EXPECT_FLOAT_EQ(r.scene.shapes[2].uv[2][1], 1);
  EXPECT_EQ(r.warnings.size(), 1u);  // for the normals only
}

TEST(area_lights, bind_to_the_shapes_of_their_attribute_block_and_share_its_power) {
  const testing::read_result r = testing::read_world(R"(Shape "sphere"
AttributeBegin
  AreaLightSource "diffuse" "rgb L" [2 3 4] "float scale" 3 "bool twosided" true "float power" 9
  Shape "sphere"
  Shape "disk"
AttributeEnd
Shape "sphere"
)");
  ASSERT_EQ(r.scene.shapes.size(), 4u);
  for (int i = 0; i < 4; i++) EXPECT_EQ(r.scene.shapes[i].area_light, i == 1 || i == 2 ? 0 : -1);
  // Each shape emits the power: L scale x 9 W / (pi x 2 sides x the shape's area).
  ASSERT_EQ(r.made.area_lights.size(), 2u);
  const engine::area_light_source& ball = r.made.area_lights[0];
  EXPECT_EQ(ball.shape, 1u);
  EXPECT_TRUE(ball.two_sided);
  const double sphere_area = 4 * std::numbers::pi;
  EXPECT_NEAR(ball.radiance.r, 6 * 9 / (std::numbers::pi * 2 * sphere_area), 1e-6);
  EXPECT_NEAR(ball.radiance.b, 12 * 9 / (std::numbers::pi * 2 * sphere_area), 1e-6);
  EXPECT_EQ(r.made.area_lights[1].shape, 2u);
  EXPECT_TRUE(r.warnings.empty());
}

// The light the engine makes of a LightSource, in a scene whose extent is the unit sphere.
std::unique_ptr<engine::scene_light> light(const testing::read_result& r, size_t i) {
  return r.made.lights.at(i).make({{0, 0, 0}, 1});
}

TEST(lights, power_and_illuminance_normalise_as_in_pbrt) {
  const testing::read_result r = testing::read_world(
      R"(LightSource "point" "rgb I" [1 2 3] "float power" 100 "point3 from" [0 1 0]
LightSource "spot" "rgb I" [1 1 1] "float power" 10
LightSource "distant" "rgb L" [1 1 1] "float illuminance" 5 "point3 from" [0 0 0] "point3 to" [0 -2 0]
LightSource "point" "rgb I" [1 2 3] "float scale" 2
)");
  ASSERT_EQ(r.made.lights.size(), 4u);
  const double u[4] = {0, 0, 0, 0};
  const auto point = light(r, 0);
  EXPECT_NEAR(point->total_power().r, 100, 1e-3);  // "power" is the whole light's
  EXPECT_NEAR(point->total_power().b, 300, 1e-3);
  EXPECT_NEAR(point->emit(u).origin.y, 1, 1e-12);
  EXPECT_EQ(point->kind(), int(engine::light_type::delta_position));
  // Spot: the power over the cone, its fall-off band counted half, is "power".
  EXPECT_NEAR(light(r, 1)->total_power().g, 10, 1e-4);
  engine::incident_light in;
  const auto distant = light(r, 2);
  ASSERT_TRUE(distant->incident({0, 0, 0}, 0.5, 0.5, in));
  EXPECT_FLOAT_EQ(in.irradiance.r, 5);
  EXPECT_NEAR(in.direction.y, 1, 1e-12);  // towards where the light comes from
  EXPECT_EQ(distant->kind(), int(engine::light_type::delta_direction));
  EXPECT_NEAR(light(r, 3)->total_power().b, 6 * 4 * std::numbers::pi, 1e-4);
}

TEST(lights, blackbody_emission_has_unit_luminance_before_scale) {
  const testing::read_result r = testing::read_world(
      "LightSource \"point\" \"blackbody I\" 6500 \"float scale\" 2\n"
      "LightSource \"point\" \"blackbody I\" 2700\n");
  auto intensity = [&](size_t i) {
    const engine::rgb p = light(r, i)->total_power() * float(1 / (4 * std::numbers::pi));
    return rgb{p.r, p.g, p.b};
  };
  const rgb daylight = intensity(0);
  EXPECT_NEAR(luminance(daylight), 2, 1e-3);
  for (float c : daylight) EXPECT_NEAR(c, 2, 0.2);  // close to white
  const rgb warm = intensity(1);
  EXPECT_NEAR(luminance(warm), 1, 1e-3);
  EXPECT_GT(warm[0], warm[1]);
  EXPECT_GT(warm[1], warm[2]);
}

// A value --check prints for a material ("eta 1.5", "reflectance (r, g, b)": its red), or -1.
double setting(const engine::surface_material& m, const std::string& name) {
  const std::string text = m.settings();
  const size_t at = text.find(name + " ");
  if (at == std::string::npos) return -1;
  const char* value = text.c_str() + at + name.size() + 1;
  return std::strtod(*value == '(' ? value + 1 : value, nullptr);
}

TEST(materials, map_to_the_nearest_supported_material) {
  const struct {
    const char* text;
    const char* kind;
    float reflectance_red;  // < 0: not checked
    float eta;              // < 0: not checked
  } cases[] = {
      {"Material \"diffuse\"", "diffuse", 0.5f, -1},
      {"Material \"diffuse\" \"rgb reflectance\" [0.2 0.3 0.4]", "diffuse", 0.2f, -1},
      {"Material \"diffuse\" \"float reflectance\" 0.25", "diffuse", 0.25f, -1},
      {"Material \"dielectric\"", "dielectric", -1, 1.5f},
      {"Material \"dielectric\" \"spectrum eta\" \"glass-BK7\"", "dielectric", -1, 1.5168f},
      {"Material \"thindielectric\" \"float eta\" 1.33", "thindielectric", -1, 1.33f},
      // Conductors: ((n - 1)^2 + k^2) / ((n + 1)^2 + k^2) of the red channel's index.
      {"Material \"conductor\"", "conductor", 0.9530f, -1},
      {"Material \"conductor\" \"spectrum eta\" \"metal-Au-eta\" \"spectrum k\" \"metal-Au-k\"",
       "conductor", 0.9999f, -1},
      {"Material \"conductor\" \"rgb eta\" [1.5 1.5 1.5] \"rgb k\" [0 0 0]", "conductor", 0.04f,
       -1},
      {"Material \"conductor\" \"rgb reflectance\" [0.7 0.7 0.7]", "conductor", 0.7f, -1},
      {"Material \"coateddiffuse\" \"rgb reflectance\" [0.3 0.3 0.3] \"float eta\" 1.4",
       "coateddiffuse", 0.3f, 1.4f},
      {"Material \"interface\"", "interface", -1, -1},
      // pbrt-v3's materials.
      {"Material \"matte\" \"rgb Kd\" [0.6 0.6 0.6]", "diffuse", 0.6f, -1},
      {"Material \"glass\" \"float index\" 1.7", "dielectric", -1, 1.7f},
      {"Material \"mirror\"", "conductor", 0.9f, -1},
      {"Material \"plastic\"", "coateddiffuse", 0.25f, 1.5f},
      {"Material \"metal\"", "conductor", 0.9530f, -1},
      {"Material \"substrate\" \"rgb Kd\" [0.1 0.1 0.1]", "coateddiffuse", 0.1f, 1.5f},
      {"Material \"uber\" \"float index\" 1.6", "coateddiffuse", 0.25f, 1.6f},
      {"MakeNamedMaterial \"m\" \"string type\" \"matte\" \"color Kd\" [0.3 0.3 0.3]\n"
       "NamedMaterial \"m\"",
       "diffuse", 0.3f, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const testing::read_result r = testing::read_world(std::string(c.text) + "\n");
    for (const scene_warning& w : r.warnings) ADD_FAILURE() << to_string(w);
    const engine::surface_material& m = *r.made.materials.back();
    EXPECT_STREQ(m.kind_name, c.kind);
    if (c.reflectance_red >= 0) {
      EXPECT_NEAR(setting(m, "reflectance"), c.reflectance_red, 1e-3);
    }
    if (c.eta >= 0) {
      EXPECT_NEAR(setting(m, "eta"), c.eta, 1e-4);
    }
  }
}

TEST(materials, named_materials_may_be_used_before_they_are_defined) {
  const testing::read_result r = testing::read_world(R"(NamedMaterial "late"
Shape "sphere"
MakeNamedMaterial "late" "string type" "conductor"
)");
  const engine::surface_material& m = *r.made.materials[r.scene.shapes[0].material];
  EXPECT_EQ(m.name, "late");
  EXPECT_STREQ(m.kind_name, "conductor");
}

TEST(options, film_and_camera_and_the_crop_windows_pixel_bounds_as_pbrt_computes_them) {
  parse_result r = parse(
      "Film \"rgb\" \"integer xresolution\" 100 \"integer yresolution\" 50 \"float cropwindow\" "
      "[0.75 0.25 0.1 0.9] \"string filename\" \"out.exr\"\n"
      "Camera \"perspective\" \"float fov\" 30 \"float lensradius\" 0.1 \"float focaldistance\" 4 "
      "\"float screenwindow\" [-1 1 -0.5 0.5]\nWorldBegin\n");
  const film_description& f = r.scene.film;
  EXPECT_EQ(f.filename, "out.exr");
  EXPECT_FLOAT_EQ(f.crop_window[0], 0.25f);
  EXPECT_FLOAT_EQ(f.crop_window[1], 0.75f);
  EXPECT_EQ((std::array{f.pixel_x0, f.pixel_x1, f.pixel_y0, f.pixel_y1}),
            (std::array{25, 75, 5, 45}));
  const camera_description& c = r.scene.camera;
  EXPECT_FLOAT_EQ(c.fov, 30);
  EXPECT_FLOAT_EQ(c.lens_radius, 0.1f);
  EXPECT_FLOAT_EQ(c.focal_distance, 4);
  ASSERT_TRUE(c.screen_window.has_value());
  EXPECT_FLOAT_EQ((*c.screen_window)[2], -0.5f);
  EXPECT_EQ(c.location.line, 2);
  parse_result defaults = parse("WorldBegin\n");
  EXPECT_EQ(defaults.scene.film.xresolution, 1280);
  EXPECT_EQ(defaults.scene.film.pixel_y1, 720);
  EXPECT_FALSE(defaults.scene.camera.given);
  EXPECT_FLOAT_EQ(defaults.scene.camera.fov, 90);
}

TEST(options, iterations_and_photons_from_sampler_and_integrator) {
  const std::string sampler = "Sampler \"halton\" \"integer pixelsamples\" 8\n";
  const std::string integrator =
      "Integrator \"sppm\" \"integer numiterations\" 20 \"integer photonsperiteration\" 5000 "
      "\"float radius\" 0.04\n";
  for (const std::string& text : {sampler + integrator, integrator + sampler}) {
    parse_result r = parse(text + "WorldBegin\n");
    EXPECT_EQ(r.scene.settings.iterations, 20);
    EXPECT_EQ(r.scene.settings.photons_per_iteration, 5000);
    EXPECT_FLOAT_EQ(r.scene.settings.radius, 0.04f);
    EXPECT_EQ(r.scene.settings.integrator, "sppm");
    EXPECT_TRUE(r.warnings.empty());
  }
  parse_result samples =
      parse(sampler + "Integrator \"sppm\" \"integer photonsperiteration\" -1\nWorldBegin\n");
  EXPECT_EQ(samples.scene.settings.iterations, 8);
  EXPECT_EQ(samples.scene.settings.photons_per_iteration, 0);
}

}  // namespace
}  // namespace qor::scene
