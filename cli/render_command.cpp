#include "cli/render_command.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>

#include "cli/parameter_table.h"
#include "cli/renderer_settings.h"
#include "cli/scene_summary.h"
#include "engine/io/console.h"
#include "engine/io/image_file.h"
#include "engine/io/input_events.h"
#include "engine/io/interrupts.h"
#include "engine/io/key_script.h"
#include "engine/io/preview_window.h"
#include "engine/io/render_progress.h"
#include "engine/io/terminal_keys.h"
#include "engine/runtime/engine.h"
#include "engine/runtime/scene_conversion.h"
#include "engine/scene/parse_scene.h"

namespace qor::cli {

namespace fs = std::filesystem;

namespace {

constexpr int exit_rendered = 0;
constexpr int exit_render_failure = 1;
constexpr int exit_bad_input = 2;

double seconds_now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void print_error(const std::string& line) {
  std::cerr << "error: " << line << std::endl;
}

// The image file a render writes: -o, else the Film's filename, else the scene's name with .exr
// in the current directory.
std::string output_path(const command_line& line, const qor::scene::scene_description& scene) {
  if (!line.output.empty()) return line.output;
  if (!scene.film.filename.empty()) return scene.film.filename;
  return fs::path(line.scene_path).stem().string() + ".exr";
}

// An image name that cannot be written is worth knowing before the render, not after it.
bool check_image_name(const std::string& what, const std::string& path) {
  if (!engine::io::image_format_for(path)) {
    print_error(what + ": cannot write '" + path +
                "': unknown image format (use .exr, .png, .jpg or .pfm)");
    return false;
  }
  const fs::path directory = fs::path(path).parent_path();
  if (!directory.empty() && !fs::is_directory(directory)) {
    print_error(what + ": cannot write '" + path + "': no directory '" + directory.string() + "'");
    return false;
  }
  return true;
}

}  // namespace

std::string default_module_path() {
  std::error_code error;
  const fs::path executable = fs::read_symlink("/proc/self/exe", error);
  if (error) return "ppm.so";
  return (executable.parent_path() / "ppm.so").string();
}

int run(const command_line& line) {
  // Everything that needs no scene is checked first, so a typo costs no parse.
  std::vector<engine::io::scripted_key> script;
  try {
    script = engine::io::parse_key_script(line.keys);
  } catch (const std::invalid_argument& error) {
    print_error(std::string("--keys: ") + error.what());
    return exit_bad_input;
  }
  if (line.view) script.insert(script.begin(), {1, uint32_t('0' + *line.view)});
  if (!line.output.empty() && !check_image_name("-o", line.output)) return exit_bad_input;
  if (!line.preview_file.empty() && !check_image_name("--preview", line.preview_file)) {
    return exit_bad_input;
  }
  {
    parameter_block trial(parameter_block_size);
    fill_table_defaults(trial);
    try {
      apply_command_line(trial, line.parameters);
    } catch (const settings_error& error) {
      std::cerr << error.what() << std::endl;
      return exit_bad_input;
    }
    if (line.markdown) {
      std::cout << parameters_markdown();
      return exit_rendered;
    }
    if (line.scene_path.empty()) {  // --list-parameters alone
      std::cout << describe_parameters(trial);
      return exit_rendered;
    }
  }

  // Ctrl-C: before the render it leaves at once; during it, the first ends the render at its next
  // output step and the second stops it now. Set up before any thread starts (see interrupts).
  engine::io::console console(line.verbosity);  // starts no thread until its status line shows
  engine::io::input_events events;
  std::atomic<bool> rendering{false};
  std::atomic<engine::render_engine*> running_engine{nullptr};
  engine::io::interrupts interrupts(
      [&] {
        if (!rendering) {
          engine::io::restore_terminal();
          _exit(130);
        }
        console.message(engine::message_kind::info,
                        "interrupted: ending at the next output step (Ctrl-C again to stop now)\n");
        events.request_end();
      },
      [&] {
        console.message(engine::message_kind::info,
                        "interrupted again: stopping now; the image reached so far is written\n");
        events.request_end();
        if (engine::render_engine* engine = running_engine.load()) engine->request_stop();
      });

  qor::scene::parse_result parsed;
  try {
    parsed = qor::scene::parse_scene_file(line.scene_path);
  } catch (const qor::scene::scene_error& error) {
    std::cerr << error.what() << std::endl;
    return exit_bad_input;
  } catch (const std::exception& error) {
    print_error(line.scene_path + ": " + error.what());
    return exit_bad_input;
  }
  for (const qor::scene::scene_warning& warning : parsed.warnings) {
    std::cerr << qor::scene::to_string(warning) << "\n";
  }
  const qor::scene::scene_description& scene = parsed.scene;

  if (line.check) {
    // What the engine's kinds make of the scene's lights and materials, with their warnings.
    qor::scene::warning_sink made_warnings;
    engine::traceable_scene made;
    try {
      made = engine::build_traceable_scene(scene, made_warnings);
    } catch (const qor::scene::scene_error& error) {
      std::cerr << error.what() << std::endl;
      return exit_bad_input;
    }
    for (const qor::scene::scene_warning& warning : made_warnings.warnings) {
      std::cerr << qor::scene::to_string(warning) << "\n";
    }
    const size_t warnings = parsed.warnings.size() + made_warnings.warnings.size();
    std::cout << summarize_scene(scene, made);
    std::cout << warnings << (warnings == 1 ? " warning" : " warnings") << "\n";
    return exit_rendered;
  }

  // The block as the table knows it, with the scene's and the command line's settings: checks
  // them all before anything is built. The module's own defaults replace the table's below.
  auto configure = [&](parameter_block& block) {
    try {
      apply_scene_settings(block, scene.settings);
      apply_command_line(block, line.parameters);
      return true;
    } catch (const settings_error& error) {
      std::cerr << error.what() << std::endl;
      return false;
    }
  };
  {
    parameter_block trial(parameter_block_size);
    fill_table_defaults(trial);
    if (!configure(trial)) return exit_bad_input;
    if (line.list_parameters) {
      std::cout << describe_parameters(trial);
      return exit_rendered;
    }
  }

  const std::string output = output_path(line, scene);
  if (line.output.empty() && !check_image_name("Film filename", output)) return exit_bad_input;

  engine::engine_settings settings;
  settings.threads = line.threads;
  const int width = line.resolution ? (*line.resolution)[0] : scene.film.xresolution;
  const int height = line.resolution ? (*line.resolution)[1] : scene.film.yresolution;
  if (line.resolution) {
    settings.width = width;
    settings.height = height;
  }
  if (line.crop) {
    const auto& crop = *line.crop;
    if (crop[2] > width || crop[3] > height) {
      print_error("--crop: the region " + std::to_string(crop[0]) + "," + std::to_string(crop[1]) +
                  "," + std::to_string(crop[2]) + "," + std::to_string(crop[3]) +
                  " reaches outside the " + std::to_string(width) + "x" + std::to_string(height) +
                  " image");
      return exit_bad_input;
    }
    std::copy(crop.begin(), crop.end(), settings.crop);
  }

  // A missing module is worth knowing before the scene is built.
  const std::string module_path =
      line.module_path.empty() ? default_module_path() : line.module_path;
  if (!fs::is_regular_file(module_path)) {
    print_error("cannot find the renderer module '" + module_path + "'" +
                (line.module_path.empty() ? " (build it, or name one with --module PATH)" : ""));
    return exit_render_failure;
  }

  std::string renderer_name = line.renderer;
  if (renderer_name.empty()) {
    const std::string& integrator = scene.settings.integrator;
    renderer_name = integrator == "ppm" || integrator == "asppm" ? integrator : "ppm";
  }

  // What the module says and shows, and what it is told.
  std::unique_ptr<engine::io::render_progress> progress;
  std::unique_ptr<engine::io::preview_window> window;
  engine::render_engine* engine_for_callbacks = nullptr;
  std::mutex output_mutex;
  bool image_written = false;
  bool image_failed = false;
  bool preview_failed = false;
  auto display_scale = [&] { return engine_for_callbacks->options().display_scale; };

  engine::host_callbacks callbacks;
  callbacks.message = [&](engine::message_kind kind, std::string_view text) {
    if (progress) progress->observe(text, seconds_now());
    console.message(kind, text);
  };
  callbacks.show_block = [&](const qorImage_block& block) {
    if (window) window->show(block, display_scale());
    if (line.preview_file.empty()) return;
    std::lock_guard lock(output_mutex);
    try {
      engine::io::write_image(line.preview_file, block, display_scale());
    } catch (const std::runtime_error& error) {
      if (!preview_failed)
        console.message(engine::message_kind::warning, error.what() + std::string("\n"));
      preview_failed = true;
    }
  };
  callbacks.output_block = [&](const qorImage_block& block) {
    std::lock_guard lock(output_mutex);
    try {
      engine::io::write_image(output, block, display_scale());
      image_written = true;
      console.message(engine::message_kind::info, "Wrote " + output + " (" +
                                                      std::to_string(block.width) + "x" +
                                                      std::to_string(block.height) + ")\n");
    } catch (const std::runtime_error& error) {
      image_failed = true;
      console.message(engine::message_kind::error, error.what() + std::string("\n"));
    }
  };
  callbacks.next_event = [&](qorOutput_event& event) {
    if (progress) events.set_iteration(progress->iteration_in_progress());
    return events.next(event);
  };

  std::unique_ptr<engine::render_engine> engine;
  try {
    engine = std::make_unique<engine::render_engine>(scene, settings, callbacks);
  } catch (const qor::scene::scene_error& error) {
    std::cerr << error.what() << std::endl;
    return exit_bad_input;
  } catch (const std::exception& error) {
    print_error(error.what());
    return exit_render_failure;
  }
  engine_for_callbacks = engine.get();

  qorInstaller* installer = nullptr;
  try {
    installer = &engine->load_module(module_path);
  } catch (const std::exception& error) {
    print_error(error.what());
    return exit_render_failure;
  }
  if (installer->parameter_size() != int(parameter_block_size)) {
    print_error("the module '" + module_path + "' takes a parameter block of " +
                std::to_string(installer->parameter_size()) + " bytes; this qor-render knows the " +
                std::to_string(parameter_block_size) + "-byte block of the ppm renderer");
    return exit_render_failure;
  }
  parameter_block block(parameter_block_size);
  installer->default_parameters(engine->scene(), block.data());
  if (!configure(block)) return exit_bad_input;
  installer->create(engine->scene(), block.data());
  if (engine->find_renderer(renderer_name) == nullptr ||
      engine->find_renderer_sampler(renderer_name) == nullptr) {
    print_error("the module '" + module_path + "' registered no renderer named '" + renderer_name +
                "'");
    return exit_render_failure;
  }

  const int iteration_limit = block.get_int(*find_parameter("max_iterations"));
  progress = std::make_unique<engine::io::render_progress>(iteration_limit, line.time_limit);
  events.set_script(std::move(script));
  if (line.time_limit > 0) {
    events.set_deadline(engine::io::input_events::clock::now() +
                        std::chrono::duration_cast<engine::io::input_events::clock::duration>(
                            std::chrono::duration<double>(line.time_limit)));
  }
  if (line.window) {
    try {
      window = std::make_unique<engine::io::preview_window>(
          events, "qor-render: " + fs::path(line.scene_path).filename().string());
    } catch (const std::runtime_error& error) {
      print_error(error.what());
      return exit_render_failure;
    }
  }
  engine::io::terminal_keys terminal(STDIN_FILENO, events);
  if (isatty(STDERR_FILENO) && line.verbosity != engine::io::verbosity::quiet) {
    console.show_status([&] { return engine::io::progress_line(progress->at(seconds_now())); });
  }

  progress->start(seconds_now());
  rendering = true;
  running_engine = engine.get();
  int status = exit_rendered;
  try {
    engine->render_frame(renderer_name);
  } catch (const std::exception& error) {
    console.message(engine::message_kind::error, error.what() + std::string("\n"));
    status = exit_render_failure;
  }
  running_engine = nullptr;
  console.finish_status();

  std::lock_guard lock(output_mutex);
  if (status == exit_rendered && !image_written) {
    if (!image_failed) {
      console.message(engine::message_kind::error, "the renderer delivered no image\n");
    }
    status = exit_render_failure;
  }
  return status;
}

}  // namespace qor::cli
