// qor-render's options, and how the scene and the command line fill the renderer's block.
#include <algorithm>
#include <cstring>
#include <sstream>

#include <gtest/gtest.h>

#include "cli/command_line.h"
#include "cli/render_job.h"
#include "cli/renderer_settings.h"
#include "engine/scene/parse_scene.h"
#include "module/ppm_parameters.h"

namespace {

using qor::cli::command_line;
using qor::cli::parameter_block;

// The command line, or the status to exit with, and what was written to standard error.
struct parse_outcome {
  std::variant<command_line, int> result;
  std::string err;
};

parse_outcome parse(std::vector<const char*> arguments) {
  arguments.insert(arguments.begin(), "qor-render");
  std::ostringstream out, err;
  return {qor::cli::parse_command_line(int(arguments.size()), arguments.data(), out, err),
          err.str()};
}

TEST(command_line, reads_a_full_set_of_options) {
  const auto p =
      parse({"--set",       "alpha=0.7", "scene.pbrt", "--set",        "smooth=1", "-o",
             "x.png",       "--photons", "-5",         "--iterations", "12",       "--threads",
             "3",           "--time",    "2.5",        "--resolution", "40x30",    "--crop",
             "10,20,40,30", "--keys",    "3:1",        "--view",       "4",        "--window",
             "--preview",   "p.png",     "-q"});
  ASSERT_EQ(p.result.index(), 0u) << p.err;
  const command_line& line = std::get<command_line>(p.result);
  EXPECT_EQ(line.scene_path, "scene.pbrt");  // not taken as a second --set
  EXPECT_EQ(line.output, "x.png");
  // --set in order, then the short forms; values are checked later, against the table.
  std::vector<std::string> settings;
  for (const auto& s : line.parameters) settings.push_back(s.option + " | " + s.assignment);
  EXPECT_EQ(settings, (std::vector<std::string>{
                          "--set alpha=0.7 | alpha=0.7", "--set smooth=1 | smooth=1",
                          "--iterations | max_iterations=12", "--photons | photons_per_pass=-5"}));
  EXPECT_EQ(std::tuple(line.threads, line.time_limit, line.view, line.window, line.verbosity),
            std::tuple(3, 2.5, 4, true, engine::io::verbosity::quiet));
  EXPECT_EQ(line.resolution, (std::array<int, 2>{40, 30}));
  EXPECT_EQ(line.crop, (std::array<int, 4>{10, 20, 40, 30}));
  // A region may reach the image's far edges, not beyond them.
  qor::cli::render_job job;
  qor::cli::set_image_region(job, line, qor::scene::scene_description{});
  EXPECT_EQ(std::vector<int>(job.engine.crop, job.engine.crop + 4),
            (std::vector<int>{10, 20, 40, 30}));
}

TEST(command_line, malformed_options_give_one_error_line_naming_the_option_and_status_2) {
  const std::pair<std::vector<const char*>, const char*> cases[] = {
      {{"s.pbrt", "--threads", "-2"}, "--threads"},
      {{"s.pbrt", "--time", "0"}, "--time"},
      {{"s.pbrt", "--time", "nan"}, "--time"},
      {{"s.pbrt", "--resolution", "640"}, "--resolution"},
      {{"s.pbrt", "--resolution", "0x480"}, "--resolution"},
      {{"s.pbrt", "--resolution", "6.5x4"}, "--resolution"},
      {{"s.pbrt", "--crop", "10,10,5,20"}, "--crop"},
      {{"s.pbrt", "--crop", "1,2,3"}, "--crop"},
      {{"s.pbrt", "--crop", "-1,0,1,1"}, "--crop"},
      {{"s.pbrt", "--view", "10"}, "--view"},
      {{"s.pbrt", "--bogus"}, "--bogus"},
      {{"s.pbrt", "-v", "-q"}, "-q"},
      {{}, "scene"},
  };
  for (const auto& [arguments, named] : cases) {
    SCOPED_TRACE(named);
    const auto p = parse(arguments);
    EXPECT_EQ(std::get<int>(p.result), 2);  // throws, and so fails, for a command line
    EXPECT_EQ(p.err.rfind("error: ", 0), 0u) << p.err;
    EXPECT_NE(p.err.find(named), std::string::npos) << p.err;
    EXPECT_EQ(std::count(p.err.begin(), p.err.end(), '\n'), 1) << p.err;
  }
  EXPECT_EQ(std::get<int>(parse({"--help"}).result), 0);
}

// The block after the table's defaults, the scene's settings and the command line's. The block
// owns the strings its fields point at, so it travels with the values.
struct filled_block {
  parameter_block block{72};
  ppm_parameters values{};
};

filled_block block_from(const std::string& scene_text,
                        const std::vector<qor::cli::parameter_setting>& command_line = {}) {
  filled_block filled;
  qor::cli::fill_table_defaults(filled.block);
  const auto scene = qor::scene::parse_scene_string(scene_text + "\nWorldBegin\n", "test.pbrt");
  qor::cli::apply_scene_settings(filled.block, scene.scene.settings);
  qor::cli::apply_command_line(filled.block, command_line);
  std::memcpy(&filled.values, filled.block.data(), sizeof filled.values);
  return filled;
}

TEST(renderer_settings, the_scene_then_the_command_line_fill_the_block) {
  ppm_parameters p = block_from(R"(Sampler "zsobol" "integer pixelsamples" 8
Integrator "sppm" "integer photonsperiteration" 5000)")
                         .values;
  EXPECT_EQ(std::tuple(p.max_iterations, p.photons_per_pass), std::tuple(8, 5000));
  // -1 is pbrt's one photon per pixel: not a count, so the block keeps its own.
  p = block_from(R"(Sampler "halton" "integer pixelsamples" 3
Integrator "sppm" "integer photonsperiteration" -1)")
          .values;
  EXPECT_EQ(std::tuple(p.max_iterations, p.photons_per_pass), std::tuple(3, 1000000));

  const filled_block filled =
      block_from(R"(Integrator "ppm" "float alpha" 0.5 "integer smooth" 1
    "string points_file" "points.txt" "bool direct_photons" false "integer max_iterations" 7)",
                 {{"--set alpha=0.6", "alpha=0.6"}, {"--radius-scale", "radius_scale=3"}});
  p = filled.values;
  // max_iterations 7 wins over the sampler's default count.
  EXPECT_EQ(std::tuple(p.alpha, p.radius_scale, p.smooth, p.direct_photons, p.max_iterations),
            std::tuple(0.6f, 3.0f, 1, 0, 7));
  EXPECT_STREQ(p.points_file, "points.txt");
  try {
    block_from("", {{"--photons", "photons_per_pass=-5"}});
    ADD_FAILURE() << "accepted -5 photons";
  } catch (const qor::cli::settings_error& error) {
    EXPECT_STREQ(error.what(), "error: --photons: photons_per_pass must be at least 1, got -5");
  }
}

TEST(renderer_settings, bad_integrator_parameters_are_scene_errors_at_their_place) {
  const std::pair<const char*, const char*> cases[] = {
      {"Integrator \"ppm\" \"integer bogus\" 1", "test.pbrt:1:18: error: expected a parameter"},
      {"Integrator \"asppm\"\n  \"float photons_per_pass\" 100.5", "test.pbrt:2:3: error:"},
      {"Integrator \"ppm\" \"float alpha\" [0.5 0.6]", "one value for \"alpha\""},
      {"Integrator \"ppm\" \"rgb alpha\" [1 1 1]", "type \"rgb\""},
      {"Integrator \"ppm\" \"string alpha\" \"x\"", "alpha expects a number"},
  };
  for (const auto& [scene, expected] : cases) {
    SCOPED_TRACE(scene);
    try {
      block_from(scene);
      ADD_FAILURE() << "accepted";
    } catch (const qor::cli::settings_error& error) {
      EXPECT_NE(std::string(error.what()).find(expected), std::string::npos) << error.what();
      EXPECT_EQ(std::string(error.what()).rfind("test.pbrt:", 0), 0u) << error.what();
    }
  }
}

}  // namespace
