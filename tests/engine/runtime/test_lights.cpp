// Lights: the photons each kind emits (power, directions, positions), the light list and the
// emitter queries, direct light with shadows, and the Fresnel terms that split photons at glass.
#include <cmath>
#include <memory>

#include "engine/runtime/runtime.h"
#include "engine/runtime/scattering.h"
#include "tests/engine/runtime_test_support.h"

using namespace runtime_test;
using engine::pi;

namespace {

using photon_bench = recording_engine;

// A black sphere around everything: every photon is stored once, where it first lands.
engine::traceable_scene enclosed(double radius = 5.0) {
  engine::traceable_scene s = empty_scene();
  s.materials[0] = diffuse({0, 0, 0});
  s.shapes.push_back(sphere({0, 0, 0}, radius, 0));
  return s;
}

struct moments {
  double mean = 0, variance = 0;
  template <typename F>
  moments(const std::vector<stored_photon>& photons, F value) {
    for (const stored_photon& p : photons) mean += value(p);
    mean /= double(photons.size());
    for (const stored_photon& p : photons) variance += std::pow(value(p) - mean, 2);
    variance /= double(photons.size() - 1);
  }
  double error_of_mean(size_t n) const { return std::sqrt(variance / double(n)); }
};

void expect_power(const rgb& got, const rgb& expected) {
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(got[c], expected[c], 1e-5 * std::max(1.0f, expected[c]));
}

}  // namespace

TEST(lights, point_light_photons_carry_four_pi_i_and_leave_uniformly) {
  engine::traceable_scene s = enclosed();
  const vec3 position{0.5, -0.25, 0.1};
  s.lights.push_back(light_from(R"("point" "rgb I" [1 2 3] "point3 from" [0.5 -0.25 0.1])"));
  photon_bench bench(s);
  const int n = 20000;
  bench.emit(n, bench.light(0), nullptr);
  const auto& photons = bench.illum.photons;
  ASSERT_EQ(photons.size(), size_t(n));  // a black surface ends every path at its first hit
  for (const stored_photon& p : photons) {
    expect_power(p.power, {float(4 * pi), float(8 * pi), float(12 * pi)});
    EXPECT_EQ(p.type, qor_ray_photon);
    EXPECT_EQ(p.flags, 0x1100u);  // the module's bits kept; never caustic on the first segment
    EXPECT_NEAR(engine::length(p.position - position), p.max_distance, 1e-6);
    // The sphere is seen from inside, from behind: both normals turn to face the photon.
    EXPECT_LT(engine::dot(p.shading_normal, p.direction), 0);
    EXPECT_LT(engine::dot(p.geometric_normal, p.direction), 0);
  }
  const moments z(photons, [](const stored_photon& p) { return p.direction.z; });
  const moments z2(photons, [](const stored_photon& p) { return p.direction.z * p.direction.z; });
  EXPECT_NEAR(z.mean, 0.0, 5 * z.error_of_mean(n));
  EXPECT_NEAR(z2.mean, 1.0 / 3.0, 5 * z2.error_of_mean(n));
}

