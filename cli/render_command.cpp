#include "cli/render_command.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>

#include "cli/parameter_table.h"
#include "cli/render_job.h"
#include "cli/renderer_settings.h"
#include "cli/scene_summary.h"
#include "cli/scene_view.h"
#include "engine/io/convergence.h"
#include "engine/io/image_codec.h"
#include "engine/io/image_file.h"
#include "engine/io/image_writer_child.h"
#include "engine/io/input_events.h"
#include "engine/io/interrupts.h"
#include "engine/io/preview_window.h"
#include "engine/io/render_progress.h"
#include "engine/io/terminal_keys.h"
#include "engine/runtime/processes.h"
#include "engine/runtime/scene_conversion.h"
#include "engine/scene/parse_scene.h"

namespace qor::cli {

namespace {

namespace fs = std::filesystem;

constexpr int exit_rendered = 0;
constexpr int exit_render_failure = 1;
constexpr int exit_bad_input = 2;

// A fault of the engine, the module or the image files: exit status 1, one "error:" line.
class render_failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

double seconds_now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// The scene as the reader understood it and as the engine's kinds made it, every warning of both
// printed.
struct read_scene {
  qor::scene::scene_description description;
  engine::traceable_scene made;
  size_t warnings = 0;
};

read_scene read(const std::string& path) {
  read_scene scene;
  qor::scene::parse_result parsed;
  try {
    parsed = qor::scene::parse_scene_file(path);
  } catch (const qor::scene::scene_error&) {
    throw;
  } catch (const std::exception& error) {
    throw settings_error("error: " + path + ": " + error.what());
  }
  qor::scene::warning_sink warnings{std::move(parsed.warnings)};
  scene.description = std::move(parsed.scene);
  try {
    scene.made = engine::build_traceable_scene(scene.description, warnings);
  } catch (const qor::scene::scene_error&) {
    throw;
  } catch (const std::exception& error) {
    throw render_failure(error.what());
  }
  // Every process of a shared render reads the same file: the first one speaks for all.
  if (engine::processes::index() == 0) {
    for (const qor::scene::scene_warning& warning : warnings.warnings) {
      std::cerr << qor::scene::to_string(warning) << "\n";
    }
  }
  scene.warnings = warnings.warnings.size();
  return scene;
}

// The block with the table's defaults and the job's parameters, as --list-parameters prints it.
std::string listed_parameters(const std::vector<parameter_value>& parameters) {
  parameter_block block(parameter_block_size);
  fill_table_defaults(block);
  block.assign(parameters);
  return describe_parameters(block);
}

// What the render says and shows while it runs: messages and the progress line, the preview
// window and file, the image file at the end, and the input that steers it (keys, the time limit,
// Ctrl-C). Made before the scene is read, so that Ctrl-C is set up before any thread starts.
// In a render shared by several processes only the first one shows, writes and reads input; the
// others say only their warnings and errors, and the module takes every decision from the first.
class render_session {
 public:
  explicit render_session(const render_job& job)
      : job_(job),
        lead_(engine::processes::index() == 0),
        // starts no thread until its status line shows
        console_(lead_ ? job.verbosity : engine::io::verbosity::quiet),
        interrupts_([this] { first_interrupt(); }, [this] { second_interrupt(); },
                    engine::processes::count() > 1) {}

  // The engine, built from the scene, with the session's callbacks.
  std::unique_ptr<engine::render_engine> build_engine(const engine::traceable_scene& scene) {
    engine::host_callbacks callbacks;
    callbacks.message = [this](engine::message_kind kind, std::string_view text) {
      if (progress_) progress_->observe(text, seconds_now());
      console_.message(kind, text);
    };
    callbacks.show_block = [this](const qorImage_block& block) { show(block); };
    callbacks.output_block = [this](const qorImage_block& block) { write(block); };
    callbacks.next_event = [this](qorOutput_event& event) {
      if (progress_) events_.set_iteration(progress_->iteration_in_progress());
      return events_.next(event);
    };
    try {
      auto engine = std::make_unique<engine::render_engine>(scene, job_.engine, callbacks);
      engine_ = engine.get();
      return engine;
    } catch (const std::exception& error) {
      throw render_failure(error.what());
    }
  }

