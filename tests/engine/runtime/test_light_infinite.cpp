// LightSource "infinite": what its parameters and image files may be, and whether the directions
// it draws (for photons and for shadow rays) agree with the radiance it shows to escaping rays.
#include <cmath>
#include <functional>
#include <random>

#include "engine/runtime/lights/light.h"
#include "tests/engine/runtime_test_support.h"
#include "tests/scratch_directory.h"

using namespace runtime_test;
using engine::pi;

namespace {

struct sky_files : test_support::scratch_directory_test {
  // The light a LightSource line makes in a scene file inside `directory`, with its warnings.
  engine::light_source light(const std::string& text, qor::scene::warning_sink& warnings) {
    const auto read = qor::scene::parse_scene_string("WorldBegin\n" + text, path("s.pbrt"));
    const qor::scene::light_description& l = read.scene.lights.at(0);
    return engine::create_light({l, l.world_from_light, warnings}).value();
  }
};

// A map with a smooth sky, a dark ground band and a bright spot, so that a sampler that ignores
// the map, a wrong solid-angle factor, or a rotation applied one way only shows in the figures;
// where the map's +z lies (the middle of a square map, the top row of a 2:1 map) is white.
rgb structured(int x, int y, int width, int height) {
  const double s = (x + 0.5) / width, t = (y + 0.5) / height;
  const bool zenith = width == height ? std::abs(s - 0.5) < 0.1 && std::abs(t - 0.5) < 0.1 : y == 0;
  if (zenith) return rgb::gray(1);
  rgb c{float(0.2 + s), float(0.5 + 0.5 * t), float(1.5 - t)};
  if (y < height / 4) c = c * 0.1f;
  if (std::abs(x - width / 3) <= 1 && std::abs(y - height / 2) <= 1) c = c * 40.0f;
  return c;
}

// Calls f(w, L dw) over a fine grid of directions (z, phi), each cell of the same solid angle.
void integrate(const engine::scene_light& sky, const std::function<void(const vec3&, rgb)>& f) {
  const int nz = 600, nphi = 1200;
  for (int i = 0; i < nz; ++i) {
    const double z = -1 + 2 * (i + 0.5) / nz, ring = std::sqrt(1 - z * z);
    for (int j = 0; j < nphi; ++j) {
      const double phi = 2 * pi * (j + 0.5) / nphi;
      const vec3 w{ring * std::cos(phi), ring * std::sin(phi), z};
      f(w, sky.escaping_radiance(w) * float(4 * pi / (nz * nphi)));
    }
  }
}

}  // namespace

