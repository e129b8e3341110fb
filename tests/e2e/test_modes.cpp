// Every renderer mode through qor-render and the real module: each finishes with a finite,
// plausible image and shows in its messages that it ran as asked.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"

namespace {

using e2e::with;

const std::string caustics_scene = std::string(QOR_EXAMPLE_SCENES) + "/cornell-caustics.pbrt";

struct render_result {
  bool ok = false;
  std::string messages;       // standard error with -v: every progress line of the renderer
  std::vector<float> values;  // RGB, row-major

  // Per-channel mean with every value clamped to 1: the light itself (radiance 15) counts no
  // more than a white wall, so the means compare the lit surfaces.
  std::vector<double> lit_mean() const {
    std::vector<double> mean(3, 0.0);
    for (size_t i = 0; i < values.size(); ++i) mean[i % 3] += std::min(values[i], 1.0f);
    for (double& m : mean) m /= double(values.size() / 3);
    return mean;
  }
};

size_t occurrences(const std::string& messages, const std::string& text) {
  size_t n = 0;
  for (size_t at = messages.find(text); at != std::string::npos; at = messages.find(text, at + 1))
    ++n;
  return n;
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

class render_modes_test : public e2e::qor_render_test {
 protected:
  render_result render(const std::string& scene, const std::vector<std::string>& options) {
    render_result r;
    r.values = qor_render_test::render(scene, with({"-v"}, options), {}, &r.messages).values;
    r.ok = !r.values.empty();
    return r;
  }
};

TEST_F(render_modes_test, every_mode_renders_the_caustics_scene_finite_and_as_asked) {
  // Small enough for a second per mode; the glass and mirror spheres send photons through every
  // branch of the routing (direct, bounced, caustic) and camera paths through glass. Each mode
  // departs from the module's own defaults, not from the host's choice for the scene.
  const std::vector<std::string> small = {"--resolution", "32x32", "--iterations",     "3",
                                          "--photons",    "4000",  "--module-defaults"};
  const render_result reference = render(caustics_scene, small);
  ASSERT_TRUE(reference.ok);
  const std::vector<double> reference_mean = reference.lit_mean();

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
    const render_result r = render(caustics_scene, with(small, mode.options));
    if (!r.ok) continue;
    EXPECT_EQ(occurrences(r.messages, mode.message), mode.count) << r.messages;
    const std::vector<long> sizes = second_set_sizes(r.messages);
    if (mode.second_set > 0) {
      ASSERT_EQ(sizes.size(), 3u) << r.messages;
      for (long n : sizes) EXPECT_GT(n, 100);
      if (mode.second_set == 2) {
        EXPECT_EQ(sizes, std::vector<long>(3, sizes[0]));
      }
    }
    EXPECT_TRUE(std::all_of(r.values.begin(), r.values.end(),
                            [](float v) { return std::isfinite(v) && v >= 0; }));
    // The light (radiance 15) is seen directly unless the view paints the points alone.
    const float brightest = *std::max_element(r.values.begin(), r.values.end());
    if (mode.options.size() == 2) {
      EXPECT_NEAR(brightest, 15.0f, 0.01f);
    } else {
      EXPECT_LT(brightest, 5.0f);
    }
    // Plausible: the lit walls neither black nor blown out. The modes differ from the default
    // by design (a first pass that does not count, a double decay of the classic update, direct
    // light that the light loop gives at full weight from the first pass), well inside this band.
    const std::vector<double> mean = r.lit_mean();
    for (int c = 0; c < 3; ++c) {
      EXPECT_GT(mean[c], 0.5 * reference_mean[c]) << "channel " << c;
      EXPECT_LT(mean[c], 1.5 * reference_mean[c]) << "channel " << c;
    }
  }
}

}  // namespace