  // Renders with the renderer the module registered; the exit status.
  int render(engine::render_engine& engine, int iteration_limit) {
    if (!job_.reference.empty()) {
      try {
        convergence_ =
            std::make_unique<engine::io::convergence_log>(job_.reference, job_.convergence_csv);
      } catch (const std::runtime_error& error) {
        throw render_failure(error.what());
      }
    }
    progress_ = std::make_unique<engine::io::render_progress>(iteration_limit, job_.time_limit);
    events_.set_script(job_.keys);
    if (job_.time_limit > 0) {
      using clock = engine::io::input_events::clock;
      events_.set_deadline(clock::now() + std::chrono::duration_cast<clock::duration>(
                                              std::chrono::duration<double>(job_.time_limit)));
    }
    if (job_.window && lead_) {
      try {
        window_ = std::make_unique<engine::io::preview_window>(
            events_, "qor-render: " + fs::path(job_.scene_path).filename().string());
      } catch (const std::runtime_error& error) {
        throw render_failure(error.what());
      }
    }
    engine::io::terminal_keys terminal(STDIN_FILENO, events_);
    if (lead_ && isatty(STDERR_FILENO) && job_.verbosity != engine::io::verbosity::quiet) {
      console_.show_status(
          [this] { return engine::io::progress_line(progress_->at(seconds_now())); });
    }

    progress_->start(seconds_now());
    rendering_ = true;
    running_engine_ = &engine;
    int status = exit_rendered;
    try {
      engine.render_frame(job_.renderer);
    } catch (const std::exception& error) {
      console_.message(engine::message_kind::error, error.what() + std::string("\n"));
      status = exit_render_failure;
    }
    running_engine_ = nullptr;
    console_.finish_status();

    std::lock_guard lock(output_mutex_);
    if (status == exit_rendered && !image_written_) {
      if (!image_failed_) {
        console_.message(engine::message_kind::error, "the renderer delivered no image\n");
      }
      status = exit_render_failure;
    }
    return status;
  }

 private:
  // Ctrl-C before the render leaves at once; during it, the first ends the render at its next
  // output step and the second stops it now (see interrupts).
  void first_interrupt() {
    if (!rendering_) {
      engine::io::restore_terminal();
      _exit(130);
    }
    console_.message(engine::message_kind::info,
                     "interrupted: ending at the next output step (Ctrl-C again to stop now)\n");
    events_.request_end();
  }
  void second_interrupt() {
    console_.message(engine::message_kind::info,
                     "interrupted again: stopping now; the image reached so far is written\n");
    events_.request_end();
    if (engine::render_engine* engine = running_engine_.load()) engine->request_stop();
  }

  float display_scale() const { return engine_->options().display_scale; }

  void show(const qorImage_block& block) {
    if (window_) window_->show(block, display_scale());
    if (!lead_) return;
    log_convergence(block, progress_->iteration_in_progress());
    if (job_.preview_file.empty()) return;
    std::lock_guard lock(output_mutex_);
    try {
      engine::io::write_image(job_.preview_file, block, display_scale());
    } catch (const std::runtime_error& error) {
      if (!preview_failed_) {
        console_.message(engine::message_kind::warning, error.what() + std::string("\n"));
      }
      preview_failed_ = true;
    }
  }

  void write(const qorImage_block& block) {
    if (lead_) log_convergence(block, progress_->at(seconds_now()).iterations_run);
    std::lock_guard lock(output_mutex_);
    if (!lead_) {
      // The first process writes the image the module sends; this one's copy is its share.
      image_written_ = true;
      return;
    }
    try {
      engine::io::write_image(job_.output, block, display_scale());
      image_written_ = true;
      console_.message(engine::message_kind::info, "Wrote " + job_.output + " (" +
                                                       std::to_string(block.width) + "x" +
                                                       std::to_string(block.height) + ")\n");
    } catch (const std::runtime_error& error) {
      image_failed_ = true;
      console_.message(engine::message_kind::error, error.what() + std::string("\n"));
    }
  }

  // One row per output step (the final image's too, unless the last step showed the same
  // iteration), and the same figures on the console.
  void log_convergence(const qorImage_block& block, int iteration) {
    std::lock_guard lock(convergence_mutex_);
    if (!convergence_ || iteration == last_logged_iteration_) return;
    last_logged_iteration_ = iteration;
    try {
      const engine::io::convergence_point point = convergence_->score(block, display_scale());
      const double seconds = progress_->at(seconds_now()).elapsed;
      const uint64_t photons = engine_->photons().paths;
      convergence_->append(iteration, seconds, photons, point);
      char line[160];
      std::snprintf(line, sizeof line, "[%d] relMSE %.5g  mean/ref %.4f  (%.2f s, %llu photons)\n",
                    iteration, point.rel_mse, point.mean_ratio, seconds,
                    static_cast<unsigned long long>(photons));
      console_.message(engine::message_kind::info, line);
    } catch (const std::runtime_error& error) {
      console_.message(engine::message_kind::warning,
                       error.what() + std::string("; the convergence log stops here\n"));
      convergence_.reset();
    }
  }

