// Physical correctness end to end: qor-render with the real engine and ppm.so renders scenes
// whose radiance is known in closed form, and the images must converge to it.
//
// What the renderer's estimate converges to, and how fast, decides every number below:
// - A pixel's photon estimate is the mean over the passes of each pass's density estimate. The
//   first pass weighs its photons by a running estimate of the visible share of paths that starts
//   at 0 and reaches about m / (m + 1000) of the true weight by the end of each job of m photons
//   (m = photons per pass / 100 jobs). With m = 250 or 500 that pass delivers about a fifth of
//   its share, so after n passes the estimate is low by about 0.8 / n of its value: 1.3% after 64
//   passes. The tests run 64 passes, and their tolerances leave room for this and for noise.
// - A point's estimate blurs the light over a disc whose radius starts at radius_scale times
//   about 1.4 pixel footprints and shrinks slowly (alpha 0.999). The scenes are lit smoothly and
//   the radius is set small against the scene, so the blur is far below the tolerances.
// Each run uses two threads, so the job split is the same on every machine.
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"

namespace {

using e2e::rgb_image;

class physics_test : public e2e::qor_render_test {
 protected:
  rgb_image render(const std::string& scene, const std::vector<std::string>& options) {
    return qor_render_test::render(scene, e2e::with({"-q"}, options), {.time_limit = 0});
  }
};

const std::string test_scenes = QOR_E2E_SCENES;

// A point light of intensity I at height h over a diffuse plane of reflectance rho: the plane
// receives I h / d^3 at distance d from the light and reflects rho / pi of it, so its radiance is
// rho I h / (pi d^3). It falls elevenfold across the part of the view checked, so a wrong power,
// weight or scale shows as a wrong level and a wrong fall-off as a tilt across the rings.
TEST_F(physics_test, a_point_light_over_a_diffuse_plane_gives_rho_i_h_over_pi_d_cubed) {
  constexpr double intensity = 10, rho = 0.5, light_height = 1, camera_height = 2;
  // Radius 0.5 footprints: 0.044 units at the centre of the view, where the blur of a disc
  // lowers the estimate by 0.75 (R / h)^2 = 0.15%. 50000 photons a pass put about 25 photons a
  // pass into such a disc below the light.
  const rgb_image image = render(test_scenes + "/point-light-plane.pbrt",
                                 {"--iterations", "64", "--photons", "50000", "--set",
                                  "radius_scale=0.5", "--set", "min_radius_scale=0.125"});
  ASSERT_EQ(std::pair(image.width, image.height), std::pair(64, 64));

  // The camera looks straight down with a 90 degree view: pixel (x, y) sees the plane at
  // camera_height * (sx, sy), sx and sy from -1 to 1 across the image. The radiance depends on
  // the distance from the point below the light only, so the orientation of the view does not
  // matter. Taken at the pixel's centre: across one pixel (0.06 units) the curvature of the
  // fall-off moves a pixel's mean by at most 0.1%, below the light.
  auto expected = [&](double sx, double sy) {
    const double r2 = camera_height * camera_height * (sx * sx + sy * sy);
    const double d = std::sqrt(r2 + light_height * light_height);
    return rho * intensity * light_height / (std::numbers::pi * d * d * d);
  };

  // Rings of the distance r from below the light, out to r = 2 h (the circle inscribed in the
  // view); in each, the mean ratio of rendered to expected radiance, per channel. Measured: 0.98
  // to 1.00 in every ring (about 1% from the first pass, 1% noise), 0.987 over all.
  constexpr int rings = 4;
  double ratio_sum[rings + 1][3] = {};  // the last row: all rings
  int pixels[rings + 1] = {};
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      const double sx = 2 * (x + 0.5) / image.width - 1, sy = 2 * (y + 0.5) / image.height - 1;
      const double r = camera_height * std::sqrt(sx * sx + sy * sy) / light_height;
      if (r >= 2) continue;
      for (const int ring : {int(r / 2 * rings), rings}) {
        for (int c = 0; c < 3; ++c) ratio_sum[ring][c] += image.at(x, y, c) / expected(sx, sy);
        ++pixels[ring];
      }
    }
  }
  for (int ring = 0; ring <= rings; ++ring) {
    ASSERT_GT(pixels[ring], 100);
    for (int c = 0; c < 3; ++c) {
      EXPECT_NEAR(ratio_sum[ring][c] / pixels[ring], 1.0, ring < rings ? 0.04 : 0.025)
          << "ring " << ring << ", channel " << c;
    }
  }
}