TEST(lights, spot_light_photons_stay_in_the_cone_and_average_its_power) {
  engine::traceable_scene s = enclosed();
  s.lights.push_back(light_from(R"("spot" "rgb I" [2 2 2] "point3 to" [0 0 -1]
      "float coneangle" 30 "float conedeltaangle" 10)"));
  const double cos_falloff_end = std::cos(30 * pi / 180);
  const double cos_falloff_start = std::cos(20 * pi / 180);
  photon_bench bench(s);
  const int n = 40000;
  bench.emit(n, bench.light(0), nullptr);
  const auto& photons = bench.illum.photons;
  ASSERT_EQ(photons.size(), size_t(n));
  const float full = float(2 * 2 * pi * (1 - cos_falloff_end));
  for (const stored_photon& p : photons) {
    const double c = -p.direction.z;
    EXPECT_GE(c, cos_falloff_end - 1e-9);
    if (c >= cos_falloff_start) {
      EXPECT_NEAR(p.power.g, full, 1e-4 * full);
    } else {
      EXPECT_LE(p.power.g, full);
    }
  }
  const double phi =
      2 * 2 * pi * ((1 - cos_falloff_start) + (cos_falloff_start - cos_falloff_end) / 2);
  const moments power(photons, [](const stored_photon& p) { return double(p.power.g); });
  EXPECT_NEAR(power.mean, phi, 5 * power.error_of_mean(n));
  EXPECT_NEAR(bench.light(0)->power(), float(phi), 1e-4 * phi);
}

TEST(lights, distant_light_delivers_its_irradiance_to_a_facing_square) {
  engine::traceable_scene s = empty_scene();
  s.materials[0] = diffuse({0, 0, 0});
  s.shapes.push_back(square_z(0.0, 1.0, 0, true));   // the target, area 4
  s.shapes.push_back(square_z(-5.0, 2.0, 0, true));  // a floor that sets the scene's extent
  s.lights.push_back(light_from(R"("distant" "rgb L" [2 1 0.5] "point3 to" [0 0 -1])"));
  photon_bench bench(s);
  const int n = 40000;
  bench.emit(n, bench.light(0), nullptr);
  const double radius = std::sqrt(2 * 2 * 2 + 2.5 * 2.5);  // the bounding sphere of the scene
  double on_target = 0;
  for (const stored_photon& p : bench.illum.photons) {
    expect_power(p.power, {float(2 * pi * radius * radius), float(pi * radius * radius),
                           float(0.5 * pi * radius * radius)});
    EXPECT_NEAR(p.direction.z, -1.0, 1e-12);
    if (std::abs(p.position.z) < 1e-9) on_target += p.power.r;
  }
  // Flux through the square = irradiance x area; the photons carry it N times over.
  const double fraction = 4 / (pi * radius * radius);
  const double tolerance = 5 * std::sqrt(fraction * (1 - fraction) / n) / fraction;
  EXPECT_NEAR(on_target / n, 2.0 * 4, 8 * tolerance);
}

TEST(lights, one_sided_area_light_emits_cosine_weighted_from_its_front_face) {
  engine::traceable_scene s = enclosed();
  s.materials.push_back(diffuse({0, 0, 0}));
  s.lights.push_back(light_from(R"("point" "rgb I" [1 2 3])"));
  s.shapes.push_back(lit(square_z(0.0, 0.5, 1, false), 0));  // faces -z, area 1
  s.area_lights.push_back(emitter(1, {1, 0.5f, 0.25f}, false));
  photon_bench bench(s);
  // The light list: the lights, then the area lights, which emit through their object.
  qorLight* point = qor_lights(bench.engine.scene());
  qorLight* area = point->next;
  ASSERT_NE(area, nullptr);
  EXPECT_EQ(area->next, nullptr);
  EXPECT_EQ(area->kind(), int(engine::light_type::area));
  EXPECT_EQ(area->material, nullptr);  // enumerated once: through its object
  uint32_t count = 0;
  qorObject** objects = qor_get_emissive_objects(bench.engine.scene(), count);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(objects[0], area->object);
  // Shader query 6: the scalar power in watts, the mean of the RGB power.
  float power = 0;
  EXPECT_EQ(qor_call_info_shader(nullptr, point->material->shader, qor_shader_power, &power), 1);
  EXPECT_NEAR(power, 4 * pi * 2, 1e-4);
  EXPECT_EQ(qor_call_info_shader(nullptr, objects[0]->material->shader, qor_shader_power, &power),
            1);
  EXPECT_NEAR(power, pi * (1 + 0.5 + 0.25) / 3, 1e-5);
  // Query 746 takes the scene in the ray's place.
  EXPECT_EQ(qor_call_info_shader(reinterpret_cast<qorRay*>(&bench.engine.scene()),
                                 objects[0]->material->shader, qor_shader_prepare, nullptr),
            1);

  const int n = 20000;
  bench.emit(n, nullptr, area->object);
  const auto& photons = bench.illum.photons;
  ASSERT_EQ(photons.size(), size_t(n));
  for (const stored_photon& p : photons) {
    expect_power(p.power, {float(pi), float(pi / 2), float(pi / 4)});
    EXPECT_LT(p.direction.z, 0);
    EXPECT_LE(std::max(std::abs(p.origin.x), std::abs(p.origin.y)), 0.5);
    EXPECT_NEAR(p.origin.z, 0, 1e-3);  // just off the panel
  }
  const moments c(photons, [](const stored_photon& p) { return -p.direction.z; });
  EXPECT_NEAR(c.mean, 2.0 / 3.0, 5 * c.error_of_mean(n));
  const moments steep(photons, [](const stored_photon& p) { return -p.direction.z > 0.5 ? 1 : 0; });
  EXPECT_NEAR(steep.mean, 0.75, 5 * steep.error_of_mean(n));  // sin^2(60 degrees)
  const moments x(photons, [](const stored_photon& p) { return p.origin.x; });
  EXPECT_NEAR(x.mean, 0.0, 5 * x.error_of_mean(n));
}

TEST(lights, two_sided_and_spherical_area_lights) {
  engine::traceable_scene s = enclosed();
  s.materials.push_back(diffuse({0, 0, 0}));
  s.shapes.push_back(lit(square_z(2.0, 0.5, 1, false), 0));
  s.shapes.push_back(lit(sphere({0, 0, -2}, 0.5, 1), 1));
  s.area_lights.push_back(emitter(1, {1, 1, 1}, true));
  s.area_lights.push_back(emitter(2, {3, 3, 3}, false));
  photon_bench bench(s);
  const int n = 10000;
  bench.emit(n, nullptr, bench.light(0)->object);
  int up = 0;
  for (const stored_photon& p : bench.illum.photons) {
    expect_power(p.power, rgb::gray(float(2 * pi)));  // L pi A, both faces
    up += p.direction.z > 0;
  }
  EXPECT_NEAR(double(up) / n, 0.5, 5 * std::sqrt(0.25 / n));

  bench.illum.photons.clear();
  bench.emit(n, nullptr, bench.light(1)->object);
  for (const stored_photon& p : bench.illum.photons) {
    expect_power(p.power, rgb::gray(float(3 * pi * 4 * pi * 0.25)));
    const vec3 from_center = p.origin - vec3{0, 0, -2};
    EXPECT_NEAR(engine::length(from_center), 0.5, 1e-3);
    EXPECT_GT(engine::dot(from_center, p.direction), 0);  // outwards
  }
}

// Runs the light loop a module runs at a hit (slot 4 of every light, then the shadow test when
// the options ask for it) at the origin of a floor facing +z.
rgb direct_light_at_origin(const engine::traceable_scene& s, char shadow_mode) {
  photon_bench bench(s);
  qorScene& scene = bench.engine.scene();
  scene.options.shadow_mode = shadow_mode;
  qorRay* ray = qor_get_primary_ray(scene, 0, qor_ray_camera);
  ray->material = &scene.materials[0]->record;
  vec3{0, 0, 0}.store(ray->hit_position);
  vec3{0, 0, 1}.store(ray->shading_normal);
  vec3{0, 0, 1}.store(ray->geometric_normal);
  float result[3] = {0, 0, 0};
  qorRay* light_ray = ray->new_ray(qor_ray_light);
  for (qorLight* light = qor_lights(*ray); light != nullptr; light = light->next) {
    light->add_direct_light(result, *ray, *light_ray);
  }
  if (qor_options(*ray).shadow_mode == 's') qor_evaluate_shadows(result, *ray, *light_ray);
  light_ray->delete_ray();
  ray->delete_ray();
  return {result[0], result[1], result[2]};
}

TEST(lights, direct_light_from_a_point_light_falls_off_and_is_shadowed) {
  engine::traceable_scene s = empty_scene();
  s.materials[0] = diffuse({0.8f, 0.4f, 0.2f});
  s.shapes.push_back(square_z(0.0, 5.0, 0, true));
  s.lights.push_back(light_from(R"("point" "rgb I" [10 10 10] "point3 from" [1 0 2])"));
  // E = I cos / d^2 with d^2 = 5 and cos = 2 / sqrt(5); reflected radiance albedo / pi x E.
  const double e = 10 * (2 / std::sqrt(5.0)) / 5;
  const rgb lit = direct_light_at_origin(s, 's');
  EXPECT_NEAR(lit.r, 0.8 / pi * e, 1e-5);
  EXPECT_NEAR(lit.b, 0.2 / pi * e, 1e-5);

  s.shapes.push_back(square_z(1.0, 0.6, 0, false));  // a blocker between the point and the light
  EXPECT_EQ(direct_light_at_origin(s, 's').r, 0.0f);
  // Without the shadow test the light is unshadowed, as the options record promises.
  EXPECT_NEAR(direct_light_at_origin(s, 'n').r, 0.8 / pi * e, 1e-5);

  // Below the floor: it cannot light the top face.
  s.lights[0] = light_from(R"("point" "rgb I" [10 10 10] "point3 from" [0 0 -2])");
  EXPECT_EQ(direct_light_at_origin(s, 'n').r, 0.0f);
}

TEST(lights, area_light_direct_light_converges_to_the_form_factor) {
  engine::traceable_scene s = empty_scene();
  s.materials[0] = diffuse({1, 1, 1});
  const double a = 0.5, h = 1.0;
  s.shapes.push_back(lit(square_z(h, a, 0, false), 0));  // faces down onto the point below
  s.area_lights.push_back(emitter(0, {2, 2, 2}, false));
  photon_bench bench(s);
  qorScene& scene = bench.engine.scene();
  qorRay* ray = qor_get_primary_ray(scene, 0, qor_ray_camera);
  ray->material = &scene.materials[0]->record;
  vec3{0, 0, 0}.store(ray->hit_position);
  vec3{0, 0, 1}.store(ray->shading_normal);
  qorLight* light = qor_lights(scene);
  qorRay* light_ray = ray->new_ray(qor_ray_light);
  const int samples = 40000;
  double sum = 0;
  for (int i = 0; i < samples; ++i) {
    float result[3] = {0, 0, 0};
    light->add_direct_light(result, *ray, *light_ray);
    sum += result[0];
  }
  // Point-to-parallel-rectangle form factor, four a x a rectangles with a corner above the point.
  const double k = a / h, q = k / std::sqrt(1 + k * k);
  const double form_factor = 4 * (2 * q * std::atan(q)) / (2 * pi);
  const double expected = 1 / pi * (pi * 2 * form_factor);  // albedo / pi x pi L F
  EXPECT_NEAR(sum / samples, expected, 0.01 * expected);
  // Every sample recorded its shadow ray, aimed at the panel and stopping short of it.
  auto& tests = static_cast<engine::engine_ray*>(light_ray)->shadow_tests;
  EXPECT_EQ(tests.size(), size_t(samples));
  EXPECT_LT(tests.front().distance, h / tests.front().direction.z);
  light_ray->delete_ray();
  ray->delete_ray();
}

TEST(lights, fresnel_terms_of_a_dielectric) {
  using engine::fresnel_dielectric;
  EXPECT_NEAR(fresnel_dielectric(1.0, 1.5), 0.04, 1e-12);
  EXPECT_NEAR(fresnel_dielectric(-1.0, 1.5), 0.04, 1e-12);  // the same from inside
  // At Brewster's angle only the perpendicular polarisation reflects.
  const double brewster = std::atan(1.5);
  const double ci = std::cos(brewster), ct = std::cos(pi / 2 - brewster);
  const double r_perp = (ci - 1.5 * ct) / (ci + 1.5 * ct);
  EXPECT_NEAR(fresnel_dielectric(ci, 1.5), r_perp * r_perp / 2, 1e-12);
  // Beyond the critical angle from inside, everything reflects.
  EXPECT_EQ(fresnel_dielectric(-std::cos(45 * pi / 180), 1.5), 1.0);
  // Reciprocity: the same reflectance from both sides of one refraction.
  const double cos_i = std::cos(50 * pi / 180);
  const double sin_t = std::sin(50 * pi / 180) / 1.5;
  const double cos_t = std::sqrt(1 - sin_t * sin_t);
  EXPECT_NEAR(fresnel_dielectric(cos_i, 1.5), fresnel_dielectric(-cos_t, 1.5), 1e-12);
  // A thin sheet reflects R + T^2 R / (1 - R^2) = 2R / (1 + R).
  const double r = fresnel_dielectric(cos_i, 1.5);
  EXPECT_NEAR(engine::fresnel_thin_dielectric(cos_i, 1.5), 2 * r / (1 + r), 1e-12);
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
    EXPECT_EQ(p.type, qor_ray_photon_specular);
    EXPECT_EQ(p.parent_type, qor_ray_photon);
    EXPECT_EQ(p.flags & qor_flag_caustic, uint32_t(qor_flag_caustic));
    if (p.position.z > 0) reflected += p.power.r;
    if (p.position.z < 0) transmitted += p.power.r;
  }
  ASSERT_GT(arrived, 1000);
  const double power = bench.light(0)->power();
  const double f = engine::fresnel_dielectric(std::cos(45 * pi / 180), 1.5);
  EXPECT_NEAR((reflected + transmitted) / (arrived * power), 1.0, 1e-5);
  EXPECT_NEAR(reflected / (arrived * power), f, 5 * std::sqrt(f * (1 - f) / arrived));
}
