// qor-render's options and how the scene and the command line fill the renderer's block.
#include <cstring>
#include <sstream>

#include <gtest/gtest.h>

#include "cli/command_line.h"
#include "cli/renderer_settings.h"
#include "engine/scene/parse_scene.h"
#include "module/ppm_parameters.h"

namespace {

using qor::cli::command_line;
using qor::cli::parameter_block;

struct parse_outcome {
  std::optional<command_line> line;
  int status = -1;
  std::string out, err;
};

parse_outcome parse(std::vector<const char*> arguments) {
  arguments.insert(arguments.begin(), "qor-render");
  std::ostringstream out, err;
  auto result = qor::cli::parse_command_line(int(arguments.size()), arguments.data(), out, err);
  parse_outcome outcome;
  if (auto* line = std::get_if<command_line>(&result)) {
    outcome.line = *line;
  } else {
    outcome.status = std::get<int>(result);
  }
  outcome.out = out.str();
  outcome.err = err.str();
  return outcome;
}

TEST(command_line, reads_a_full_set_of_options) {
  const auto p =
      parse({"--set",       "alpha=0.7", "scene.pbrt", "--set",        "smooth=1", "-o",
             "x.png",       "--photons", "-5",         "--iterations", "12",       "--threads",
             "3",           "--time",    "2.5",        "--resolution", "320x240",  "--crop",
             "10,20,30,40", "--keys",    "3:1",        "--view",       "4",        "--window",
             "--preview",   "p.png",     "-q",         "--module",     "m.so",     "--renderer",
             "asppm"});
  ASSERT_TRUE(p.line) << p.err;
  const command_line& line = *p.line;
  EXPECT_EQ(line.scene_path, "scene.pbrt");
  EXPECT_EQ(line.output, "x.png");
  ASSERT_EQ(line.parameters.size(), 4u);
  // --set in order, then the short forms; the value of --photons is only checked later.
  EXPECT_EQ(line.parameters[0].assignment, "alpha=0.7");
  EXPECT_EQ(line.parameters[1].assignment, "smooth=1");
  EXPECT_EQ(line.parameters[2].assignment, "max_iterations=12");
  EXPECT_EQ(line.parameters[2].option, "--iterations");
  EXPECT_EQ(line.parameters[3].assignment, "photons_per_pass=-5");
  EXPECT_EQ(line.parameters[3].option, "--photons");
  EXPECT_EQ(line.threads, 3);
  EXPECT_DOUBLE_EQ(line.time_limit, 2.5);
  EXPECT_EQ(line.resolution, (std::array<int, 2>{320, 240}));
  EXPECT_EQ(line.crop, (std::array<int, 4>{10, 20, 30, 40}));
  EXPECT_EQ(line.keys, "3:1");
  EXPECT_EQ(line.view, 4);
  EXPECT_TRUE(line.window);
  EXPECT_EQ(line.preview_file, "p.png");
  EXPECT_EQ(line.verbosity, engine::io::verbosity::quiet);
  EXPECT_EQ(line.module_path, "m.so");
  EXPECT_EQ(line.renderer, "asppm");
}

TEST(command_line, malformed_options_give_one_error_line_naming_the_option_and_status_2) {
  const struct {
    std::vector<const char*> arguments;
    const char* named;
  } cases[] = {
      {{"s.pbrt", "--threads", "many"}, "--threads"},
      {{"s.pbrt", "--threads", "-2"}, "--threads"},
      {{"s.pbrt", "--time", "0"}, "--time"},
      {{"s.pbrt", "--time", "nan"}, "--time"},
      {{"s.pbrt", "--resolution", "640"}, "--resolution"},
      {{"s.pbrt", "--resolution", "0x480"}, "--resolution"},
      {{"s.pbrt", "--crop", "10,10,5,20"}, "--crop"},
      {{"s.pbrt", "--crop", "1,2,3"}, "--crop"},
      {{"s.pbrt", "--view", "10"}, "--view"},
      {{"s.pbrt", "--bogus"}, "--bogus"},
      {{"s.pbrt", "-v", "-q"}, "-q"},
      {{}, "scene"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.named);
    const auto p = parse(c.arguments);
    EXPECT_FALSE(p.line);
    EXPECT_EQ(p.status, 2);
    EXPECT_EQ(p.err.rfind("error: ", 0), 0u) << p.err;
    EXPECT_NE(p.err.find(c.named), std::string::npos) << p.err;
    EXPECT_EQ(std::count(p.err.begin(), p.err.end(), '\n'), 1) << p.err;
  }
}

TEST(command_line, help_lists_the_options_and_exits_0) {
  const auto p = parse({"--help"});
  EXPECT_EQ(p.status, 0);
  for (const char* option : {"--set", "--iterations", "--photons", "--alpha", "--radius-scale",
                             "--threads", "--time", "--crop", "--resolution", "--window", "--keys",
                             "--view", "--module", "--list-parameters", "--check", "--preview"}) {
    EXPECT_NE(p.out.find(option), std::string::npos) << option;
  }
  const auto list = parse({"--list-parameters"});  // needs no scene
  ASSERT_TRUE(list.line);
  EXPECT_TRUE(list.line->list_parameters);
}

TEST(parse_helpers, resolution_and_crop) {
  EXPECT_EQ(qor::cli::parse_resolution("640x480"), (std::array<int, 2>{640, 480}));
  EXPECT_EQ(qor::cli::parse_crop("0,0,1,1"), (std::array<int, 4>{0, 0, 1, 1}));
  for (const char* bad : {"", "x", "640x", "x480", "640X480", "640x480x2", "-640x480", "6.5x4"}) {
    EXPECT_THROW(qor::cli::parse_resolution(bad), std::invalid_argument) << bad;
  }
  for (const char* bad : {"", "0,0,0,1", "0,0,1,0", "1,2,3,4,5", "a,0,1,1", "-1,0,1,1"}) {
    EXPECT_THROW(qor::cli::parse_crop(bad), std::invalid_argument) << bad;
  }
}

ppm_parameters block_values(parameter_block& block) {
  ppm_parameters p;
  std::memcpy(&p, block.data(), sizeof p);
  return p;
}

qor::scene::render_settings settings_of(const std::string& text) {
  return qor::scene::parse_scene_string(text + "\nWorldBegin\n", "test.pbrt").scene.settings;
}

TEST(renderer_settings, the_scene_gives_iterations_and_photons) {
  parameter_block block(72);
  qor::cli::fill_table_defaults(block);
  qor::cli::apply_scene_settings(block, settings_of(R"(Sampler "zsobol" "integer pixelsamples" 8
Integrator "sppm" "integer photonsperiteration" 5000)"));
  EXPECT_EQ(block_values(block).max_iterations, 8);
  EXPECT_EQ(block_values(block).photons_per_pass, 5000);

  // Without photonsperiteration the block keeps its count.
  parameter_block other(72);
  qor::cli::fill_table_defaults(other);
  qor::cli::apply_scene_settings(other,
                                 settings_of(R"(Sampler "halton" "integer pixelsamples" 3)"));
  EXPECT_EQ(block_values(other).max_iterations, 3);
  EXPECT_EQ(block_values(other).photons_per_pass, 1000000);
}

TEST(renderer_settings, integrator_ppm_sets_the_renderers_parameters_by_name) {
  parameter_block block(72);
  qor::cli::fill_table_defaults(block);
  qor::cli::apply_scene_settings(block, settings_of(R"(Integrator "ppm"
    "float alpha" 0.5 "integer smooth" 1 "string points_file" "points.txt"
    "bool direct_photons" false "integer max_iterations" 7 "integer radius_scale" 3)"));
  const ppm_parameters p = block_values(block);
  EXPECT_EQ(p.alpha, 0.5f);
  EXPECT_EQ(p.smooth, 1);
  EXPECT_STREQ(p.points_file, "points.txt");
  EXPECT_EQ(p.direct_photons, 0);
  EXPECT_EQ(p.max_iterations, 7);  // overrides the sampler's default count
  EXPECT_EQ(p.radius_scale, 3.0f);
}

TEST(renderer_settings, bad_integrator_parameters_are_scene_errors_at_their_place) {
  const struct {
    const char* scene;
    const char* expected;
  } cases[] = {
      {"Integrator \"ppm\" \"integer bogus\" 1", "test.pbrt:1:18: error: expected a parameter"},
      {"Integrator \"asppm\"\n  \"float photons_per_pass\" 100.5", "test.pbrt:2:3: error:"},
      {"Integrator \"ppm\" \"float alpha\" [0.5 0.6]", "one value for \"alpha\""},
      {"Integrator \"ppm\" \"float alpha\" 2", "alpha must be above 0 and at most 1"},
      {"Integrator \"ppm\" \"integer photons_per_pass\" -4", "photons_per_pass must be at least 1"},
      {"Integrator \"ppm\" \"rgb alpha\" [1 1 1]", "type \"rgb\""},
      {"Integrator \"ppm\" \"string alpha\" \"x\"", "alpha expects a number"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scene);
    parameter_block block(72);
    qor::cli::fill_table_defaults(block);
    try {
      qor::cli::apply_scene_settings(block, settings_of(c.scene));
      ADD_FAILURE() << "accepted";
    } catch (const qor::cli::settings_error& error) {
      EXPECT_NE(std::string(error.what()).find(c.expected), std::string::npos) << error.what();
      EXPECT_EQ(std::string(error.what()).rfind("test.pbrt:", 0), 0u) << error.what();
    }
  }
}

TEST(renderer_settings, the_command_line_comes_last_and_names_its_option_on_error) {
  parameter_block block(72);
  qor::cli::fill_table_defaults(block);
  qor::cli::apply_scene_settings(block, settings_of("Integrator \"ppm\" \"float alpha\" 0.5"));
  qor::cli::apply_command_line(block, {{"--set alpha=0.6", "alpha=0.6"}, {"--alpha", "alpha=0.8"}});
  EXPECT_EQ(block_values(block).alpha, 0.8f);
  try {
    qor::cli::apply_command_line(block, {{"--photons", "photons_per_pass=-5"}});
    ADD_FAILURE() << "accepted -5 photons";
  } catch (const qor::cli::settings_error& error) {
    EXPECT_STREQ(error.what(), "error: --photons: photons_per_pass must be at least 1, got -5");
  }
}

}  // namespace
