// Lights: the photons each kind emits (power, directions, positions), the light list and the
// emitter queries, direct light with shadows, and the Fresnel terms that split photons at glass.
#include <cmath>
#include <functional>
#include <memory>

#include "engine/runtime/runtime.h"
#include "engine/runtime/scattering.h"
#include "tests/engine/runtime_test_support.h"

using namespace runtime_test;
using engine::pi;

namespace {

using photon_bench = recording_engine;

// Mean of f over the photons, and five standard errors of that mean (and float rounding).
std::pair<double, double> mean_and_margin(const std::vector<stored_photon>& photons,
                                          const std::function<double(const stored_photon&)>& f) {
  double sum = 0, square = 0;
  for (const stored_photon& p : photons) {
    sum += f(p);
    square += f(p) * f(p);
  }
  const double n = double(photons.size()), mean = sum / n;
  return {mean, 5 * std::sqrt(std::max(0.0, square / n - mean * mean) / n) + 1e-5 * std::abs(mean)};
}

}  // namespace

// Each kind in a black sphere of radius 5, so that every photon is stored once, where it first
// lands: the power each photon carries (fixed, or averaging the light's power), where it starts
// and where it goes, and one moment of its directions or starting points. Area lights emit
// through their object: one-sided towards -z, two-sided, and a sphere outwards.
TEST(lights, each_kind_emits_its_power_from_its_place_in_its_directions) {
  using scene_edit = std::function<void(engine::traceable_scene&)>;
  using statistic = std::function<double(const stored_photon&)>;
  const double cos_20 = std::cos(20 * pi / 180), cos_30 = std::cos(30 * pi / 180);
  const double spot_power = 2 * 2 * pi * ((1 - cos_20) + (cos_20 - cos_30) / 2);
  const auto area = [](engine::shape s, rgb L, bool two_sided) {
    return [=](engine::traceable_scene& scene) {
      scene.shapes.push_back(lit(s, 0));
      scene.area_lights.push_back(emitter(1, L, two_sided));
    };
  };
  const auto in_square = [](const stored_photon& p) {
    return std::max(std::abs(p.origin.x), std::abs(p.origin.y)) <= 0.5 &&
           std::abs(p.origin.z) < 1e-3;
  };
  const vec3 ball{0, 0, -2};
  const struct {
    scene_edit add;
    rgb fixed_power;    // every photon's power, or black where it varies
    double mean_power;  // the light's power: the mean over photons and channels
    std::function<bool(const stored_photon&)> valid;
    statistic moment;
    double moment_mean;
  } cases[] = {
      {[](engine::traceable_scene& s) {
         s.lights.push_back(light_from(R"("point" "rgb I" [1 2 3] "point3 from" [0.5 -0.25 0.1])"));
       },
       {float(4 * pi), float(8 * pi), float(12 * pi)},
       8 * pi,
       [](const stored_photon& p) {
         return engine::length(p.origin - vec3{0.5, -0.25, 0.1}) < 1e-6;
       },
       [](const stored_photon& p) { return p.direction.z * p.direction.z; },
       1.0 / 3},
      {[](engine::traceable_scene& s) {
         s.lights.push_back(light_from(R"("spot" "rgb I" [2 2 2] "point3 to" [0 0 -1]
             "float coneangle" 30 "float conedeltaangle" 10)"));
       },
       {},
       spot_power,
       [&](const stored_photon& p) {
         const double c = -p.direction.z;  // full power inside the inner cone, less outside
         return c >= cos_30 - 1e-9 &&
                (c < cos_20 ? p.power.g <= 4 * pi * (1 - cos_30)
                            : std::abs(p.power.g / (4 * pi * (1 - cos_30)) - 1) < 1e-4);
       },
       // Drawn uniformly over the outer cone, the fall-off in the power.
       [&](const stored_photon& p) { return -p.direction.z > cos_20 ? 1.0 : 0.0; },
       (1 - cos_20) / (1 - cos_30)},
      // L pi A from the front face only, cosine-weighted about -z.
      {area(square_z(0.0, 0.5, 0, false), {1, 0.5f, 0.25f}, false),
       {float(pi), float(pi / 2), float(pi / 4)},
       7 * pi / 12,
       [&](const stored_photon& p) { return p.direction.z < 0 && in_square(p); },
       [](const stored_photon& p) { return -p.direction.z; },
       2.0 / 3},
      // Both faces: twice the power, half of it upwards.
      {area(square_z(0.0, 0.5, 0, false), {1, 1, 1}, true), rgb::gray(float(2 * pi)), 2 * pi,
       in_square, [](const stored_photon& p) { return p.direction.z > 0 ? 1.0 : 0.0; }, 0.5},
      {area(sphere(ball, 0.5, 0), {3, 3, 3}, false), rgb::gray(float(3 * pi * pi)), 3 * pi * pi,
       [&](const stored_photon& p) {
         return std::abs(engine::length(p.origin - ball) - 0.5) < 1e-3 &&
                engine::dot(p.origin - ball, p.direction) > 0;
       },
       [&](const stored_photon& p) {
         return engine::dot(engine::normalize(p.origin - ball), p.direction);
       },
       2.0 / 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    engine::traceable_scene s = empty_scene();
    s.materials[0] = diffuse({0, 0, 0});
    s.shapes.push_back(sphere({0, 0, 0}, 5, 0));
    c.add(s);
    photon_bench bench(s);
    const int n = 20000;
    qorLight* light = bench.light(0);
    bench.emit(n, light->object ? nullptr : light, light->object);
    const auto& photons = bench.illum.photons;
    ASSERT_EQ(photons.size(), size_t(n));  // a black surface ends every path at its first hit
    int invalid = 0;
    for (const stored_photon& p : photons) {
      if (c.fixed_power.max() > 0) expect_near(p.power, c.fixed_power, 1e-5 * c.fixed_power.max());
      // The module's bits kept; never caustic on the first segment.
      EXPECT_EQ(std::tuple(p.type, p.flags), std::tuple(qor_ray_photon, 0x1100u));
      EXPECT_NEAR(engine::length(p.position - p.origin), p.max_distance, 1e-3);
      EXPECT_NEAR(engine::length(p.position), 5, 1e-4);
      // The sphere is seen from inside, from behind: both normals turn to face the photon.
      EXPECT_LT(engine::dot(p.shading_normal, p.direction), 0);
      EXPECT_LT(engine::dot(p.geometric_normal, p.direction), 0);
      invalid += !c.valid(p);
    }
    EXPECT_EQ(invalid, 0);
    const auto [power, power_margin] = mean_and_margin(
        photons, [](const stored_photon& p) { return (p.power.r + p.power.g + p.power.b) / 3; });
    EXPECT_NEAR(power, c.mean_power, power_margin);
    // Shader query 6 gives the same scalar power in watts.
    float queried = 0;
    const qorMaterial* record = light->object ? light->object->material : light->material;
    EXPECT_EQ(qor_call_info_shader(nullptr, record->shader, qor_shader_power, &queried), 1);
    EXPECT_NEAR(queried, c.mean_power, 1e-4 * c.mean_power);
    const auto [moment, margin] = mean_and_margin(photons, c.moment);
    EXPECT_NEAR(moment, c.moment_mean, margin + 1e-9);
  }
}

// Runs the light loop a module runs at a hit (slot 4 of every light, then the shadow test when
// the options ask for it) at the origin of a floor facing +z, `samples` times.
rgb direct_light_at_origin(const engine::traceable_scene& s, char shadow_mode, int samples = 1) {
  photon_bench bench(s);
  qorScene& scene = bench.engine.scene();
  scene.options.shadow_mode = shadow_mode;
  qorRay* ray = qor_get_primary_ray(scene, 0, qor_ray_camera);
  ray->material = &scene.materials[0]->record;
  vec3{0, 0, 0}.store(ray->hit_position);
  vec3{0, 0, 1}.store(ray->shading_normal);
  vec3{0, 0, 1}.store(ray->geometric_normal);
  rgb sum;
  qorRay* light_ray = ray->new_ray(qor_ray_light);
  for (int i = 0; i < samples; ++i) {
    float result[3] = {0, 0, 0};
    for (qorLight* light = qor_lights(*ray); light != nullptr; light = light->next) {
      light->add_direct_light(result, *ray, *light_ray);
    }
    if (qor_options(*ray).shadow_mode == 's') qor_evaluate_shadows(result, *ray, *light_ray);
    sum += rgb{result[0], result[1], result[2]} * (1.0f / float(samples));
  }
  light_ray->delete_ray();
  ray->delete_ray();
  return sum;
}

TEST(lights, direct_light_falls_off_is_shadowed_and_converges_to_the_form_factor) {
  engine::traceable_scene s = empty_scene();
  s.materials[0] = diffuse({0.8f, 0.4f, 0.2f});
  s.shapes.push_back(square_z(0.0, 5.0, 0, true));
  s.lights.push_back(light_from(R"("point" "rgb I" [10 10 10] "point3 from" [1 0 2])"));
  // E = I cos / d^2 with d^2 = 5 and cos = 2 / sqrt(5); reflected radiance albedo / pi x E.
  const double e = 10 * (2 / std::sqrt(5.0)) / 5;
  expect_near(direct_light_at_origin(s, 's'), rgb{0.8f, 0.4f, 0.2f} * float(e / pi), 1e-5);
  s.shapes.push_back(square_z(1.0, 0.6, 0, false));  // a blocker between the point and the light
  EXPECT_EQ(direct_light_at_origin(s, 's').r, 0.0f);
  // Without the shadow test the light is unshadowed, as the options record promises.
  EXPECT_NEAR(direct_light_at_origin(s, 'n').r, 0.8 / pi * e, 1e-5);
  // Below the floor: it cannot light the top face.
  s.lights[0] = light_from(R"("point" "rgb I" [10 10 10] "point3 from" [0 0 -2])");
  EXPECT_EQ(direct_light_at_origin(s, 'n').r, 0.0f);

  // A square panel of half-width a at height h facing down onto the point, shadow-tested: the
  // point-to-parallel-rectangle form factor of four a x a rectangles with a corner above it.
  engine::traceable_scene panel = empty_scene();
  panel.materials[0] = diffuse({1, 1, 1});
  const double a = 0.5, h = 1.0;
  panel.shapes.push_back(square_z(0.0, 5.0, 0, true));
  panel.shapes.push_back(lit(square_z(h, a, 0, false), 0));
  panel.area_lights.push_back(emitter(1, {2, 2, 2}, false));
  const double k = a / h, q = k / std::sqrt(1 + k * k);
  const double form_factor = 4 * (2 * q * std::atan(q)) / (2 * pi);
  const double expected = 1 / pi * (pi * 2 * form_factor);  // albedo / pi x pi L F
  EXPECT_NEAR(direct_light_at_origin(panel, 's', 40000).r, expected, 0.01 * expected);
}

TEST(lights, glass_sends_the_fresnel_share_of_photons_back_and_the_rest_through) {
  // Photons at 45 degrees onto the top of a glass block: a black floor inside the glass catches
  // the refracted ones, a black ceiling over half of the block the reflected ones. Each photon
  // keeps its power, so the two shares sum to the power that arrived.
  engine::traceable_scene s = empty_scene();
  s.materials[0] = diffuse({0, 0, 0});
  s.materials.push_back(material_from(R"("dielectric")"));
  const double h = 20;
  s.shapes.push_back(square_z(0.0, h, 1, true));    // glass top
  s.shapes.push_back(square_z(-3.0, h, 1, false));  // glass bottom
  s.shapes.push_back(square_z(-1.0, h, 0, true));   // floor, inside the glass
  s.shapes.push_back(quad({0, -h, 3}, {0, h, 3}, {h, h, 3}, {h, -h, 3}, 0));  // ceiling, x > 0
  s.lights.push_back(light_from(R"("distant" "point3 to" [1 0 -1])"));
  photon_bench bench(s);
  bench.emit(60000, bench.light(0), nullptr);
  double reflected = 0, transmitted = 0, arrived = 0;
  for (const stored_photon& p : bench.illum.photons) {
    // Photons that met the top face where the light reaches it past the ceiling, and whose
    // reflection the ceiling catches: -3 < x < 3 there.
    if (p.type == qor_ray_photon || std::abs(p.parent_hit.z) > 1e-9 ||
        std::abs(p.parent_hit.x) > 2.5 || std::abs(p.parent_hit.y) > h - 5) {
      continue;
    }
    arrived += 1;
    EXPECT_EQ(std::tuple(p.type, p.flags, p.parent_type),
              std::tuple(qor_ray_photon_specular, 0x1100u | qor_flag_caustic, qor_ray_photon));
    (p.position.z > 0 ? reflected : transmitted) += p.power.r;
  }
  // The distant light's photons leave evenly from a disc as wide as the scene's bounding sphere
  // (radius: its box's half-diagonal, sqrt(809)), each with radiance 1 times the disc's area: as
  // many reach the counted 5 x 30 patch as its area seen along the light covers of the disc.
  const double power = bench.light(0)->power(), disc = pi * 809;
  const double share = 150 * std::sqrt(0.5) / disc;
  EXPECT_NEAR(power, disc, 1e-4 * disc);
  EXPECT_NEAR(arrived, 60000 * share, 5 * std::sqrt(60000 * share));
  const double f = 0.0503;  // (r_s^2 + r_p^2) / 2 at 45 degrees into glass of index 1.5
  EXPECT_NEAR((reflected + transmitted) / (arrived * power), 1.0, 1e-5);
  EXPECT_NEAR(reflected / (arrived * power), f, 5 * std::sqrt(f * (1 - f) / arrived));
}
