// The host engine: a scene ready to trace, with everything the host interface promises a module.
// qor-render builds one engine per render, loads the module into it and drives the module through
// the objects the module registers.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "host/qor.h"

struct scene_description;

namespace engine {

enum class message_kind { progress, info, warning, error, critical };

// Where the engine sends what the module says and shows, and where it gets input from. Every
// callback runs on the thread that made the call; the sink serialises its own output.
struct host_callbacks {
  std::function<void(message_kind, std::string_view text)> message;
  std::function<void(const qorImage_block& block)> show_block;    // qor_show_block
  std::function<void(const qorImage_block& block)> output_block;  // qor_output_block
  std::function<bool(qorOutput_event& event)> next_event;         // qor_output_check_input
};

struct engine_settings {
  int threads = 0;                // worker threads; 0: every core
  int width = 0, height = 0;      // image size; 0: the film's
  int crop[4] = {0, 0, 0, 0};     // render region x0 y0 x1 y1 in pixels; all 0: the film's
  int max_camera_depth = 8;       // specular continuations of a camera ray
  int max_photon_depth = 16;      // scattering events of a photon path
};

class render_engine {
 public:
  // Builds the ray tracing scene, camera, materials, lights and options from the description.
  // Throws std::runtime_error with a message naming the scene element at fault.
  render_engine(const scene_description& scene, const engine_settings& settings,
                host_callbacks callbacks);
  ~render_engine();
  render_engine(const render_engine&) = delete;
  render_engine& operator=(const render_engine&) = delete;

  qorScene& scene();
  qorOptions& options();

  // Loads a module with dlopen and calls its qor_initialize. Throws std::runtime_error naming
  // the file when it cannot be loaded, has no entry point, or registers no installer.
  qorInstaller& load_module(const std::string& path);

  // The renderer registered under a name by the module's create, or null.
  qorIllum_api* find_renderer(const std::string& name);
  qorImage_sampler* find_renderer_sampler(const std::string& name);

  // Asks the render to stop now; the module sees it through qor_stop_requested.
  void request_stop();

  struct impl;

 private:
  std::unique_ptr<impl> impl_;
};

}  // namespace engine
