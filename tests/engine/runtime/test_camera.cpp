// The camera and the shading of camera rays: which pixel sees what, the camera and view
// records, paths through glass and mirrors, emission, ray differentials, diffuse continuations.
#include <cmath>
#include <sstream>

#include "engine/runtime/camera.h"
#include "engine/runtime/film_filter.h"
#include "engine/runtime/microfacet.h"
#include "engine/runtime/runtime.h"
#include "engine/scene/parse_scene.h"
#include "tests/engine/runtime_test_support.h"

using namespace runtime_test;
using engine::pi;

namespace {

// An engine whose illumination object records the shading calls, one thread, with the camera
// of `view` (the scene's own view when omitted).
struct camera_bench : recording_engine {
  explicit camera_bench(const engine::traceable_scene& s,
                        const engine::engine_settings& with = settings(1))
      : recording_engine(s, with) {
    ray = qor_get_primary_ray(engine.scene(), 0, qor_ray_camera);
  }
  ~camera_bench() { ray->delete_ray(); }

  bool trace(int x, int y, float dx = 0.5f, float dy = 0.5f) {
    return ray->trace_primary(color, x, y, dx, dy);
  }
  rgb colour() const { return {color[0], color[1], color[2]}; }

  qorRay* ray = nullptr;
  float color[3] = {0, 0, 0};
};

// A 40 degree view from `eye` towards `target`, y up.
engine::traceable_scene view(int width, int height, const vec3& eye, const vec3& target) {
  std::ostringstream text;
  text << "LookAt " << eye.x << ' ' << eye.y << ' ' << eye.z << ' ' << target.x << ' ' << target.y
       << ' ' << target.z << " 0 1 0\nCamera \"perspective\" \"float fov\" 40\nFilm \"rgb\" "
       << "\"integer xresolution\" " << width << " \"integer yresolution\" " << height
       << "\nWorldBegin\n";
  engine::traceable_scene s = scene_from(text.str());
  s.film.pixel_filter = {};  // sample offsets reach the camera unmapped: rays go where aimed
  s.materials = {diffuse({0.5f, 0.5f, 0.5f})};
  return s;
}

// The camera at the origin looking along +z, 64 x 64.
engine::traceable_scene forward_view() {
  return view(64, 64, {0, 0, 0}, {0, 0, 1});
}

}  // namespace

TEST(camera, camera_and_view_records) {
  engine::traceable_scene s = view(300, 200, {0, 1, 3.5}, {0, 1, 0});
  camera_bench bench(s);
  const qorCamera& camera = *qor_camera_get(bench.engine.scene());
  // The window is in units of the field of view: extent x fov in radians / pixels is a pixel's
  // width on the image plane at distance 1, which the module sizes its points by. pbrt's window
  // (the shorter axis spanning [-1, 1] in units of tan(fov / 2)) would make that about twice it.
  const double fov_radians = 40 * pi / 180;
  const double pixel_width = 2 * std::tan(20 * pi / 180) / 200;  // either axis: square pixels
  EXPECT_NEAR((camera.screen_left + camera.screen_right) * fov_radians / 300, pixel_width, 1e-9);
  EXPECT_NEAR((camera.screen_bottom + camera.screen_top) * fov_radians / 200, pixel_width, 1e-9);
  // World (0.5, 1, 0), 3.5 in front of the camera and 0.5 to its left, is seen left of the
  // centre column 150.
  const engine::perspective_camera pixels(s.view, 300, 200);
  vec3 o, d;
  pixels.generate_ray(150 - 100 * 0.5 / 3.5 / std::tan(20 * pi / 180), 100, 0.5, 0.5, o, d);
  EXPECT_NEAR(engine::dot(d, engine::normalize(vec3{0.5, 1, 0} - o)), 1.0, 1e-12);
  expect_near(vec3::from(qor_view(bench.engine.scene()).camera_position), {0, 1, 3.5}, 0);
}

