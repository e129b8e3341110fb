// The engine's scene set-up, module loading and frames.
#include "engine/runtime/engine.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "engine/runtime/embree_tracer.h"
#include "engine/runtime/runtime.h"
#include "engine/runtime/scene_conversion.h"

namespace engine {

thread_context::thread_context(int index)
    : random(uint64_t(index) * 0x9e3779b97f4a7c15ull + 1, 2 * uint64_t(index) + 1),
      random2(uint64_t(index) * 0x9e3779b97f4a7c15ull + 2, 2 * uint64_t(index) + 2) {
  std::memset(static_cast<void*>(&record), 0, sizeof record);
  record.thread_index = index;
  record.random = &random;
  record.random2 = &random2;
  record.emission_enabled = 1;
}

}  // namespace engine

using namespace engine;

qorScene::qorScene(int threads)
    : thread_count(threads),
      pool(threads),
      photon_tallies(std::make_unique<photon_tally[]>(size_t(std::max(threads, 1)))),
      last_film_offsets(std::make_unique<film_offsets[]>(size_t(std::max(threads, 1)))) {}

photon_tally* qorScene::photon_tally_of(const qorThread& thread) {
  const int index = thread.thread_index;
  return index >= 0 && index < std::max(thread_count, 1) ? &photon_tallies[index] : nullptr;
}

film_offsets* qorScene::film_offsets_of(const qorThread& thread) {
  const int index = thread.thread_index;
  return index >= 0 && index < std::max(thread_count, 1) ? &last_film_offsets[index] : nullptr;
}

qorScene::~qorScene() {
  for (thread_context* c : contexts) {
    c->~thread_context();
    std::free(c);
  }
}

thread_context& qorScene::context(int index) {
  if (index < 0) index = 0;
  std::lock_guard<std::mutex> lock(contexts_mutex);
  while (int(contexts.size()) <= index) {
    void* memory = std::aligned_alloc(alignof(thread_context), sizeof(thread_context));
    if (memory == nullptr) throw std::bad_alloc();
    contexts.push_back(new (memory) thread_context(int(contexts.size())));
    contexts.back()->record.scene = this;
  }
  return *contexts[index];
}

void qorScene::update_camera() {
  perspective_view view = content.view;
  view.fov = options.fov;
  camera = perspective_camera(view, options.width, options.height);
  camera.fill_camera_record(camera_record);
  camera.fill_view_record(view_record);
}

rgb qorScene::albedo_at(const qorRay& ray, double cos_in) const {
  if (ray.material == nullptr || ray.material->shader == nullptr ||
      ray.material->shader->material == nullptr) {
    return {};
  }
  const engine::surface_material& material = *ray.material->shader->material;
  return material.diffuse_reflectance_at(
             engine::texture_point_of(*this, static_cast<const engine::engine_ray&>(ray))) *
         float(material.coat_transmittance(cos_in));
}

const area_light& qorScene::area_light_at(int32_t index) const {
  return *area_lights[size_t(index)];
}

