// Photon paths: the ray types and flags of each segment, the parent chain, Russian roulette,
// and which random number decides what.
#include <cmath>

#include "engine/runtime/runtime.h"
#include "engine/runtime/scattering.h"
#include "tests/engine/runtime_test_support.h"

using namespace runtime_test;
using engine::pi;

namespace {

// One engine thread, a recording illumination object and a scripted random source in the
// thread's first slot, as a module's sampler would sit there.
struct path_bench : recording_engine {
  explicit path_bench(const engine::traceable_scene& s) : recording_engine(s) {
    engine.scene().context(0).record.random = &random;
  }
  scripted_random random;
};

// A point light at the origin between a mirror below (z = -1) and a diffuse ceiling (z = 2).
engine::traceable_scene mirror_under_ceiling(rgb ceiling, rgb mirror) {
  engine::traceable_scene s = empty_scene();
  s.materials[0] = diffuse(ceiling);
  s.materials.push_back(material_from("\"conductor\" \"rgb reflectance\" " + pbrt_rgb(mirror)));
  s.shapes.push_back(square_z(-1.0, 100, 1, true));
  s.shapes.push_back(square_z(2.0, 100, 0, false));
  s.lights.push_back(light_from(R"("point" "rgb I" [1 1 1])"));
  return s;
}

}  // namespace

TEST(photon_paths, segments_carry_their_type_the_caustic_flag_and_their_parent) {
  // A mirror below the light and a diffuse ceiling above it: light -> mirror -> ceiling (a
  // caustic hit) -> mirror -> ceiling (no longer caustic, since it met a diffuse surface).
  path_bench bench(mirror_under_ceiling({0.5f, 1.0f, 0.25f}, rgb::gray(0.5f)));
  bench.engine.options().max_photon_depth = 4;
  // u0 = 1 sends the photon straight down; (0.5, 0.5) sends a diffuse bounce along the normal.
  bench.random.values = {1, 0, 0, 0, 0, 0, 0, 0};
  bench.emit(1, bench.light(0));

  const auto& photons = bench.illum.photons;
  ASSERT_EQ(photons.size(), 2u);
  const float emitted = float(4 * pi);
  const stored_photon& caustic = photons[0];
  EXPECT_EQ(std::tuple(caustic.type, caustic.flags, caustic.parent_type),
            std::tuple(qor_ray_photon_specular, 0x1100u | qor_flag_caustic, qor_ray_photon));
  EXPECT_NEAR(caustic.position.z, 2.0, 1e-9);
  // From the mirror, where the segment began (just off it).
  EXPECT_NEAR(caustic.max_distance, 3.0, 1e-2);
  EXPECT_NEAR(caustic.power.g, emitted * 0.5f, 1e-4);
  ASSERT_TRUE(caustic.has_parent);
  EXPECT_NEAR(caustic.parent_hit.z, -1.0, 1e-9);

  const stored_photon& bounced = photons[1];
  EXPECT_EQ(std::tuple(bounced.type, bounced.flags, bounced.parent_type),
            std::tuple(qor_ray_photon_specular, 0x1100u, qor_ray_photon_diffuse));
  // Through the ceiling (albedo, survival probability 1) and the mirror twice.
  expect_near(bounced.power, rgb{0.5f, 1.0f, 0.25f} * (emitted * 0.25f), 1e-4);
  // Eight numbers up front, four per later hit: three more scatterings, and the fifth hit,
  // which draws its numbers before the depth limit ends the path.
  EXPECT_EQ(bench.random.draws, 8 + 4 * 4);
}