TEST(camera, the_crop_window_becomes_the_render_region) {
  engine::traceable_scene s = view(200, 100, {0, 1, 3.5}, {0, 1, 0});
  s.film.crop_window = {0.25f, 0.5f, 0.1f, 1.0f};
  s.film.region.reset();  // the engine's own rounding, not the scene reader's
  const auto region = [&](std::array<int, 4> crop) {
    engine::engine_settings cropped = settings(1);
    std::copy_n(crop.begin(), 4, cropped.crop);
    engine::render_engine e(s, cropped, {});
    const qorOptions& o = e.options();
    return std::array{o.region_x0, o.region_y0, o.region_x1, o.region_y1};
  };
  EXPECT_EQ(region({0, 0, 0, 0}), (std::array{50, 10, 100, 100}));  // the scene's fractions
  EXPECT_EQ(region({0, 0, 7, 8}), (std::array{0, 0, 7, 8}));        // given, a corner too: it wins
  EXPECT_THROW(region({0, 8, 0, 0}), std::runtime_error);           // given, and empty
}

TEST(camera, camera_rays_start_as_the_module_expects_and_shade_their_hit) {
  engine::traceable_scene s = forward_view();
  s.materials[0] = diffuse({0.5f, 0.25f, 1.0f});
  s.shapes.push_back(square_z(5.0, 10, 0, false));  // faces the camera
  camera_bench bench(s);
  bench.illum.direct[0] = 0.1f;
  bench.illum.indirect[0] = bench.illum.indirect[1] = bench.illum.indirect[2] = float(pi);
  ASSERT_TRUE(bench.trace(10, 20, 0.25f, 0.75f));
  EXPECT_EQ(std::pair(bench.ray->thread->pixel_x, bench.ray->thread->pixel_y), std::pair(10, 20));
  EXPECT_NEAR(bench.ray->hit_position[2], 5.0, 1e-9);
  EXPECT_EQ(bench.ray->material->shader, bench.engine.scene().materials[0]->record.shader);
  // Direct light as it is, indirect (irradiance) through the Lambertian albedo / pi.
  expect_near(bench.colour(), {0.1f + 0.5f, 0.25f, 1.0f}, 1e-6);
  EXPECT_EQ(bench.illum.last_reflectance.g, 0.25f);  // shader query 0 on a plain path
}

// A thread maps a pass's offsets through the pixel filter once and keeps the result: every
// camera ray must still land where the filter puts that ray's own offsets and pass.
// With pixel strata the renderer's pixel (x, y) is stratum (x mod k, y mod k) of film pixel
// (x / k, y / k), and its ray must land in that stratum's share of the filter.
TEST(camera, camera_samples_land_where_the_filter_puts_each_ray_s_offsets) {
  engine::traceable_scene s = forward_view();
  s.film.pixel_filter = engine::film_filter(
      qor::scene::parse_scene_string("PixelFilter \"triangle\"\nWorldBegin\n", "f.pbrt")
          .scene.pixel_filter);
  s.shapes.push_back(square_z(5.0, 10, 0, false));
  for (int strata : {1, 2, 3}) {
    engine::engine_settings with = settings(1);
    with.pixel_strata = strata;
    camera_bench bench(s, with);
    const float spread = bench.engine.scene().options.sample_spread;
    const engine::perspective_camera film_camera(s.view, 64, 64);
    const struct {
      float dx, dy;
      int32_t pass;
      int x, y;  // the renderer's pixel
    } samples[] = {{0.5f, 0.5f, 0, 30, 40}, {0.7f, 0.5f, 0, 30, 40}, {0.7f, 0.3f, 0, 30, 40},
                   {0.7f, 0.3f, 5, 30, 40}, {0.5f, 0.5f, 5, 31, 40}, {0.5f, 0.5f, 0, 31, 41},
                   {1.0f, 0.0f, 3, 32, 41}, {1.0f, 0.0f, 4, 32, 41}, {1.0f, 0.0f, 4, 30, 40}};
    for (const auto& c : samples) {
      bench.ray->thread->iteration = c.pass;
      ASSERT_TRUE(bench.trace(c.x, c.y, c.dx, c.dy));
      const auto& filter = s.film.pixel_filter;
      vec3 o, d;
      film_camera.generate_ray(
          c.x / strata + filter.position(0, c.dx, spread, c.pass, c.x % strata, strata),
          c.y / strata + filter.position(1, c.dy, spread, c.pass, c.y % strata, strata), 0.5, 0.5,
          o, d);
      const vec3 hit = o + d * (5.0 / d.z);
      const std::string where = std::to_string(strata) + " strata, pixel " + std::to_string(c.x) +
                                "," + std::to_string(c.y) + ", pass " + std::to_string(c.pass);
      EXPECT_NEAR(bench.ray->hit_position[0], hit.x, 1e-5) << c.dx << ' ' << c.dy << ' ' << where;
      EXPECT_NEAR(bench.ray->hit_position[1], hit.y, 1e-5) << c.dx << ' ' << c.dy << ' ' << where;
    }
  }
}

