// The jitter width the host fits to a file's PixelFilter. Expected widths come from an independent
// least-squares fit of the edge responses; the box's also from matching variances (the clamped
// Gaussian's 0.516 h^2 against a box's r^2 / 3).
#include <gtest/gtest.h>

#include "cli/jitter_width.h"
#include "engine/scene/parse_scene.h"

namespace {

float width_for(const std::string& filter_line) {
  const std::string text = filter_line + "\nWorldBegin\n";
  return qor::cli::jitter_width_for(
      qor::scene::parse_scene_string(text, "f.pbrt").scene.pixel_filter);
}

TEST(jitter_width, fits_each_pixel_filter_of_the_file) {
  struct {
    const char* line;
    float width;
  } cases[] = {
      {"PixelFilter \"box\"", 0.80f},
      {"PixelFilter \"box\" \"float xradius\" 1 \"float yradius\" 1", 1.60f},
      {"PixelFilter \"box\" \"float xradius\" 0.5 \"float yradius\" 1", 1.20f},
      {"", 1.18f},  // pbrt-v4's default Gaussian
      {"PixelFilter \"gaussian\" \"float sigma\" 0.5", 1.18f},
      {"PixelFilter \"triangle\"", 2.07f},
      {"PixelFilter \"mitchell\"", 1.03f},
  };
  for (const auto& c : cases) EXPECT_NEAR(width_for(c.line), c.width, 0.021f) << c.line;
}

TEST(jitter_width, rejects_a_radius_that_is_not_positive) {
  EXPECT_THROW(width_for("PixelFilter \"box\" \"float xradius\" 0"), qor::scene::scene_error);
  EXPECT_THROW(width_for("PixelFilter \"gaussian\" \"float sigma\" -1"), qor::scene::scene_error);
}

}  // namespace
