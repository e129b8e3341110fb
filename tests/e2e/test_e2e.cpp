// qor-render as a user runs it: exit statuses, messages and the images it writes.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"

namespace {

namespace fs = std::filesystem;
using e2e::run_result;

const std::string scenes = QOR_E2E_SCENES;
const std::string tiny = scenes + "/tiny.pbrt";

using qor_render_test = e2e::qor_render_test;

// An image of the given size whose every value is finite.
void expect_rendered_image(const std::string& path, int width, int height) {
  const e2e::rgb_image image = e2e::read_rgb_image(path);
  if (image.values.empty()) return;  // a failure already
  EXPECT_EQ(image.width, width);
  EXPECT_EQ(image.height, height);
  EXPECT_TRUE(std::all_of(image.values.begin(), image.values.end(),
                          [](float v) { return std::isfinite(v); }));
}

TEST_F(qor_render_test, renders_the_tiny_scene_to_the_film_filename_or_a_resized_png) {
  const run_result r = run({tiny, "--threads", "2"});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_rendered_image(path("tiny.exr"), 32, 24);  // the Film's filename
  const run_result small = run({tiny, "-o", "small.png", "--resolution", "20x10"});
  ASSERT_EQ(small.status, 0) << small.err;
  expect_rendered_image(path("small.png"), 20, 10);
  std::set<std::string> names;  // no temporary file is left beside the images
  for (const auto& entry : fs::directory_iterator(directory)) names.insert(entry.path().filename());
  EXPECT_EQ(names, (std::set<std::string>{".stderr", ".stdout", "small.png", "tiny.exr"}));
}

TEST_F(qor_render_test, a_time_limit_a_scripted_key_and_ctrl_c_end_an_endless_render) {
  const run_result timed = run({tiny, "-o", "timed.pfm", "--iterations", "0", "--time", "1"});
  ASSERT_EQ(timed.status, 0) << timed.err;
  expect_rendered_image(path("timed.pfm"), 32, 24);

  const run_result keyed =
      run({tiny, "-o", "keyed.exr", "--iterations", "0", "--keys", "1:2,3:q", "-v"});
  ASSERT_EQ(keyed.status, 0) << keyed.err;
  expect_rendered_image(path("keyed.exr"), 32, 24);
  EXPECT_NE(keyed.err.find("Visualize 2"), std::string::npos) << keyed.err;  // view key taken

  // Interrupted once the render is under way, that is once its first preview exists.
  const run_result interrupted = run(
      {tiny, "-o", "interrupted.exr", "--iterations", "0", "--preview", "preview.png"},
      // Job control keeps the background job's SIGINT from being ignored.
      {.shell =
           "set -m; % & pid=$!; for i in $(seq 600); do [ -e preview.png ] && break; sleep 0.05; "
           "done; "
           "kill -INT $pid; wait $pid"});
  ASSERT_EQ(interrupted.status, 0) << interrupted.err;
  expect_rendered_image(path("interrupted.exr"), 32, 24);
  EXPECT_NE(interrupted.err.find("interrupted"), std::string::npos) << interrupted.err;
}

// Bad input is status 2, a render that cannot start is status 1; either way one line on standard
// error says why, and no image is written. (Values the parameter table refuses are its own tests'.)
TEST_F(qor_render_test, each_failure_gets_its_status_and_one_line_naming_its_cause) {
  { std::ofstream(path("fake.so")) << "not a shared library"; }
  const struct {
    std::vector<std::string> arguments;
    int status;
    std::string message;
  } cases[] = {
      {{"nosuch.pbrt"}, 2, "nosuch.pbrt:1:1: error: "},
      {{scenes + "/broken.pbrt"}, 2, "broken.pbrt:3:34: error: "},
      {{tiny, "-o", "out.tiff"}, 2, "error: -o: cannot write 'out.tiff'"},
      {{tiny, "--keys", "3"}, 2, "error: --keys: '3'"},
      {{tiny, "--crop", "0,0,64,8"}, 2, "error: --crop: the region 0,0,64,8 reaches outside"},
      {{tiny, "--module", path("nowhere/ppm.so")}, 1, "error: cannot find the renderer module"},
      {{tiny, "--module", path("fake.so")}, 1, "fake.so"},
      {{tiny, "--renderer", "bidir"}, 1, "no renderer named 'bidir'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const run_result r = run(c.arguments);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(e2e::occurrences(r.err, "\n"), 1u) << r.err;
  }
  EXPECT_FALSE(fs::exists(path("tiny.exr")));
}

// The host sizes photons per pass and pbrt's world-size radius by the image that is rendered:
// --resolution and --crop change the pixel count and the footprint the rule sees.
TEST_F(qor_render_test, the_host_choice_follows_the_rendered_image_not_the_film) {
  std::ifstream in(tiny);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string own = "Integrator \"ppm\" \"integer photons_per_pass\" 20000";
  ASSERT_NE(text.find(own), std::string::npos);
  text.replace(text.find(own), own.size(), "Integrator \"sppm\" \"float radius\" 0.05");
  { std::ofstream(path("sppm.pbrt")) << text; }
  // A field's value column in --list-parameters.
  auto listed = [&](const std::vector<std::string>& size, const std::string& name) {
    std::vector<std::string> arguments = {path("sppm.pbrt"), "--list-parameters"};
    arguments.insert(arguments.end(), size.begin(), size.end());
    const run_result r = run(arguments);
    EXPECT_EQ(r.status, 0) << r.err;
    std::ifstream table(path(".stdout"));
    for (std::string line; std::getline(table, line);) {
      std::istringstream fields(line);
      std::string field, type, value;
      if (fields >> field >> type >> value && field == name) return std::stod(value);
    }
    ADD_FAILURE() << name << " not listed";
    return 0.0;
  };
  const std::vector<std::string> small = {"--resolution", "320x240"};
  const std::vector<std::string> large = {"--resolution", "640x480"};
  const std::vector<std::string> cropped = {"--resolution", "640x480", "--crop", "0,0,320,240"};
  EXPECT_EQ(listed(small, "photons_per_pass"), 320 * 240);
  EXPECT_EQ(listed(large, "photons_per_pass"), 640 * 480);
  EXPECT_EQ(listed(cropped, "photons_per_pass"), 320 * 240);
  const double radius_small = listed(small, "radius_scale");
  EXPECT_NEAR(listed(large, "radius_scale"), 2 * radius_small, 0.02 * radius_small);
  // The crop's median hit is its own quarter's, so only near the whole image's footprint.
  EXPECT_NEAR(listed(cropped, "radius_scale"), 2 * radius_small, 0.1 * radius_small);
  // A film under 10,000 pixels: 2 x 2 samples per pixel, the radius in their footprints.
  const std::vector<std::string> tiny_film = {"--resolution", "64x48"};
  const std::vector<std::string> one_sample = {"--resolution", "64x48", "--supersample", "1"};
  const double radius_one_sample = listed(one_sample, "radius_scale");
  EXPECT_NEAR(listed(tiny_film, "radius_scale"), 2 * radius_one_sample, 0.01 * radius_one_sample);
  std::ifstream table(path(".stdout"));
  const std::string listing((std::istreambuf_iterator<char>(table)),
                            std::istreambuf_iterator<char>());
  EXPECT_NE(listing.find("supersampling: 2 x 2"), std::string::npos) << listing;
}

}  // namespace