TEST(camera, a_path_through_glass_and_a_mirror_keeps_its_weight_and_carries_the_mirror_colour) {
  // Glass slab between z = 1 and 2, a mirror at 45 degrees at z = 4 turning the path towards
  // -x, and a diffuse wall at x = -3.
  engine::traceable_scene s = forward_view();
  s.materials[0] = diffuse({0.5f, 0.5f, 0.5f});
  s.materials.push_back(material_from(R"("dielectric" "float eta" 1.5)"));
  s.materials.push_back(material_from(R"("conductor" "rgb reflectance" [0.9 0.5 0.2])"));
  s.shapes.push_back(square_z(1.0, 10, 1, false));
  s.shapes.push_back(square_z(2.0, 10, 1, true));
  s.shapes.push_back(quad({-2, -2, 6}, {2, -2, 2}, {2, 2, 2}, {-2, 2, 6}, 2));
  s.shapes.push_back(quad({-3, -5, -5}, {-3, 5, -5}, {-3, 5, 10}, {-3, -5, 10}, 0));
  camera_bench bench(s);
  scripted_random choices;
  choices.after = 0.9f;  // above the Fresnel reflectance: refract at both faces
  bench.ray->thread->random = &choices;
  bench.engine.options().sample_weight_divisor = 0.5f;
  std::copy_n(std::array<float, 3>{0.1f, 0.2f, 0.3f}.begin(), 3, bench.illum.direct);
  bench.illum.indirect[0] = bench.illum.indirect[1] = bench.illum.indirect[2] = float(pi);
  ASSERT_TRUE(bench.trace(31, 31, 1.0f, 1.0f));  // through the image centre
  EXPECT_EQ(choices.draws, 2);                   // one choice per glass face
  EXPECT_EQ(bench.illum.indirect_calls, 1);
  expect_near(bench.illum.last_hit, {-3, 0, 4}, 1e-3);  // rays leave the mirror just off it
  EXPECT_EQ(bench.illum.last_depth, 0);
  EXPECT_FLOAT_EQ(bench.illum.last_weight, 0.5f);  // the divisor: a sample weight of 1
  // Refraction's 1 / eta^2 going in and eta^2 going out cancel; the mirror's colour stays.
  expect_near(bench.illum.last_reflectance, {0.45f, 0.25f, 0.10f}, 1e-5);
  expect_near(bench.colour(), {0.9f * 0.6f, 0.5f * 0.7f, 0.2f * 0.8f}, 1e-5);
  EXPECT_EQ(bench.ray->result_flags & 1, 0);

  // Reflected at the first glass face instead: the path leaves the scene.
  choices.values = {0.01f};
  bench.illum.indirect_calls = 0;
  EXPECT_TRUE(bench.trace(31, 31, 1.0f, 1.0f));
  EXPECT_EQ(bench.illum.indirect_calls, 0);
  EXPECT_EQ(bench.colour().r, 0.0f);

  // Two specular continuations allowed at most: the path is cut short at the mirror.
  bench.engine.options().max_camera_depth = 2;
  EXPECT_TRUE(bench.trace(31, 31, 1.0f, 1.0f));
  EXPECT_EQ(bench.illum.indirect_calls, 0);
  EXPECT_EQ(bench.ray->result_flags & 1, 1);
}

