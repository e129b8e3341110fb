// Textures (their values over the shapes' (u, v), and their errors) and the rough microfacet
// lobes (energy, and agreement between what they sample and what they evaluate).
#include <OpenImageIO/imageio.h>

#include <numbers>
#include <random>

#include "engine/runtime/textures/texture.h"
#include "tests/engine/runtime_test_support.h"
#include "tests/engine/scene_test_util.h"
#include "tests/scratch_directory.h"

namespace {

using engine::rgb;
using engine::vec3;
namespace st = qor::scene::testing;

using texture_values = test_support::scratch_directory_test;

TEST_F(texture_values, follow_each_shapes_uv) {
  // A 2 x 2 8-bit image: black, black; then red and blue of sRGB code 188 (linear 0.5029).
  const std::string png = path("t.png");
  runtime_test::write_image(png, 2, 2, OIIO::TypeDesc::UINT8, [](int x, int y) {
    return y == 0 ? rgb{} : rgb{x == 0 ? 188 / 255.0f : 0, 0, x == 1 ? 188 / 255.0f : 0};
  });
  const std::string checks =
      "Texture \"c\" \"spectrum\" \"checkerboard\" \"float uscale\" 4 \"float vscale\" 2 "
      "\"rgb tex1\" [1 0 0] \"rgb tex2\" [0 0 1]\n";
  // A diffuse material of texture `t` on a shape: a sphere turned by Rotate -90 1 0 0 (its z to
  // world +y, its x staying world x), or the triangle (0 0 0) (1 0 0) (0 1 0) with `uv`.
  const auto on_sphere = [](const std::string& t) {
    return "Material \"diffuse\" \"texture reflectance\" \"" + t +
           "\"\nRotate -90 1 0 0\nShape \"sphere\"";
  };
  const auto on_triangle = [](const std::string& t, const std::string& uv = "") {
    return "Material \"diffuse\" \"texture reflectance\" \"" + t +
           "\"\nShape \"trianglemesh\" \"point3 P\" [0 0 0 1 0 0 0 1 0] " + uv +
           " \"integer indices\" [0 1 2]";
  };
  const std::string image = "Texture \"i\" \"spectrum\" \"imagemap\" \"string filename\" \"" + png;
  const std::string unit_uv = "\"point2 uv\" [0 0 1 0 0 1]";
  const struct {
    std::string world;
    vec3 p;  // on the triangle, also its barycentrics (b1, b2) = (x, y)
    rgb expected;
  } cases[] = {
      // u about the sphere's own z axis, v from its south pole: u ~ 0.03, v ~ 0.7: squares
      // (0, 1), odd; then v ~ 0.3: squares (0, 0), even.
      {checks + on_sphere("c"), {0.6, 0.8, 0.1}, {1, 0, 0}},
      {checks + on_sphere("c"), {0.6, -0.8, 0.1}, {0, 0, 1}},
      // A mesh's own uv, interpolated: uv (0.3, 0.1) -> squares (1, 0) -> odd.
      {checks + on_triangle("c", "\"point2 uv\" [0 0 0.6 0 0 0.2]"), {0.5, 0.5, 0}, {0, 0, 1}},
      // Without uv, pbrt's corners (0, 0) (1, 0) (1, 1): b = (0.1, 0.1) is uv (0.2, 0.1).
      {checks + on_triangle("c"), {0.1, 0.1, 0}, {1, 0, 0}},
      // scale, mix and constant, and a float texture as a mix's amount.
      {checks +
           "Texture \"h\" \"float\" \"constant\" \"float value\" 0.25\n"
           "Texture \"s\" \"spectrum\" \"scale\" \"texture tex\" \"c\" \"texture scale\" "
           "\"h\"\nTexture \"m\" \"spectrum\" \"mix\" \"texture tex1\" \"s\" \"rgb tex2\" "
           "[0 1 0] \"texture amount\" \"h\"\n" +
           on_triangle("m"),
       {0.1, 0.1, 0},
       {0.75f * 0.25f, 0.25f, 0}},
      // An 8-bit image is sRGB; (0, 0) is its bottom-left; the bottom-left texel's centre.
      {image + "\"\n" + on_triangle("i", unit_uv), {0.25, 0.25, 0}, {0.5029f, 0, 0}},
      // Repeat wraps, bilinear blends: (s, t) = (1, 1) is between the four texels, wrapped.
      {image + "\" \"string encoding\" \"linear\" \"float udelta\" 0.5 \"float vdelta\" 0.5\n" +
           on_triangle("i", unit_uv),
       {0.5, 0.5, 0},
       {188 / 255.0f / 4, 0, 188 / 255.0f / 4}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.world);
    const st::read_result r = st::read_world(c.world + "\n");
    for (const auto& w : r.warnings) ADD_FAILURE() << to_string(w);
    const engine::texture_point at(r.made, {-1, 0, 0}, c.p.x, c.p.y, c.p);
    const rgb got = r.made.materials[r.made.shapes[0].material]->diffuse_reflectance_at(at);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(got[i], c.expected[i], 2e-3) << "channel " << i;
  }
}

TEST(textures, bad_textures_are_errors_at_their_place) {
  const std::pair<const char*, const char*> cases[] = {
      {"Material \"diffuse\" \"texture reflectance\" ^\"nothing\"", "texture defined before it"},
      {"Texture \"f\" \"float\" \"constant\"\nMaterial \"diffuse\" \"texture reflectance\" ^\"f\"",
       "spectrum texture"},
      {"Texture \"c\" \"spectrum\" \"checkerboard\" \"integer dimension\" ^3", "expected 2"},
  };
  for (const auto& [marked, fragment] : cases) {
    SCOPED_TRACE(marked);
    const auto [text, where] = st::unmark("WorldBegin\n" + std::string(marked) + "\n");
    st::expect_error(st::error_of([&] { st::read(text); }), where, fragment);
  }
}

// For each rough lobe, seen from several angles: the mean power a photon keeps (the albedo) is at
// most 1, and close to 1 where a smooth-ish lobe loses little to masking; and the mean weight of
// a camera path's samples equals the integral over the sphere of what the lobe evaluates for
// direct light, so that photons, camera paths and direct light all see one surface. (Lobes
// narrower than alpha 0.2 are too peaked for the uniform integral to be checked this way.)
TEST(rough_lobes, conserve_energy_and_sample_what_they_evaluate) {
  const struct {
    const char* material;
    double min_albedo;  // at normal incidence from outside
    bool integrable;    // wide enough to integrate uniformly
  } cases[] = {
      {"\"conductor\" \"rgb reflectance\" [1 1 1] \"float roughness\" 0.01", 0.98, false},
      {"\"conductor\" \"rgb reflectance\" [1 1 1] \"float roughness\" 0.5", 0.45, true},
      {"\"conductor\" \"float uroughness\" 0.05 \"float vroughness\" 0.4", 0.5, true},
      {"\"dielectric\" \"float eta\" 1.5 \"float roughness\" 0.1", 0.97, true},
      {"\"dielectric\" \"float eta\" 1.33 \"float roughness\" 0.5", 0.8, true},
      {"\"coatedconductor\" \"float interface.roughness\" 0.05 \"float conductor.roughness\" 0.3",
       0.3, true},
      {"\"coatedconductor\" \"rgb reflectance\" [1 1 1] \"float conductor.roughness\" 0.1 "
       "\"float thickness\" 0",
       0.7, true},
  };
  const vec3 normal{0, 0, 1};
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> uniform(0, 1);
  const engine::texture_point at(0, 0, {});
  // A conductor without absorption reflects as a dielectric of the same index at any angle.
  EXPECT_NEAR(engine::fresnel_conductor(0.5, rgb::gray(1.5f), {}).g,
              engine::fresnel_dielectric(0.5, 1.5), 1e-6);
  for (const auto& c : cases) {
    const auto material = runtime_test::material_from(c.material);
    ASSERT_TRUE(material->glossy()) << c.material;
    for (const double cos_i : {1.0, 0.5, 0.15}) {
      for (const double side : {1.0, -1.0}) {  // from outside, and from inside a dielectric
        SCOPED_TRACE(std::string(c.material) + " cos " + std::to_string(cos_i * side));
        const vec3 d{std::sqrt(1 - cos_i * cos_i), 0, -cos_i * side};
        const int n = 40000;
        rgb albedo, sampled, evaluated;
        for (int i = 0; i < n; ++i) {
          const engine::scatter_numbers u{uniform(random), uniform(random), uniform(random)};
          for (const bool radiance : {false, true}) {
            const engine::scattering e =
                engine::scatter(*material, d, normal, normal, u, at, radiance);
            if (e.kind != engine::scattering::kind_type::specular) continue;
            if (!radiance) albedo += e.weight * (1.0f / n);
            if (radiance && e.glossy) sampled += e.weight * (1.0f / n);
          }
          const vec3 wi = engine::sample_uniform_sphere(uniform(random), uniform(random));
          const engine::facing_normals facing(d, normal, normal);
          evaluated +=
              material->glossy_reflection(d, facing, wi, at) * float(4 * std::numbers::pi / n);
        }
        for (int ch = 0; ch < 3; ++ch) {
          EXPECT_LE(albedo[ch], 1.01);
          if (c.integrable) {
            EXPECT_NEAR(evaluated[ch], sampled[ch], 0.02 + 0.04 * sampled[ch]);
          }
        }
        if (cos_i == 1.0 && side > 0) {
          EXPECT_GE(albedo.max(), c.min_albedo);
        }
      }
    }
  }
}

// A white base under a coat reflects, with the coat's own reflection, all the light that arrives
// when the coat is smooth and thin (energy neither made nor lost by the bounces inside), and less
// when it is rough (light inside meets the facets several times and each loses a share to their
// masking, as single-scattering facets do) or thick: with thickness t = 0.2 the layer passes
// exp(-2t) straight through and 2 E3(t) of diffuse light each way (E3: the exponential integral),
// which gives 0.04 + 0.96 x 0.908 exp(-2t) / (2.25 (1 - 0.596 (2 E3(t))^2)) = 0.408. A grey
// base gives more than one pass through the coat would (R T_in T_out / eta^2 plus the coat's 2%:
// 0.28) and less than R.
TEST(coated_diffuse, bounces_inside_the_coat_conserve_energy) {
  const struct {
    const char* parameters;
    double low, high;  // of the light reflected at normal incidence
  } cases[] = {{"\"rgb reflectance\" [1 1 1] \"float thickness\" 0", 0.995, 1.005},
               {"\"rgb reflectance\" [1 1 1] \"float roughness\" 0.1", 0.6, 0.8},
               {"\"rgb reflectance\" [1 1 1] \"float thickness\" 0.2", 0.40, 0.42},
               {"\"rgb reflectance\" [0.5 0.5 0.5] \"float eta\" 1.33", 0.3, 0.45}};
  const engine::texture_point at(0, 0, {});
  const vec3 normal{0, 0, 1}, d{0, 0, -1};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.parameters);
    const auto m = runtime_test::material_from(std::string("\"coateddiffuse\" ") + c.parameters);
    double reflected = 0, escapes = 0;  // escapes: the base's diffuse light leaving the coat
    for (int j = 0; j < 200; ++j) {
      escapes += 2 * (j + 0.5) / 200 * m->coat_transmittance((j + 0.5) / 200) / 200;
    }
    const int n = 4000;
    for (int i = 0; i < n; ++i) {  // the branch, and the light leaving the base at cosine u
      const double u = (i + 0.5) / n;
      const engine::scattering e = engine::scatter(*m, d, normal, normal, {u, 0.5, 0.5}, at, false);
      if (e.kind == engine::scattering::kind_type::specular) reflected += e.weight.g / n;
      if (e.kind == engine::scattering::kind_type::diffuse) {
        reflected += m->diffuse_reflectance_at(at).g * escapes / n;
      }
    }
    EXPECT_GT(reflected, c.low);
    EXPECT_LT(reflected, c.high);
  }
}

}  // namespace
