// Every renderer mode through qor-render and the real module: each finishes with a finite,
// plausible image and shows in its messages that it ran as asked.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"

namespace {

using e2e::with;

// Per-channel mean with every value clamped to 1: the light itself (radiance 15) counts no more
// than a white wall, so the means compare the lit surfaces.
std::vector<double> lit_mean(const std::vector<float>& values) {
  std::vector<double> mean(3, 0.0);
  for (size_t i = 0; i < values.size(); ++i) mean[i % 3] += std::min(values[i], 1.0f);
  for (double& m : mean) m /= double(values.size() / 3);
  return mean;
}

// The sizes of the second point set, one per iteration, from "Build ppm structure N / M points".
std::vector<long> second_set_sizes(const std::string& messages) {
  std::vector<long> sizes;
  long main_points = 0, second_points = 0;
  for (size_t at = messages.find("Build ppm structure"); at != std::string::npos;
       at = messages.find("Build ppm structure", at + 1)) {
    if (std::sscanf(messages.c_str() + at, "Build ppm structure %ld / %ld", &main_points,
                    &second_points) == 2)
      sizes.push_back(second_points);
  }
  return sizes;
}

using render_modes_test = e2e::qor_render_test;

TEST_F(render_modes_test, every_mode_renders_the_caustics_scene_finite_and_as_asked) {
  // Small enough for a second per mode; the glass and mirror spheres send photons through every
  // branch of the routing (direct, bounced, caustic) and camera paths through glass. Each mode
  // departs from the module's own defaults, not from the host's choice for the scene; -v prints
  // every progress line of the renderer.
  const std::string scene = std::string(QOR_EXAMPLE_SCENES) + "/cornell-caustics.pbrt";
  const std::vector<std::string> small = {"-v", "--resolution", "32x32", "--iterations",
                                          "3",  "--photons",    "4000",  "--module-defaults"};
  const e2e::rgb_image reference = render(scene, small);
  ASSERT_FALSE(reference.values.empty());
  const std::vector<double> reference_mean = lit_mean(reference.values);

  const struct {
    std::vector<std::string> options;
    std::string message;  // shows that the mode really ran,
    size_t count;         // on this many lines of the three iterations
    int second_set;       // 1: a second point set rebuilt every iteration, 2: built once, kept
  } cases[] = {
      {{"--set", "point_mode=1"}, "Build ppm structure", 3, 1},
      {{"--set", "point_mode=2"}, "Build ppm structure", 3, 2},
      {{"--set", "sampling_mode=0"}, "Photon tracing", 6, 0},  // two lines per pass
      {{"--set", "refine_mode=1"}, "Refining points [1]", 3, 0},
      {{"--set", "light_irradiance=1"}, "Computing light irradiance for", 3, 0},
      // Smoothing needs a previous pass: iterations 2 and 3 smooth; the view paints the points
      // alone, so the light's own radiance is not in it.
      {{"--set", "smooth=1", "--view", "6"}, "Smooth measurement points 2", 2, 0},
      {{"--set", "direct_photons=0"}, "Refining points [2]", 3, 0},
  };
  for (const auto& mode : cases) {
    SCOPED_TRACE(mode.options[1]);
    std::string messages;
    const std::vector<float> values =
        render(scene, with(small, mode.options), {}, &messages).values;
    if (values.empty()) continue;
    EXPECT_EQ(e2e::occurrences(messages, mode.message), mode.count) << messages;
    const std::vector<long> sizes = second_set_sizes(messages);
    if (mode.second_set > 0) {
      ASSERT_EQ(sizes.size(), 3u) << messages;
      EXPECT_GT(*std::min_element(sizes.begin(), sizes.end()), 100);
      if (mode.second_set == 2) {
        EXPECT_EQ(sizes, std::vector<long>(3, sizes[0]));
      }
    }
    EXPECT_TRUE(std::all_of(values.begin(), values.end(),
                            [](float v) { return std::isfinite(v) && v >= 0; }));
    // The light (radiance 15) is seen directly unless the view paints the points alone.
    const float brightest = *std::max_element(values.begin(), values.end());
    if (mode.options.size() == 2) {
      EXPECT_NEAR(brightest, 15.0f, 0.01f);
    } else {
      EXPECT_LT(brightest, 5.0f);
    }
    // Plausible: the lit walls neither black nor blown out. The modes differ from the default
    // by design (a first pass that does not count, a double decay of the classic update, direct
    // light that the light loop gives at full weight from the first pass), well inside this band.
    const std::vector<double> mean = lit_mean(values);
    for (int c = 0; c < 3; ++c) {
      EXPECT_GT(mean[c], 0.5 * reference_mean[c]) << "channel " << c;
      EXPECT_LT(mean[c], 1.5 * reference_mean[c]) << "channel " << c;
    }
  }
}

}  // namespace