// Each bad parameter or image gives an error at the value at fault, or a named warning (a
// missing or misshapen image is in the malformed-file corpus).
TEST_F(sky_files, bad_parameters_and_images_give_errors_or_warnings_at_their_place) {
  write_image(path("nan.exr"), 4, 4, OIIO::TypeDesc::FLOAT, [](int x, int) {
    return rgb{x == 2 ? NAN : 1.0f, 1, 1};
  });
  write_image(path("negative.exr"), 8, 4, OIIO::TypeDesc::FLOAT, [](int x, int) {
    return rgb{x == 1 ? -1.0f : 1.0f, 1, 1};
  });
  // Light in the corners only, all of them below the horizon.
  write_image(path("ground.exr"), 8, 8, OIIO::TypeDesc::FLOAT, [](int x, int y) {
    return rgb::gray((x == 0 || x == 7) && (y == 0 || y == 7) ? 1.0f : 0.0f);
  });
  const struct {
    std::string line;      // on line 2 of the file
    std::string expected;  // in the error, or in the one warning
  } cases[] = {
      {R"(LightSource "infinite" "string filename" "nan.exr")",
       "s.pbrt:2:42: error: expected finite radiance in the environment image, found a NaN"},
      {R"(LightSource "infinite" "string filename" "negative.exr")",
       "s.pbrt:2:42: warning: environment image"},
      {R"(LightSource "infinite" "string filename" "ground.exr" "float illuminance" 2)",
       "s.pbrt:2:1: error: expected an environment image with light above the horizon"},
      {R"(LightSource "infinite" "rgb L" [1 1 1] "string filename" "nan.exr")",
       "s.pbrt:2:24: error: expected either \"L\" or \"filename\""},
      {R"(LightSource "infinite" "float illuminance" -1)",
       "s.pbrt:2:44: error: expected a non-negative \"illuminance\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    qor::scene::warning_sink warnings;
    std::string text = "neither an error nor one warning";
    try {
      light(c.line, warnings);
      if (warnings.warnings.size() == 1) text = to_string(warnings.warnings[0]);
    } catch (const qor::scene::scene_error& e) {
      text = e.what();
    }
    EXPECT_NE(text.find(c.expected), std::string::npos) << text;
  }
}

// For both layouts, under a rotation: the irradiance on a surface estimated from the shadow-ray
// samples, and the flux photons carry through it, match the radiance escaping rays see,
// integrated over the sphere by quadrature; the light's power is pi r^2 times the integral of
// its radiance; photons leave the disc facing the scene one radius out.
TEST_F(sky_files, sampled_directions_agree_with_the_radiance_of_the_map) {
  write_image(path("square.exr"), 32, 32, OIIO::TypeDesc::FLOAT,
              [](int x, int y) { return structured(x, y, 32, 32); });
  write_image(path("latlong.exr"), 48, 24, OIIO::TypeDesc::FLOAT,
              [](int x, int y) { return structured(x, y, 48, 24); });
  const engine::scene_extent extent{{1, 2, 3}, 2.0};
  const vec3 n = engine::normalize(vec3{0.3, -0.2, 1.0});  // the receiving surface's normal
  for (const char* file : {"square.exr", "latlong.exr"}) {
    SCOPED_TRACE(file);
    qor::scene::warning_sink warnings;
    const std::unique_ptr<engine::scene_light> sky =
        light(R"(Rotate 30 1 1 0 LightSource "infinite" "float scale" 1.5 "string filename" ")" +
                  std::string(file) + "\"",
              warnings)
            .make(extent);
    // pbrt's Rotate 30 about (1, 1, 0) takes the map's +z here.
    const double c30 = std::cos(pi / 6), s30 = std::sin(pi / 6) / std::sqrt(2.0);
    expect_near(sky->escaping_radiance({s30, -s30, c30}), rgb::gray(1.5f), 1e-6);

    rgb flux_integral;   // of L cos+ around n
    rgb power_integral;  // of L over the sphere
    integrate(*sky, [&](const vec3& w, const rgb& L) {
      power_integral += L;
      flux_integral += L * float(std::max(0.0, engine::dot(w, n)));
    });
    const double disc = pi * extent.radius * extent.radius;
    expect_near(sky->total_power(), power_integral * float(disc),
                2e-3 * power_integral.max() * disc);

    std::mt19937 random(7);
    std::uniform_real_distribution<double> uniform(0, 1);
    const int samples = 100000;
    double shadow_sum[3] = {}, shadow_square[3] = {}, photon_sum[3] = {}, photon_square[3] = {};
    double widest = 0;  // of the photons' starting points from the disc's centre
    for (int k = 0; k < samples; ++k) {
      engine::incident_light in;
      if (sky->incident({0, 0, 0}, uniform(random), uniform(random), in)) {
        EXPECT_TRUE(std::isinf(in.distance));
        const double cos = std::max(0.0, engine::dot(in.direction, n));
        for (int c = 0; c < 3; ++c) {
          shadow_sum[c] += in.irradiance[c] * cos;
          shadow_square[c] += std::pow(in.irradiance[c] * cos, 2);
        }
      }
      const double u[4] = {uniform(random), uniform(random), uniform(random), uniform(random)};
      const engine::photon_start p = sky->emit(u);
      const vec3 towards_sky = -p.direction;
      ASSERT_NEAR(engine::dot(p.origin - extent.center, towards_sky), extent.radius, 1e-9);
      const double off_axis =
          engine::length(p.origin - extent.center - towards_sky * extent.radius);
      ASSERT_LE(off_axis, extent.radius + 1e-9);
      widest = std::max(widest, off_axis);
      const double cos = std::max(0.0, engine::dot(towards_sky, n)) / disc;
      for (int c = 0; c < 3; ++c) {
        photon_sum[c] += p.power[c] * cos;
        photon_square[c] += std::pow(p.power[c] * cos, 2);
      }
    }
    for (int c = 0; c < 3; ++c) {
      SCOPED_TRACE("channel " + std::to_string(c));
      for (const auto& [sum, square] : {std::pair{shadow_sum[c], shadow_square[c]},
                                        std::pair{photon_sum[c], photon_square[c]}}) {
        const double mean = sum / samples;
        const double error = std::sqrt((square / samples - mean * mean) / samples);
        EXPECT_NEAR(mean, flux_integral[c], 5 * error + 2e-3 * flux_integral[c]);
      }
    }
    EXPECT_GT(widest, 0.99 * extent.radius);
  }

  // "illuminance" E: pbrt-v4 measures the upper hemisphere with each pixel at half its solid
  // angle, so the map then gives about 2 E on an upward surface (within the pixels that the
  // horizon cuts).
  qor::scene::warning_sink warnings;
  const auto lit = light(R"(LightSource "infinite" "string filename" "square.exr"
      "float illuminance" 3 "float scale" 2)",
                         warnings)
                       .make(extent);
  double upward = 0;
  integrate(*lit, [&](const vec3& w, const rgb& L) {
    upward += (0.2126 * L.r + 0.7152 * L.g + 0.0722 * L.b) * std::max(0.0, w.z);
  });
  EXPECT_NEAR(upward, 2 * 3 * 2, 0.03 * 12);
}