  const render_job& job_;
  const bool lead_;
  engine::io::console console_;
  engine::io::input_events events_;
  std::atomic<bool> rendering_{false};
  std::atomic<engine::render_engine*> running_engine_{nullptr};
  engine::io::interrupts interrupts_;
  engine::render_engine* engine_ = nullptr;
  std::unique_ptr<engine::io::render_progress> progress_;
  std::unique_ptr<engine::io::preview_window> window_;
  std::mutex output_mutex_;  // the image files, written from the module's threads
  bool image_written_ = false;
  bool image_failed_ = false;
  bool preview_failed_ = false;
  std::mutex convergence_mutex_;
  std::unique_ptr<engine::io::convergence_log> convergence_;
  int last_logged_iteration_ = -1;
};

// Loads the module into the engine and creates its renderer from the module's defaults and the
// job's parameters. The renderer keeps pointers to the block's strings (the points file's name),
// so the block must outlive the render.
parameter_block create_renderer(engine::render_engine& engine, const render_job& job) {
  qorInstaller* installer = nullptr;
  try {
    installer = &engine.load_module(job.module_path);
  } catch (const std::exception& error) {
    throw render_failure(error.what());
  }
  if (installer->parameter_size() != int(parameter_block_size)) {
    throw render_failure("the module '" + job.module_path + "' takes a parameter block of " +
                         std::to_string(installer->parameter_size()) +
                         " bytes; this qor-render knows the " +
                         std::to_string(parameter_block_size) + "-byte block of the ppm renderer");
  }
  parameter_block block(parameter_block_size);
  installer->default_parameters(engine.scene(), block.data());
  block.assign(job.parameters);
  installer->create(engine.scene(), block.data());
  if (engine.find_renderer(job.renderer) == nullptr ||
      engine.find_renderer_sampler(job.renderer) == nullptr) {
    throw render_failure("the module '" + job.module_path + "' registered no renderer named '" +
                         job.renderer + "'");
  }
  return block;
}

}  // namespace

int run(const command_line& line) {
  try {
    render_job job = job_from_command_line(line);
    if (line.list_parameters && line.markdown) {
      std::cout << parameters_markdown();
      return exit_rendered;
    }
    if (line.list_parameters && line.scene_path.empty()) {
      std::cout << listed_parameters(job.parameters);
      return exit_rendered;
    }
    // Before the session's threads: the child that opens the image library meanwhile is forked.
    if (!line.check && !line.list_parameters && engine::processes::count() == 1) {
      engine::io::image_writer_child::start();
    }
    render_session session(job);
    const read_scene scene = read(job.scene_path);
    if (line.check) {
      std::cout << summarize_scene(scene.description, scene.made) << scene.warnings
                << (scene.warnings == 1 ? " warning" : " warnings") << "\n";
      return exit_rendered;
    }
    set_region_and_parameters(job, line, scene.made, scene.description);
    if (line.list_parameters) {
      const int k = job.engine.pixel_strata;
      std::cout << listed_parameters(job.parameters) << "\nsupersampling: " << k << " x " << k
                << " samples per pixel and pass ("
                << (line.supersample       ? "--supersample"
                    : line.module_defaults ? "--module-defaults"
                                           : std::string("host: ") + supersampling_rule)
                << ")\n";
      return exit_rendered;
    }
    complete_with_scene(job, line, scene.description);
    // A missing module is worth knowing before the engine is built.
    if (!fs::is_regular_file(job.module_path)) {
      throw render_failure(
          "cannot find the renderer module '" + job.module_path + "'" +
          (line.module_path.empty() ? " (build it, or name one with --module PATH)" : ""));
    }
    if (!engine::io::image_codec_present()) {
      throw render_failure(
          "cannot find the image library qor_image_codec.so beside qor-render (build it)");
    }
    const std::unique_ptr<engine::render_engine> engine = session.build_engine(scene.made);
    const parameter_block block = create_renderer(*engine, job);
    return session.render(*engine, block.get_int(*find_parameter("max_iterations")));
  } catch (const settings_error& error) {
    std::cerr << error.what() << std::endl;
    return exit_bad_input;
  } catch (const qor::scene::scene_error& error) {
    std::cerr << error.what() << std::endl;
    return exit_bad_input;
  } catch (const render_failure& error) {
    std::cerr << "error: " << error.what() << std::endl;
    return exit_render_failure;
  }
}

}  // namespace qor::cli