namespace engine {

struct render_engine::impl {
  std::unique_ptr<qorScene> scene;
  std::vector<void*> modules;  // dlopen handles, closed last
  std::vector<std::string> module_paths;
};

namespace {

std::atomic<int> live_engines{0};

void warn(const qorScene& scene, const std::string& text) {
  if (scene.callbacks.message) {
    scene.callbacks.message(message_kind::warning, text + "\n");
  } else {
    send_message(message_kind::warning, text + "\n");
  }
}

int resolve_threads(int requested) {
  if (requested > 0) return requested;
  return std::max(1u, std::thread::hardware_concurrency());
}

// Pixels [x0, x1) of a resolution that a crop window fraction pair selects, rounded as pbrt-v4
// rounds them (in single precision, so 100 x 0.1f is 10).
void crop_pixels(float f0, float f1, int resolution, int& p0, int& p1) {
  p0 = int(std::ceil(float(resolution) * std::clamp(std::min(f0, f1), 0.0f, 1.0f)));
  p1 = int(std::ceil(float(resolution) * std::clamp(std::max(f0, f1), 0.0f, 1.0f)));
}

void build_runtime(qorScene& s, const traceable_scene& content, const engine_settings& settings) {
  s.content = content;
  if (s.content.materials.empty()) s.content.materials.push_back(default_material());
  traceable_scene& c = s.content;

  // Image size and render region.
  const int width = settings.width > 0 ? settings.width : c.film.width;
  const int height = settings.height > 0 ? settings.height : c.film.height;
  if (width < 1 || height < 1) {
    throw std::runtime_error("image size " + std::to_string(width) + " x " +
                             std::to_string(height) + " is not positive");
  }
  int region[4] = {0, 0, 0, 0};
  const bool crop_given = settings.crop[0] != 0 || settings.crop[1] != 0 || settings.crop[2] != 0 ||
                          settings.crop[3] != 0;
  if (crop_given) {
    std::copy(settings.crop, settings.crop + 4, region);
  } else if (c.film.region && width == c.film.width && height == c.film.height) {
    std::copy(c.film.region->begin(), c.film.region->end(), region);
  } else {
    crop_pixels(c.film.crop_window[0], c.film.crop_window[1], width, region[0], region[2]);
    crop_pixels(c.film.crop_window[2], c.film.crop_window[3], height, region[1], region[3]);
  }
  region[0] = std::clamp(region[0], 0, width);
  region[2] = std::clamp(region[2], 0, width);
  region[1] = std::clamp(region[1], 0, height);
  region[3] = std::clamp(region[3], 0, height);
  if (region[0] >= region[2] || region[1] >= region[3]) {
    throw std::runtime_error("the render region [" + std::to_string(region[0]) + ", " +
                             std::to_string(region[2]) + ") x [" + std::to_string(region[1]) +
                             ", " + std::to_string(region[3]) + ") holds no pixel");
  }

  const int strata = settings.pixel_strata;
  if (strata < 1 || strata > max_pixel_strata) {
    throw std::runtime_error("pixel strata " + std::to_string(strata) + " is not between 1 and " +
                             std::to_string(max_pixel_strata));
  }
  s.pixel_strata = strata;

  // Rays leave surfaces this far off them: well above float rounding at the scene's scale.
  const bounding_box box = c.bounds();
  double extent = 1e-3;
  if (!box.empty()) {
    for (int i = 0; i < 3; ++i) {
      extent = std::max(
          {extent, std::abs(box.lower[i]), std::abs(box.upper[i]), box.upper[i] - box.lower[i]});
    }
  }
  s.ray_epsilon = 1e-5 * extent;

  s.tracer = std::make_unique<embree_tracer>(
      c, [](const std::string& text) { send_message(message_kind::critical, text + "\n"); });

  for (const std::shared_ptr<const surface_material>& m : c.materials) {
    s.materials.push_back(std::make_unique<material_slot>(m));
  }

  // The light list: lights first, then the area lights, linked through `next`.
  scene_extent bounds{{0, 0, 0}, 1};
  if (!box.empty()) {
    bounds.center = (box.lower + box.upper) * 0.5;
    bounds.radius = std::max(1e-6, length(box.upper - bounds.center));
  }
  for (const light_source& l : c.lights) {
    auto slot = std::make_unique<light_slot>();
    slot->light = l.make(bounds);
    slot->shader.light = slot->light.get();
    slot->emission_material.shader = &slot->shader;
    slot->light->material = &slot->emission_material;
    if (slot->light->kind() == int(light_type::infinite))
      s.environment.push_back(slot->light.get());
    s.lights.push_back(std::move(slot));
  }
  s.area_lights.assign(c.area_lights.size(), nullptr);
  for (size_t i = 0; i < c.area_lights.size(); ++i) {
    const area_light_source& a = c.area_lights[i];
    auto slot = std::make_unique<light_slot>();
    auto light = std::make_unique<area_light>(a, c.shapes[a.shape], a.shape);
    if (!(light->area() > 0)) warn(s, "an area light's shape has no area; it emits nothing");
    slot->shader.light = light.get();
    slot->emission_material.shader = &slot->shader;
    light->emissive_object.material = &slot->emission_material;
    light->material = nullptr;  // its photons come from the emissive object
    light->object = &light->emissive_object;
    s.emissive_objects.push_back(&light->emissive_object);
    s.area_lights[i] = light.get();
    slot->light = std::move(light);
    s.lights.push_back(std::move(slot));
  }
  for (size_t i = 0; i + 1 < s.lights.size(); ++i) {
    s.lights[i]->light->next = s.lights[i + 1]->light.get();
  }
  if (s.lights.empty()) warn(s, "No light sources defined in scene; rendering a black image.");

  // The options record, with the engine's defaults.
  qorOptions& o = s.options;
  std::memset(static_cast<void*>(&o), 0, sizeof o);
  o.layout_version = 1;
  o.supersampling = 1;
  o.max_camera_depth = settings.max_camera_depth;
  o.max_photon_depth = settings.max_photon_depth;
  o.thread_count = s.thread_count;
  o.sample_weight_divisor = 1;
  o.ray_epsilon = float(s.ray_epsilon);
  o.shadow_mode = 's';
  o.indirect_enabled = 1;
  o.scene_changed = 1;
  o.fov = c.view.fov;
  o.region_x0 = region[0] * strata;
  o.region_y0 = region[1] * strata;
  o.region_x1 = region[2] * strata;
  o.region_y1 = region[3] * strata;
  o.width = width * strata;
  o.height = height * strata;
  o.display_scale = 1;
  o.sample_spread = settings.sample_spread;
  o.min_pixel_samples = 1;
  o.max_pixel_samples = 1;
  s.update_camera();

  for (int i = 0; i < s.thread_count; ++i) s.context(i);
}

}  // namespace

render_engine::render_engine(const qor::scene::scene_description& scene,
                             const engine_settings& settings, host_callbacks callbacks)
    : impl_(std::make_unique<impl>()) {
  qor::scene::warning_sink warnings;
  const traceable_scene content = build_traceable_scene(scene, warnings);
  impl_->scene = std::make_unique<qorScene>(resolve_threads(settings.threads));
  impl_->scene->callbacks = std::move(callbacks);
  add_message_sink(&impl_->scene->callbacks);
  try {
    for (const qor::scene::scene_warning& w : warnings.warnings) {
      warn(*impl_->scene, to_string(w.location) + ": " + w.message);
    }
    build_runtime(*impl_->scene, content, settings);
  } catch (...) {
    remove_message_sink(&impl_->scene->callbacks);
    throw;
  }
  ++live_engines;
}

render_engine::render_engine(const traceable_scene& scene, const engine_settings& settings,
                             host_callbacks callbacks)
    : impl_(std::make_unique<impl>()) {
  impl_->scene = std::make_unique<qorScene>(resolve_threads(settings.threads));
  impl_->scene->callbacks = std::move(callbacks);
  add_message_sink(&impl_->scene->callbacks);
  try {
    build_runtime(*impl_->scene, scene, settings);
  } catch (...) {
    remove_message_sink(&impl_->scene->callbacks);
    throw;
  }
  ++live_engines;
}

render_engine::~render_engine() {
  remove_message_sink(&impl_->scene->callbacks);
  impl_->scene.reset();
  for (auto it = impl_->modules.rbegin(); it != impl_->modules.rend(); ++it) dlclose(*it);
  // A module may keep blocks between renders (its last framebuffer, say) and never release
  // them. Once the last engine is gone and its modules are unloaded, nobody can use them.
  const bool last_engine = --live_engines == 0;
  bool modules_unloaded = true;
  for (const std::string& path : impl_->module_paths) {
    if (void* still = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
      dlclose(still);
      modules_unloaded = false;
    }
  }
  if (last_engine && modules_unloaded && !impl_->modules.empty()) release_all_aligned_blocks();
}

qorScene& render_engine::scene() {
  return *impl_->scene;
}

qorOptions& render_engine::options() {
  return impl_->scene->options;
}

int render_engine::thread_count() const {
  return impl_->scene->thread_count;
}

qorInstaller& render_engine::load_module(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    throw std::runtime_error(path + ": cannot load the module: " + (why ? why : "unknown error"));
  }
  auto entry = reinterpret_cast<qor_initialize_fn>(dlsym(handle, "qor_initialize"));
  if (entry == nullptr) {
    dlclose(handle);
    throw std::runtime_error(path + ": not a renderer module (no qor_initialize)");
  }
  impl_->modules.push_back(handle);
  impl_->module_paths.push_back(path);
  qorScene& s = *impl_->scene;
  {
    std::lock_guard<std::mutex> lock(s.registry_mutex);
    s.last_installer = nullptr;
  }
  entry(&s);
  std::lock_guard<std::mutex> lock(s.registry_mutex);
  if (s.last_installer == nullptr) {
    throw std::runtime_error(path + ": the module registered no installer");
  }
  return *s.last_installer;
}

