// The host engine: a scene ready to trace, with everything the host interface promises a module.
// qor-render builds one engine per render, loads the module into it and drives the module through
// the objects the module registers:
//
//   engine::render_engine engine(parsed.scene, settings, callbacks);
//   qorInstaller& installer = engine.load_module("ppm.so");
//   std::vector<char> block(installer.parameter_size());
//   installer.default_parameters(engine.scene(), block.data());
//   ... change fields of the block ...
//   installer.create(engine.scene(), block.data());
//   int stopped = engine.render_frame("ppm");
//
// The qor_* functions the module calls are defined by this library; a program that loads a
// module must export them (CMake: ENABLE_EXPORTS, and link qor_engine, which brings the whole
// runtime in).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "host/qor.h"

namespace qor::scene {
struct scene_description;
}

namespace engine {

struct traceable_scene;

enum class message_kind { progress, info, warning, error, critical };

// Where the engine sends what the module says and shows, and where it gets input from. Every
// callback runs on the thread that made the call, possibly several at once; the engine hands
// each message over whole, and the sink serialises its own output. Unset callbacks: messages go
// to standard error, blocks are dropped, no events arrive.
struct host_callbacks {
  // `text` is the formatted message as the module wrote it (usually ending in "\n").
  std::function<void(message_kind, std::string_view text)> message;
  std::function<void(const qorImage_block& block)> show_block;    // qor_show_block
  std::function<void(const qorImage_block& block)> output_block;  // qor_output_block
  std::function<bool(qorOutput_event& event)> next_event;         // qor_output_check_input
};

struct engine_settings {
  int threads = 0;             // worker threads; 0: every core
  int width = 0, height = 0;   // image size; 0: the film's
  int crop[4] = {0, 0, 0, 0};  // render region x0 y0 x1 y1 in pixels (end exclusive); all 0:
                               // the film's crop window
  int max_camera_depth = 8;    // specular continuations of a camera ray
  int max_photon_depth = 16;   // scattering events of a photon path
  float sample_spread = 1;     // width of the renderer's sub-pixel jitter, in pixels
  // Sample pixels per film pixel along each axis, 1 to max_pixel_strata (pixel_strata.h): the
  // renderer renders an image this many times wider and taller, and the blocks it shows and
  // outputs reach the callbacks at the film's size.
  int pixel_strata = 1;
};

// Aligned memory handed to modules (qor_malloc_aligned and qor_malloc2_aligned), process-wide.
// Kind -1 stands for qor_malloc_aligned; kinds 0 to 15 for qor_malloc2_aligned (others count
// as 15).
struct memory_usage {
  size_t current_bytes = 0;
  size_t peak_bytes = 0;
  size_t current_bytes_by_kind[17] = {};  // index kind + 1
  size_t peak_bytes_by_kind[17] = {};
  size_t allocations = 0;  // successful allocations so far
};
memory_usage current_memory_usage();

// What the photon shader has done since the engine was built, summed over the threads.
struct photon_statistics {
  uint64_t paths = 0;     // photon paths emitted (each call of the photon shader that emitted one)
  uint64_t hits = 0;      // hits reported to the illumination object's store_photon
  uint64_t segments = 0;  // rays traced for photons
};

class render_engine {
 public:
  // Builds the ray tracing scene, camera, materials, lights and options from the description.
  // Throws std::runtime_error with a message naming the scene element at fault. Warnings about
  // what the engine cannot render go through callbacks.message.
  render_engine(const qor::scene::scene_description& scene, const engine_settings& settings,
                host_callbacks callbacks);
  // The same from a render-time scene built by hand (tests, benchmarks).
  render_engine(const traceable_scene& scene, const engine_settings& settings,
                host_callbacks callbacks);
  ~render_engine();
  render_engine(const render_engine&) = delete;
  render_engine& operator=(const render_engine&) = delete;

  qorScene& scene();
  // The options record the module reads (qor_info(scene, 10)); change it before a frame.
  qorOptions& options();
  int thread_count() const;

  // Loads a module with dlopen and calls its qor_initialize. Throws std::runtime_error naming
  // the file when it cannot be loaded, has no entry point, or registers no installer. Returns
  // the installer the module registered last.
  qorInstaller& load_module(const std::string& path);

  // The renderer registered under a name by the module's create, or null.
  qorIllum_api* find_renderer(const std::string& name);
  qorImage_sampler* find_renderer_sampler(const std::string& name);

  // Renders one frame with the named renderer: installs it as the scene's illumination object,
  // then calls its setup, its sampler's render and its cleanup, and returns what render
  // returned (the stop flag). Per-thread storage is handed out afresh for every frame. Throws
  // std::runtime_error when no renderer has that name.
  int render_frame(const std::string& renderer_name);

  // The photon figures so far. Exact between photon passes (on the render's driver thread, in a
  // message callback, or after the frame); during a pass, a recent value.
  photon_statistics photons() const;

  // Asks the render to stop now; the module sees it through qor_stop_requested.
  void request_stop();

  struct impl;

 private:
  std::unique_ptr<impl> impl_;
};

}  // namespace engine
