// The environment light end to end: a constant sky over a diffuse plane, the sky's furnace test.
#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"

namespace {

using environment_test = e2e::qor_render_test;

// The plane is the scene's only surface, so each point of its top sees the whole sky above it:
// the plane's radiance is rho L, and rays that pass its far edge see L itself. Small radii (as in
// the point-light plane test) keep the estimate's blur and start-up bias below the tolerance.
TEST_F(environment_test, a_constant_sky_over_a_diffuse_plane_gives_rho_l) {
  const e2e::rgb_image image = render(std::string(QOR_E2E_SCENES) + "/environment-plane.pbrt",
                                      {"-q", "--iterations", "64", "--photons", "50000", "--set",
                                       "radius_scale=0.5", "--set", "min_radius_scale=0.125"},
                                      {.time_limit = 0});
  ASSERT_EQ(image.height, 64);
  const float sky[3] = {1, 2, 0.5f}, plane[3] = {0.5f, 0.8f, 0.125f};
  // Rows 0-21 look over the far edge, rows 28-63 at the plane (measured: 0.978 of rho L).
  for (int c = 0; c < 3; ++c) {
    double plane_sum = 0;
    for (int y = 0; y < image.height; ++y) {
      for (int x = 0; x < image.width; ++x) {
        if (y < 22) ASSERT_NEAR(image.at(x, y, c), sky[c], 1e-5) << x << ", " << y;
        if (y >= 28) plane_sum += image.at(x, y, c) / plane[c];
      }
    }
    EXPECT_NEAR(plane_sum / (36 * image.width), 1.0, 0.04) << "channel " << c;
  }
}

}  // namespace