// A panel of radiance (1, 2, 3) at z = 5 facing the camera, then facing away, then behind the
// camera facing +z and seen in a half-silvered mirror at z = 1.
TEST(camera, area_lights_are_seen_on_their_emitting_side_only) {
  engine::traceable_scene s = forward_view();
  s.materials[0] = diffuse({0, 0, 0});
  s.materials.push_back(material_from(R"("conductor" "rgb reflectance" [0.5 0.5 0.5])"));
  s.shapes.push_back(lit(square_z(5.0, 10, 0, false), 0));
  s.area_lights.push_back(emitter(0, {1, 2, 3}, false));
  const auto seen = [&] {
    camera_bench bench(s);
    EXPECT_TRUE(bench.trace(32, 32));
    return bench.colour();
  };
  expect_near(seen(), {1, 2, 3}, 1e-6);
  {
    // A diffuse continuation (emission switched off by the module) does not add it.
    camera_bench bench(s);
    qorRay* continuation = bench.ray->new_ray(qor_ray_diffuse);
    bench.ray->thread->emission_enabled = 0;
    vec3{0, 0, 0}.store(continuation->origin);
    vec3{0, 0, 1}.store(continuation->direction);
    float result[3] = {9, 9, 9};
    EXPECT_TRUE(continuation->trace_diffuse(result));
    EXPECT_EQ(result[0], 0.0f);
    continuation->delete_ray();
  }
  s.shapes[0].flip_normal = true;
  EXPECT_EQ(seen().r, 0.0f);
  s.shapes[0] = lit(square_z(-5.0, 10, 0, true), 0);
  s.shapes.push_back(square_z(1.0, 10, 1, false));
  EXPECT_FLOAT_EQ(seen().g, 1.0f);  // 2 x 0.5
}

TEST(camera, ray_differentials_span_one_pixel_at_the_hit) {
  engine::traceable_scene s = forward_view();
  s.shapes.push_back(square_z(5.0, 10, 0, false));
  s.materials.push_back(material_from(R"("conductor" "rgb reflectance" [1 1 1])"));
  camera_bench bench(s);
  ASSERT_TRUE(bench.trace(32, 32, 0.0f, 0.0f));  // the image centre
  bench.ray->compute_ray_differentials();
  const double pixel = 2 * std::tan(20 * pi / 180) / 64;       // one pixel at distance 1
  EXPECT_NEAR(bench.ray->differential_x[0], 5 * pixel, 1e-5);  // looking along +z: +x is +x
  EXPECT_NEAR(bench.ray->differential_x[1], 0, 1e-6);
  EXPECT_NEAR(bench.ray->differential_y[1], -5 * pixel, 1e-5);  // rows go down
  EXPECT_NEAR(bench.ray->differential_y[2], 0, 1e-6);
}

TEST(camera, a_rough_lobe_gets_the_whole_direct_light_of_a_small_sphere_light) {
  // A rough white conductor facing the camera, lit by a sphere light of 5 cm two metres off:
  // the light the lobe sends to the eye is f cos x L x the light's solid angle, the lobe being
  // broad enough to be constant over the light. A shadow ray that ends inside the light, near
  // the rim of its visible cap, loses part of it.
  engine::traceable_scene s = forward_view();
  s.materials[0] = material_from(R"("conductor" "rgb reflectance" [1 1 1] "float roughness" 0.5)");
  s.shapes.push_back(square_z(5.0, 10, 0, false));
  const vec3 light_centre{1.5, 0.5, 3.5};
  const double radius = 0.05, radiance = 100;
  s.shapes.push_back(lit(sphere(light_centre, radius, 0), 0));
  s.area_lights.push_back(emitter(1, {float(radiance), float(radiance), float(radiance)}, false));
  camera_bench bench(s);
  const int n = 100000;
  double sum = 0;
  for (int i = 0; i < n; ++i) {
    ASSERT_TRUE(bench.trace(32, 32));
    sum += bench.colour().g;
  }
  const vec3 p = vec3::from(bench.ray->hit_position), to_light = light_centre - p;
  const engine::shading_frame frame({0, 0, -1});
  const vec3 wo = frame.to_local(normalize(-p)), wi = frame.to_local(normalize(to_light));
  const engine::trowbridge_reitz lobe(std::sqrt(0.5), std::sqrt(0.5));
  const double solid_angle =
      2 * pi * (1 - std::sqrt(1 - radius * radius / engine::length_squared(to_light)));
  const double f_cos =
      lobe.density(normalize(wo + wi)) * lobe.masking_shadowing(wo, wi) / (4 * wo.z);
  EXPECT_NEAR(sum / n, f_cos * radiance * solid_angle, 0.02 * f_cos * radiance * solid_angle);
}
