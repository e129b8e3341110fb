// Where the camera puts its samples: fed the renderer's per-pass offsets (a Gaussian clamped at
// one standard deviation), a pixel's positions must follow the file's pixel filter, stratified or
// not.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "engine/runtime/film_filter.h"
#include "engine/scene/parse_scene.h"

namespace {

// The renderer's offset for a point of the unit disc: polar Box-Muller, scaled to half the
// spread and clamped there, around the pixel's centre.
float renderer_offset(float sx, float sy, float spread) {
  const float s = sx * sx + sy * sy, half = 0.5f * spread;
  return std::clamp(sx * std::sqrt(-2.0f * std::log(s) / s) * half, -half, half) + 0.5f;
}

TEST(film_filter, places_samples_by_the_file_s_pixel_filter) {
  struct {
    const char* line;
    float spread;
    double radius;
    std::function<double(double)> weight;  // at x from the centre, 0 outside
  } cases[] = {
      {"PixelFilter \"box\"", 1.0f, 0.5, [](double) { return 1.0; }},
      {"PixelFilter \"box\" \"float xradius\" 1", 0.3f, 1.0, [](double) { return 1.0; }},
      {"PixelFilter \"triangle\"", 1.0f, 2.0, [](double x) { return 2 - std::abs(x); }},
      {"", 1.0f, 1.5,  // pbrt-v4's default: Gaussian, sigma 0.5, lowered to 0 at radius 1.5
       [](double x) { return std::exp(-x * x / 0.5) - std::exp(-1.5 * 1.5 / 0.5); }},
      // Mitchell's with B = 1, C = 0 (no negative lobes): the cubic B-spline over radius 2.
      {"PixelFilter \"mitchell\" \"float B\" 1 \"float C\" 0", 1.0f, 2.0,
       [](double x) {
         const double t = std::abs(x);
         return t < 1 ? (3 * t * t * t - 6 * t * t + 4) / 6 : (2 - t) * (2 - t) * (2 - t) / 6;
       }},
  };
  for (const auto& c : cases) {
    const engine::film_filter filter(
        qor::scene::parse_scene_string(c.line + std::string("\nWorldBegin\n"), "f.pbrt")
            .scene.pixel_filter);
    // The filter's distribution along x, by the midpoint rule.
    const int cells = 4000;
    std::vector<double> cdf(cells + 1, 0.0);
    for (int k = 0; k < cells; ++k) {
      cdf[k + 1] = cdf[k] + c.weight(-c.radius + (k + 0.5) * 2 * c.radius / cells);
    }
    auto expected_share = [&](double x) {  // of the filter's weight left of x from the centre
      const int k = std::clamp(int((x + c.radius) / (2 * c.radius) * cells), 0, cells - 1);
      return cdf[k] / cdf[cells];
    };
    // With k strata, each pass puts one sample in each stratum; stratum s must keep to its
    // share [s / k, (s + 1) / k] of the weight, and all of them together follow the filter.
    for (int strata : {1, 2, 3}) {
      std::mt19937 random(7);
      std::uniform_real_distribution<float> u(-1, 1);
      std::vector<double> positions;
      for (int pass = 0; positions.size() < 40000; ++pass) {
        const float sx = u(random), sy = u(random);
        if (!(sx * sx + sy * sy < 1) || sx * sx + sy * sy == 0) continue;
        for (int stratum = 0; stratum < strata; ++stratum) {
          const double p = filter.position(0, renderer_offset(sx, sy, c.spread), c.spread, pass,
                                           stratum, strata);
          ASSERT_LE(std::abs(p - 0.5), c.radius + 1e-9) << c.line;
          const double share = expected_share(p - 0.5);
          ASSERT_GE(share, double(stratum) / strata - 0.002) << c.line << ", stratum " << stratum;
          ASSERT_LE(share, double(stratum + 1) / strata + 0.002)
              << c.line << ", stratum " << stratum;
          positions.push_back(p);
        }
      }
      // Kolmogorov-Smirnov distance of the positions from the filter's distribution.
      std::sort(positions.begin(), positions.end());
      double distance = 0;
      for (size_t i = 0; i < positions.size(); ++i) {
        distance = std::max(
            distance, std::abs(expected_share(positions[i] - 0.5) - double(i) / positions.size()));
      }
      EXPECT_LT(distance, 0.01) << c.line << ", " << strata << " strata";
    }
  }
}

}  // namespace