// A closed box whose walls all emit Le and reflect rho diffusely is filled with radiance L that
// is the same everywhere and in every direction: L = Le + rho L, so L = Le / (1 - rho). Seen from
// inside, every pixel converges to it: Le straight from the wall, the rest through the photons
// of every bounce. The reflectance differs per channel (0.6, 0.4, 0.2): Russian roulette on the
// largest channel must keep each channel's power right, which the three values 2.5, 1.67 and 1.25
// check. Each wall is its own emitter, and the share of its photons that the visible end wall
// receives differs from wall to wall (2.6% to 6.9% of the uniform paths), so each emitter's
// photons must carry their own emitter's weight: giving every job the first emitter's weight
// lowers red by 4.5%.
TEST_F(physics_test, a_closed_box_of_emitting_diffuse_walls_converges_to_le_over_one_minus_rho) {
  // Radius 2 footprints: 0.047 units, well inside the 0.24 units between the view and the edges
  // of the wall, so no disc reaches a corner and the uniform radiance makes the blur exact.
  // 25000 photons a pass put about 30 photons a pass into each disc. The module's own alpha and
  // photon-carried direct light: the figures below were measured with them.
  const rgb_image image =
      render(test_scenes + "/emitting-box.pbrt",
             {"--iterations", "64", "--photons", "25000", "--set", "radius_scale=2", "--set",
              "min_radius_scale=0.5", "--module-defaults"});
  ASSERT_EQ(std::pair(image.width, image.height), std::pair(32, 32));
  const double expected[3] = {1 / (1 - 0.6), 1 / (1 - 0.4), 1 / (1 - 0.2)};
  double sum[3] = {};
  // Measured: every pixel within 3.1% (the photons carry 60% of red, 20% of blue).
  int outliers = 0;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      for (int c = 0; c < 3; ++c) {
        const double ratio = image.at(x, y, c) / expected[c];
        sum[c] += ratio;
        outliers += !(std::abs(ratio - 1) < 0.06);
      }
    }
  }
  EXPECT_EQ(outliers, 0);
  const int count = image.width * image.height;
  for (int c = 0; c < 3; ++c) {
    // Measured: 0.994, 0.997, 0.999.
    EXPECT_NEAR(sum[c] / count, 1.0, 0.02) << "channel " << c;
  }
}

// A constant sky over a diffuse plane, the sky's furnace test. The plane is the scene's only
// surface, so each point of its top sees the whole sky above it: the plane's radiance is rho L,
// and rays that pass its far edge see L itself. Radii as in the point-light test.
TEST_F(physics_test, a_constant_sky_over_a_diffuse_plane_gives_rho_l) {
  const rgb_image image = render(test_scenes + "/environment-plane.pbrt",
                                 {"--iterations", "64", "--photons", "50000", "--set",
                                  "radius_scale=0.5", "--set", "min_radius_scale=0.125"});
  ASSERT_EQ(image.height, 64);
  const float sky[3] = {1, 2, 0.5f}, plane[3] = {0.5f, 0.8f, 0.125f};
  // Rows 0-21 look over the far edge, rows 28-63 at the plane (measured: 0.978 of rho L).
  for (int c = 0; c < 3; ++c) {
    double plane_sum = 0;
    for (int y = 0; y < image.height; ++y) {
      for (int x = 0; x < image.width; ++x) {
        if (y < 22) {
          ASSERT_NEAR(image.at(x, y, c), sky[c], 1e-5) << x << ", " << y;
        }
        if (y >= 28) plane_sum += image.at(x, y, c) / plane[c];
      }
    }
    EXPECT_NEAR(plane_sum / (36 * image.width), 1.0, 0.04) << "channel " << c;
  }
}

}  // namespace