// Between a diffuse floor (albedo 0.6) and ceiling: numbers 0 and 1 aim a point light's photon, 2
// and 3 are drawn and left alone, 4 to 7 decide the first scattering event.
TEST(photon_paths, eight_numbers_every_path_with_fixed_roles) {
  engine::traceable_scene s = empty_scene();
  s.materials[0] = diffuse({0.6f, 0.6f, 0.6f});
  s.shapes.push_back(square_z(-1.0, 100, 0, true));
  s.shapes.push_back(square_z(3.0, 100, 0, false));
  s.lights.push_back(light_from(R"("point" "rgb I" [1 1 1])"));
  path_bench bench(s);
  bench.engine.options().max_photon_depth = 0;  // stored where it lands, never scattered
  auto landing = [&](std::initializer_list<float> numbers) {
    bench.illum.photons.clear();
    bench.random.values = numbers;
    bench.random.draws = 0;
    bench.emit(1, bench.light(0));
    EXPECT_EQ(bench.random.draws, 8);  // drawn whether or not the light or surface uses them
    EXPECT_EQ(bench.illum.photons.size(), 1u);
    return bench.illum.photons.empty() ? vec3{} : bench.illum.photons[0].position;
  };
  const vec3 a = landing({0.3f, 0.7f, 0.1f, 0.2f, 0.9f, 0.9f, 0.9f, 0.9f});
  EXPECT_NEAR(engine::length(a - landing({0.3f, 0.7f, 0.8f, 0.6f, 0.1f, 0.2f, 0.3f, 0.4f})), 0,
              1e-9);
  EXPECT_NEAR(engine::dot(engine::normalize(a), engine::sample_uniform_sphere(0.3f, 0.7f)), 1,
              1e-9);

  bench.engine.options().max_photon_depth = 1;
  // Roulette: number 5 against the albedo 0.6.
  bench.illum.photons.clear();
  bench.random.values = {1, 0, 0, 0, 0, 0.7f, 0.5f, 0.5f};
  bench.emit(1, bench.light(0));
  EXPECT_EQ(bench.illum.photons.size(), 1u);  // absorbed at the floor
  bench.illum.photons.clear();

  bench.random.values = {1, 0, 0, 0, 0, 0.5f, 0.9f, 0.25f};
  bench.emit(1, bench.light(0));
  ASSERT_EQ(bench.illum.photons.size(), 2u);
  const stored_photon& second = bench.illum.photons[1];
  EXPECT_EQ(std::tuple(second.type, second.flags), std::tuple(qor_ray_photon_diffuse, 0x1100u));
  // The survivor carries power / albedo x albedo: the emitted power again.
  EXPECT_NEAR(second.power.r, 4 * pi, 1e-4);
  // Its direction is the cosine-weighted direction that numbers 6 and 7 pick about the floor's
  // normal.
  const vec3 expected = engine::sample_cosine_hemisphere({0, 0, 1}, 0.9f, 0.25f);
  EXPECT_NEAR(engine::dot(second.direction, expected), 1.0, 1e-9);
  // That direction is the concentric disc's point, r at angle (pi/4)(b/a) or pi/2 - (pi/4)(a/b),
  // lifted onto the hemisphere, in each of the square's octants (the sample folds the angle and
  // swaps sine and cosine), and unit.
  for (const auto& [u1, u2] :
       {std::pair{0.9, 0.25}, {0.1, 0.3}, {0.6, 0.95}, {0.45, 0.02}, {0.3, 0.1}, {0.5, 0.5}}) {
    const double a = 2 * u1 - 1, b = 2 * u2 - 1, quarter = std::acos(-1.0) / 4;
    const bool wide = std::abs(a) > std::abs(b);
    const double r = wide ? a : b,
                 angle = wide ? quarter * (b / a) : 2 * quarter - quarter * (a / b);
    const double x = r == 0 ? 0 : r * std::cos(angle), y = r == 0 ? 0 : r * std::sin(angle);
    const vec3 d = engine::sample_cosine_hemisphere({0, 0, 1}, u1, u2);
    expect_near(d, {x, y, std::sqrt(1 - x * x - y * y)}, 1e-6);
    EXPECT_NEAR(engine::length(d), 1, 1e-12);
  }
}

TEST(photon_paths, interfaces_and_glass_pass_photons_on) {
  // An interface is invisible, a thin sheet lets a photon through unbent: the photon lands
  // straight below, having met one specular surface.
  engine::traceable_scene s = empty_scene();
  s.materials[0] = diffuse({0, 0, 0});
  s.materials.push_back(material_from(R"("interface")"));
  s.materials.push_back(material_from(R"("thindielectric")"));
  s.shapes.push_back(square_z(-0.5, 100, 1, true));
  s.shapes.push_back(square_z(-1.0, 100, 2, true));
  s.shapes.push_back(square_z(-2.0, 100, 0, true));
  s.lights.push_back(light_from(R"("point" "rgb I" [1 1 1])"));
  path_bench bench(s);
  bench.random.values = {1, 0, 0, 0, 0.99f, 0, 0, 0};  // number 4: transmit at the sheet
  bench.emit(1, bench.light(0));
  ASSERT_EQ(bench.illum.photons.size(), 1u);
  const stored_photon& p = bench.illum.photons[0];
  expect_near(p.position, {0, 0, -2}, 1e-9);
  EXPECT_EQ(std::tuple(p.type, p.flags),
            std::tuple(qor_ray_photon_specular, 0x1100u | qor_flag_caustic));
  EXPECT_NEAR(p.parent_hit.z, -1.0, 1e-9);  // the sheet, not the interface
}
