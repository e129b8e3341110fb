// What the builder makes of shapes and the options, and the engine's kinds of materials and
// lights, against values computed by hand from pbrt-v4's definitions.
#include <array>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "engine/scene/spectra.h"
#include "engine/scene/vector_math.h"
#include "tests/engine/scene_test_util.h"

namespace qor::scene {
namespace {

using testing::parse;
using testing::parse_world;

double3 widen(const float3& p) {
  return {p[0], p[1], p[2]};
}

double3 up(const double3&) {
  return {0, 0, 1};
}

// Each tessellated shape against its analytic surface: every vertex on it (bounds included),
// every triangle's pbrt normal cross(p0 - p2, p1 - p2) and every vertex normal facing `outward`
// (vertex normals the other way under ReverseOrientation, the winding unchanged).
TEST(tessellated_shapes, lie_on_their_surface_and_face_pbrts_normal_direction) {
  const struct {
    const char* world;
    double (*off)(const double3& p);  // 0 on the surface and inside its bounds
    double3 (*outward)(const double3& p);
    size_t triangles;  // 0: not pinned, and the shape has vertex normals
  } cases[] = {
      {"Scale 1 2 1\nShape \"sphere\"",
       [](const double3& p) { return std::abs(p[0] * p[0] + p[1] * p[1] / 4 + p[2] * p[2] - 1); },
       [](const double3& p) { return p; }, 0},
      {"Shape \"sphere\" \"float radius\" 2 \"float zmax\" 0 \"float phimax\" 90",
       [](const double3& p) {
         return std::abs(dot(p, p) - 4) + std::max({0.0, p[2], -p[0], -p[1]});
       },
       [](const double3& p) { return p; }, 0},
      {"Shape \"disk\" \"float height\" 0.5 \"float radius\" 1 \"float innerradius\" 0.5",
       [](const double3& p) {
         const double r = std::hypot(p[0], p[1]);
         return std::abs(p[2] - 0.5) + std::max({0.0, 0.5 - r, r - 1});
       },
       up, 0},
      {"ReverseOrientation\nShape \"disk\"",
       [](const double3& p) { return std::abs(p[2]) + std::max(0.0, std::hypot(p[0], p[1]) - 1); },
       up, 0},
      {"Shape \"cylinder\" \"float radius\" 0.5 \"float zmin\" -1 \"float zmax\" 2",
       [](const double3& p) {
         return std::abs(std::hypot(p[0], p[1]) - 0.5) + std::max({0.0, -1 - p[2], p[2] - 2});
       },
       [](const double3& p) {
         return double3{p[0], p[1], 0};
       },
       0},
      // A planar patch is two triangles; p11 lifted makes z = x y, normal (-y, -x, 1), a grid.
      {"Shape \"bilinearmesh\" \"point3 P\" [0 0 0  1 0 0  0 1 0  1 1 0]",
       [](const double3& p) { return std::abs(p[2]); }, up, 2},
      {"Shape \"bilinearmesh\" \"point3 P\" [0 0 0  1 0 0  0 1 0  1 1 1] \"integer indices\" [0 1 "
       "2 3]",
       [](const double3& p) { return std::abs(p[2] - p[0] * p[1]); },
       [](const double3& p) {
         return double3{-p[1], -p[0], 1};
       },
       2 * 8 * 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.world);
    const parse_result r = parse_world(std::string(c.world) + "\n");
    ASSERT_EQ(r.scene.shapes.size(), 1u);
    const shape_description& s = r.scene.shapes[0];
    ASSERT_EQ(s.kind, geometry_kind::triangle_mesh);
    ASSERT_FALSE(s.indices.empty());
    if (c.triangles) {
      EXPECT_EQ(s.indices.size(), 3 * c.triangles);
    }
    for (const float3& p : s.positions) EXPECT_NEAR(c.off(widen(p)), 0, 1e-5) << text(widen(p));
    for (size_t t = 0; t + 2 < s.indices.size(); t += 3) {
      const double3 p0 = widen(s.positions[s.indices[t]]),
                    p1 = widen(s.positions[s.indices[t + 1]]),
                    p2 = widen(s.positions[s.indices[t + 2]]);
      const double3 centroid{(p0[0] + p1[0] + p2[0]) / 3, (p0[1] + p1[1] + p2[1]) / 3,
                             (p0[2] + p1[2] + p2[2]) / 3};
      EXPECT_GT(dot(cross(sub(p0, p2), sub(p1, p2)), c.outward(centroid)), 0) << "triangle " << t;
    }
    EXPECT_EQ(s.uv.size(), s.positions.size());
    EXPECT_EQ(s.normals.size(), c.triangles ? 0 : s.positions.size());  // patches have none
    const double side = s.reverse_orientation ? -1 : 1;
    for (size_t v = 0; v < s.normals.size(); v++) {
      EXPECT_GT(side * dot(widen(s.normals[v]), c.outward(widen(s.positions[v]))), 0) << v;
      EXPECT_NEAR(length(widen(s.normals[v])), 1, 1e-5) << v;
    }
  }
}

// Triangle meshes keep their uv (pbrt-v3's "st" too) and normals; mismatched normals are dropped
// with a warning (see the warnings' tests). A sphere under a similarity stays a sphere.
TEST(shapes, meshes_keep_uv_and_normals_and_spheres_stay_spheres_under_a_similarity) {
  parse_result r = parse_world(
      "Shape \"trianglemesh\" \"point3 P\" [0 0 0 1 0 0 0 1 0] \"point2 uv\" [0 0 1 0 0 1]\n"
      "Shape \"trianglemesh\" \"point3 P\" [0 0 0 1 0 0 0 1 0] \"float st\" [0 0 1 0 0 1]\n"
      "Translate 1 2 3\nRotate 30 1 1 0\nScale -2 2 2\nShape \"sphere\" \"float radius\" 0.5\n"
      "Identity\nScale 2 1 1\n"
      "Shape \"trianglemesh\" \"point3 P\" [0 0 0 1 0 0 0 1 0] \"normal N\" [1 1 0 1 1 0 1 1 0]\n");
  EXPECT_TRUE(r.warnings.empty());
  ASSERT_EQ(r.scene.shapes.size(), 4u);
  EXPECT_EQ(r.scene.shapes[0].indices, (std::vector<uint32_t>{0, 1, 2}));
  EXPECT_FLOAT_EQ(r.scene.shapes[0].uv[1][0], 1);
  EXPECT_FLOAT_EQ(r.scene.shapes[1].uv[2][1], 1);
  const shape_description& ball = r.scene.shapes[2];
  ASSERT_EQ(ball.kind, geometry_kind::sphere);
  for (int i = 0; i < 3; i++) EXPECT_FLOAT_EQ(ball.center[i], i + 1);
  EXPECT_FLOAT_EQ(ball.radius, 1);
  EXPECT_TRUE(ball.transform_swaps_handedness);
  // Normals go through the inverse transpose: (1, 1, 0) under Scale 2 1 1 becomes (0.5, 1, 0).
  const float3 n = r.scene.shapes[3].normals.at(2);
  EXPECT_NEAR(n[0] * std::sqrt(1.25), 0.5, 1e-6);
  EXPECT_NEAR(n[1] * std::sqrt(1.25), 1, 1e-6);
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
  EXPECT_EQ(std::tuple(ball.shape, ball.two_sided, r.made.area_lights[1].shape),
            std::tuple(1u, true, 2u));
  const double sphere_area = 4 * std::numbers::pi;
  EXPECT_NEAR(ball.radiance.r, 6 * 9 / (std::numbers::pi * 2 * sphere_area), 1e-6);
  EXPECT_NEAR(ball.radiance.b, 12 * 9 / (std::numbers::pi * 2 * sphere_area), 1e-6);
  EXPECT_TRUE(r.warnings.empty());
}

// The light the engine makes of a LightSource, in a scene whose extent is the unit sphere.
std::unique_ptr<engine::scene_light> light(const testing::read_result& r, size_t i) {
  return r.made.lights.at(i).make({{0, 0, 0}, 1});
}

TEST(lights, power_illuminance_and_blackbody_normalise_as_in_pbrt) {
  const testing::read_result r = testing::read_world(
      R"(LightSource "point" "rgb I" [1 2 3] "float power" 100 "point3 from" [0 1 0]
AttributeBegin
  Translate 0 10 0
  LightSource "spot" "rgb I" [1 1 1] "float power" 10 "point3 from" [1 0 0] "point3 to" [1 -1 0]
AttributeEnd
LightSource "distant" "rgb L" [1 1 1] "float illuminance" 5 "point3 from" [0 0 0] "point3 to" [0 -2 0]
LightSource "point" "blackbody I" 2700 "float scale" 2
)");
  ASSERT_EQ(r.made.lights.size(), 4u);
  const double u[4] = {0, 0, 0, 0};
  // "power" is the whole light's; the spot's is over its cone, its fall-off band counted half.
  EXPECT_NEAR(light(r, 0)->total_power().b, 300, 1e-3);
  const auto spot = light(r, 1);
  EXPECT_NEAR(spot->total_power().g, 10, 1e-4);
  // A photon of its first numbers leaves the light's place, moved by Translate, along its axis.
  const engine::photon_start start = spot->emit(u);
  EXPECT_NEAR(std::hypot(start.origin.x - 1, start.origin.y - 10, start.origin.z), 0, 1e-12);
  EXPECT_NEAR(start.direction.y, -1, 1e-12);  // unit, so straight down
  engine::incident_light in;
  ASSERT_TRUE(light(r, 2)->incident({0, 0, 0}, 0.5, 0.5, in));
  EXPECT_FLOAT_EQ(in.irradiance.r, 5);
  EXPECT_NEAR(in.direction.y, 1, 1e-12);  // towards where the light comes from
  // A blackbody has unit luminance before its scale, and the colour of the Planckian locus:
  // linear sRGB of its chromaticity (x, y) = (0.4599, 0.4106) at 2700 K, times the scale.
  const engine::rgb p = light(r, 3)->total_power() * float(1 / (4 * std::numbers::pi));
  EXPECT_NEAR(luminance(rgb{p.r, p.g, p.b}), 2, 2e-3);
  for (int c = 0; c < 3; c++) EXPECT_NEAR(p[c], (rgb{3.87f, 1.608f, 0.384f})[c], 0.05) << c;
}

// A value --check prints for a material: "eta 1.5", or the three of "reflectance (r, g, b)";
// -1 for a value it does not print.
std::array<double, 3> printed(const engine::surface_material& m, const std::string& name) {
  std::array<double, 3> v{-1, -1, -1};
  const std::string text = m.settings();
  const size_t at = text.find(name + " ");
  if (at == std::string::npos) return v;
  const char* value = text.c_str() + at + name.size() + 1;
  if (std::sscanf(value, "(%lf, %lf, %lf", &v[0], &v[1], &v[2]) == 0)
    std::sscanf(value, "%lf", &v[0]);
  return v;
}

// The material a sphere after the directives gets, and the film colour of its reflectance. Spectra
// come as files (resolved beside the scene), inline pairs (linear between pairs, zero outside
// them) and measured tables. A conductor's Fresnel reflectance is taken per wavelength before its
// colour: a constant index gives the dielectric's 4 % in every channel; gold is red-yellow,
// silver and aluminium near-white, each within a few percent of the measured data's film colour.
TEST(materials, map_to_the_nearest_supported_material_with_its_film_colour) {
  const std::string diffuse = "Material \"diffuse\" \"spectrum reflectance\" ";
  const auto metal = [](const std::string& m) {
    return "Material \"conductor\" \"spectrum eta\" \"metal-" + m +
           "-eta\" \"spectrum k\" \"metal-" + m + "-k\"";
  };
  const auto grey = [](double v) { return std::array{v, v, v}; };
  const std::array<double, 3> copper = {0.953, 0.639, 0.538}, none = {-1, -1, -1};
  const struct {
    std::string text;
    const char* kind;
    std::array<double, 3> reflectance;  // -1: not checked
    double eta = -1;                    // < 0: not checked
    double tolerance = 0.005;
  } cases[] = {
      {"Material \"diffuse\" \"float reflectance\" 0.25", "diffuse", grey(0.25)},
      {diffuse + "\"grey.spd\"", "diffuse", grey(0.25), -1, 0.03},
      {diffuse + "[300 0.8 900 0.8]", "diffuse", grey(0.8), -1, 0.03},
      // Zero below 600 nm: a red beyond the sRGB gamut, its negative green and blue cut to 0.
      {diffuse + "[600 1 830 1]", "diffuse", {0.854, 0, 0}, -1, 0.03},
      {"Material \"dielectric\" \"spectrum eta\" \"glass-BK7\"", "dielectric", none, 1.5168},
      {"Material \"thindielectric\" \"float eta\" 1.33", "thindielectric", none, 1.33},
      // Conductors: ((n - 1)^2 + k^2) / ((n + 1)^2 + k^2) per wavelength.
      {"Material \"conductor\" \"rgb eta\" [1.5 1.5 1.5] \"rgb k\" [0 0 0]", "conductor",
       grey(0.04)},
      {"Material \"conductor\" \"spectrum eta\" [300 1.5 900 1.5] \"spectrum k\" [300 0 900 0]",
       "conductor", grey(0.04)},
      {metal("Au"), "conductor", {1.0, 0.784, 0.343}},
      {metal("Ag"), "conductor", {0.971, 0.960, 0.915}},
      {metal("Al"), "conductor", {0.913, 0.921, 0.924}},
      {"Material \"conductor\"", "conductor", copper},  // copper, pbrt-v4's default
      {"Material \"conductor\" \"rgb reflectance\" [0.7 0.7 0.7]", "conductor", grey(0.7)},
      {"Material \"coateddiffuse\" \"rgb reflectance\" [0.3 0.3 0.3] \"float eta\" 1.4",
       "coateddiffuse", grey(0.3), 1.4},
      // pbrt-v3's materials.
      {"Material \"matte\" \"rgb Kd\" [0.6 0.6 0.6]", "diffuse", grey(0.6)},
      {"Material \"glass\" \"float index\" 1.7", "dielectric", none, 1.7},
      {"Material \"mirror\"", "conductor", grey(0.9)},
      {"Material \"plastic\"", "coateddiffuse", grey(0.25), 1.5},
      {"Material \"metal\"", "conductor", copper},
      {"Material \"substrate\" \"rgb Kd\" [0.1 0.1 0.1]", "coateddiffuse", grey(0.1), 1.5},
      {"Material \"uber\" \"float index\" 1.6", "coateddiffuse", grey(0.25), 1.6},
      {"MakeNamedMaterial \"m\" \"string type\" \"matte\" \"color Kd\" [0.3 0.3 0.3]\n"
       "NamedMaterial \"m\"",
       "diffuse", grey(0.3)},
      // A named material may be used before it is defined.
      {"NamedMaterial \"late\"\nShape \"sphere\"\nMakeNamedMaterial \"late\" \"string type\" "
       "\"conductor\"",
       "conductor", copper},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const testing::read_result r = testing::read_world(
        c.text + "\nShape \"sphere\"\n", {{"grey.spd", "# constant\n350 0.25\n900 0.25\n"}});
    for (const scene_warning& w : r.warnings) ADD_FAILURE() << to_string(w);
    const engine::surface_material& m = *r.made.materials.at(r.scene.shapes.at(0).material);
    EXPECT_STREQ(m.kind_name, c.kind);
    const std::array<double, 3> rho = printed(m, "reflectance");
    for (int i = 0; i < 3 && c.reflectance[0] >= 0; i++)
      EXPECT_NEAR(rho[i], c.reflectance[i], c.tolerance) << i;
    if (c.eta >= 0) {
      EXPECT_NEAR(printed(m, "eta")[0], c.eta, 1e-4);
    }
  }
}

// The options block: film, camera, crop window (pixel bounds as pbrt computes them) and the
// iterations and photons of the integrator, whose count wins over the sampler's given after it.
TEST(options, film_camera_crop_window_and_integrator_settings) {
  parse_result r = parse(
      "Film \"rgb\" \"integer xresolution\" 100 \"integer yresolution\" 50 \"float cropwindow\" "
      "[0.75 0.25 0.1 0.9] \"string filename\" \"out.exr\"\n"
      "Camera \"perspective\" \"float fov\" 30 \"float lensradius\" 0.1 \"float focaldistance\" 4 "
      "\"float screenwindow\" [-1 1 -0.5 0.5]\n"
      "Integrator \"sppm\" \"integer numiterations\" 20 \"integer photonsperiteration\" 5000 "
      "\"float radius\" 0.04\nSampler \"halton\" \"integer pixelsamples\" 8\nWorldBegin\n");
  EXPECT_TRUE(r.warnings.empty());
  const film_description& f = r.scene.film;
  EXPECT_EQ(f.filename, "out.exr");
  EXPECT_EQ((std::array{f.crop_window[0], f.crop_window[1]}), (std::array{0.25f, 0.75f}));
  EXPECT_EQ((std::array{f.pixel_x0, f.pixel_x1, f.pixel_y0, f.pixel_y1}),
            (std::array{25, 75, 5, 45}));
  const camera_description& c = r.scene.camera;
  EXPECT_EQ((std::array{c.fov, c.lens_radius, c.focal_distance}), (std::array{30.0f, 0.1f, 4.0f}));
  ASSERT_TRUE(c.screen_window.has_value());
  EXPECT_FLOAT_EQ((*c.screen_window)[2], -0.5f);
  EXPECT_EQ(c.location.line, 2);
  const render_settings& s = r.scene.settings;
  EXPECT_EQ(std::tuple(s.iterations, s.photons_per_iteration, s.radius, s.integrator),
            std::tuple(20, int64_t(5000), 0.04f, std::string("sppm")));
  const scene_description defaults = parse("WorldBegin\n").scene;
  EXPECT_EQ((std::array{defaults.film.xresolution, defaults.film.pixel_y1}),
            (std::array{1280, 720}));
  EXPECT_FALSE(defaults.camera.given);
  EXPECT_FLOAT_EQ(defaults.camera.fov, 90);
}

}  // namespace
}  // namespace qor::scene
