#include "cli/command_line.h"

#include <charconv>
#include <cmath>
#include <ostream>
#include <stdexcept>

#include <CLI/CLI.hpp>

#include "cli/parameter_choice.h"

namespace qor::cli {

namespace {

// A whole non-negative decimal number, or nullopt.
std::optional<int> whole_number(std::string_view text) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 0) {
    return std::nullopt;
  }
  return value;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (true) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

}  // namespace

std::array<int, 2> parse_resolution(std::string_view text) {
  const auto parts = split(text, 'x');
  if (parts.size() == 2) {
    const auto width = whole_number(parts[0]), height = whole_number(parts[1]);
    if (width && height && *width > 0 && *height > 0) return {*width, *height};
  }
  throw std::invalid_argument("expected WIDTHxHEIGHT with both above 0, got '" + std::string(text) +
                              "'");
}

std::array<int, 4> parse_crop(std::string_view text) {
  const auto parts = split(text, ',');
  if (parts.size() == 4) {
    std::array<int, 4> crop{};
    bool ok = true;
    for (int i = 0; i < 4 && ok; ++i) {
      const auto value = whole_number(parts[i]);
      ok = value.has_value();
      if (ok) crop[i] = *value;
    }
    if (ok && crop[0] < crop[2] && crop[1] < crop[3]) return crop;
  }
  throw std::invalid_argument("expected x0,y0,x1,y1 in pixels with x0 < x1 and y0 < y1, got '" +
                              std::string(text) + "'");
}

std::variant<command_line, int> parse_command_line(int argc, const char* const* argv,
                                                   std::ostream& out, std::ostream& err) {
  command_line line;
  CLI::App app{
      "Renders a pbrt-v4 scene with progressive photon mapping through the ppm renderer module.",
      "qor-render"};
  app.get_formatter()->column_width(30);

  app.add_option("scene", line.scene_path, "The scene file (pbrt-v4 format)");
  app.add_option("-o,--output", line.output,
                 "Image to write: .exr, .png, .jpg or .pfm (default: the Film's filename, else "
                 "SCENE.exr)");

  std::vector<std::string> sets;
  app.add_option("--set", sets, "Set a renderer parameter, NAME=VALUE (repeatable)")
      ->type_name("NAME=VALUE")
      ->expected(1)
      ->allow_extra_args(false)  // one value per --set: the scene after it stays positional
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  std::string iterations, photons, alpha, radius_scale;
  app.add_option("--iterations", iterations, "Same as --set max_iterations=N")->type_name("N");
  app.add_option("--photons", photons, "Same as --set photons_per_pass=N")->type_name("N");
  app.add_option("--alpha", alpha, "Same as --set alpha=A")->type_name("A");
  app.add_option("--radius-scale", radius_scale, "Same as --set radius_scale=R")->type_name("R");
  auto* list = app.add_flag("--list-parameters", line.list_parameters,
                            "List the renderer's parameters with their values and exit");
  app.add_flag("--markdown", line.markdown,
               "With --list-parameters: print the table of docs/USAGE.md instead")
      ->needs(list);

  app.add_flag("--module-defaults", line.module_defaults,
               "Keep the module's own defaults where the host would choose values for the scene");

  app.add_option("--renderer", line.renderer, "Renderer name the module registered (ppm, asppm)");
  app.add_option("--module", line.module_path,
                 "The renderer module (default: ppm.so beside "
                 "qor-render)");
  app.add_option("--threads", line.threads, "Worker threads (default: every core)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--time", line.time_limit,
                 "Wall-clock limit in seconds: the render ends at the next output step after it");
  std::string resolution, crop;
  app.add_option("--resolution", resolution, "Image size, overriding the Film's")->type_name("WxH");
  app.add_option("--crop", crop, "Render only pixels [x0,x1) x [y0,y1)")->type_name("x0,y0,x1,y1");
  int supersample = 0;
  app.add_option("--supersample", supersample,
                 std::string("Render K x K samples of every pixel in each pass, each in its own "
                             "share of the pixel filter, and average them (1 to 4; default: ") +
                     supersampling_rule + ")")
      ->type_name("K")
      ->check(CLI::Range(1, 4));

  app.add_flag("--window", line.window, "Show the image in a preview window while rendering");
  app.add_option("--preview", line.preview_file, "Rewrite this image file at every output step")
      ->type_name("FILE");
  auto* reference =
      app.add_option("--reference", line.reference,
                     "Print the error against this image (relMSE, mean ratio) at every output "
                     "step and log it to a CSV file")
          ->type_name("REF.exr");
  app.add_option("--convergence-csv", line.convergence_csv,
                 "With --reference: the CSV file (default: the output's name with "
                 ".convergence.csv)")
      ->type_name("FILE")
      ->needs(reference);
  app.add_option("--keys", line.keys,
                 "Keys to press at given iterations, e.g. 3:1,5:r (view 1 at iteration 3, reset "
                 "at 5)")
      ->type_name("IT:KEY,...");
  int view = -1;
  app.add_option("--view", view, "Show view N (0-9) from the first output step")->type_name("N");
  app.add_flag("--check", line.check,
               "Read the scene, print what it holds and every warning, render nothing");

  bool verbose = false, quiet = false;
  auto* verbose_flag = app.add_flag("-v,--verbose", verbose, "Print every progress message");
  app.add_flag("-q,--quiet", quiet, "Print warnings and errors only")->excludes(verbose_flag);
  app.set_version_flag("--version", "qor-render 0.1");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e, out, err);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e, out, err);
  } catch (const CLI::ParseError& e) {
    err << "error: " << e.what() << "\n";
    return 2;
  }

  auto fail = [&](const std::string& option, const std::string& why) {
    err << "error: " << option << ": " << why << "\n";
    return 2;
  };
  for (const std::string& set : sets) line.parameters.push_back({"--set " + set, set});
  const std::pair<const std::string*, const char*> short_forms[] = {
      {&iterations, "max_iterations"},
      {&photons, "photons_per_pass"},
      {&alpha, "alpha"},
      {&radius_scale, "radius_scale"}};
  const char* short_names[] = {"--iterations", "--photons", "--alpha", "--radius-scale"};
  for (size_t i = 0; i < std::size(short_forms); ++i) {
    if (app.count(short_names[i]) > 0) {
      line.parameters.push_back(
          {short_names[i], std::string(short_forms[i].second) + "=" + *short_forms[i].first});
    }
  }

  if (app.count("--supersample") > 0) line.supersample = supersample;
  try {
    if (!resolution.empty()) line.resolution = parse_resolution(resolution);
  } catch (const std::invalid_argument& e) {
    return fail("--resolution", e.what());
  }
  try {
    if (!crop.empty()) line.crop = parse_crop(crop);
  } catch (const std::invalid_argument& e) {
    return fail("--crop", e.what());
  }
  if (app.count("--time") > 0 && !(std::isfinite(line.time_limit) && line.time_limit > 0)) {
    return fail("--time", "expected a positive number of seconds");
  }
  if (app.count("--view") > 0) {
    if (view < 0 || view > 9) return fail("--view", "expected a view from 0 to 9");
    line.view = view;
  }
  if (line.scene_path.empty() && !line.list_parameters) {
    return fail("scene", "a scene file is required (qor-render --help shows the options)");
  }
  line.verbosity = quiet     ? engine::io::verbosity::quiet
                   : verbose ? engine::io::verbosity::verbose
                             : engine::io::verbosity::normal;
  return line;
}

}  // namespace qor::cli