qorIllum_api* render_engine::find_renderer(const std::string& name) {
  qorScene& s = *impl_->scene;
  std::lock_guard<std::mutex> lock(s.registry_mutex);
  auto it = s.renderers.find(name);
  return it == s.renderers.end() ? nullptr : it->second.api;
}

qorImage_sampler* render_engine::find_renderer_sampler(const std::string& name) {
  qorScene& s = *impl_->scene;
  std::lock_guard<std::mutex> lock(s.registry_mutex);
  auto it = s.renderers.find(name);
  return it == s.renderers.end() ? nullptr : it->second.sampler;
}

int render_engine::render_frame(const std::string& renderer_name) {
  qorScene& s = *impl_->scene;
  qorIllum_api* api = find_renderer(renderer_name);
  qorImage_sampler* sampler = find_renderer_sampler(renderer_name);
  if (api == nullptr || sampler == nullptr) {
    throw std::runtime_error("no renderer is registered as \"" + renderer_name + "\"");
  }
  qor_install_illum_api(s, api);
  {
    std::lock_guard<std::mutex> lock(s.contexts_mutex);
    s.tls_used = 0;
  }
  for (int i = 0; i < s.thread_count; ++i) qor_tls_free(s, i);
  api->setup(s);
  const int stopped = sampler->render(s);
  api->cleanup();
  return stopped;
}

photon_statistics render_engine::photons() const {
  photon_statistics total;
  const qorScene& s = *impl_->scene;
  for (int i = 0; i < std::max(s.thread_count, 1); ++i) {
    total.paths += s.photon_tallies[i].paths.load(std::memory_order_relaxed);
    total.hits += s.photon_tallies[i].hits.load(std::memory_order_relaxed);
    total.segments += s.photon_tallies[i].segments.load(std::memory_order_relaxed);
  }
  return total;
}

void render_engine::request_stop() {
  impl_->scene->stop.store(1);
}

}  // namespace engine
