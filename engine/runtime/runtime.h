// The engine's side of the host interface: what a qorScene, a qorShader, a qorRay and a
// qorThread are to the engine. Internal to engine/runtime; qor-render sees engine.h only.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/runtime/camera.h"
#include "engine/runtime/engine.h"
#include "engine/runtime/lights/area_light.h"
#include "engine/runtime/materials/material.h"
#include "engine/runtime/pixel_strata.h"
#include "engine/runtime/task_pool.h"
#include "engine/runtime/traceable_scene.h"
#include "host/qor.h"

// A shader is either a surface shader (a material's) or an emission shader (a light's).
struct qorShader {
  const engine::surface_material* material = nullptr;
  engine::scene_light* light = nullptr;
};

namespace engine {

// PCG32 (O'Neill): the engine's own random source, one pair per thread context.
class engine_random final : public qorRandom {
 public:
  engine_random(uint64_t seed_value, uint64_t stream) { reset(seed_value, stream); }
  float next_float() override { return float(next_u32() >> 8) * 0x1p-24f; }  // [0, 1)
  // The engine's sources are plain streams: a new path simply continues the stream.
  void restart() override {}
  void seed(uint32_t s) override { reset(s, stream_); }

  uint32_t next_u32() {
    const uint64_t old = state_;
    state_ = old * 6364136223846793005ull + increment_;
    const uint32_t shifted = uint32_t(((old >> 18u) ^ old) >> 27u);
    const uint32_t rotation = uint32_t(old >> 59u);
    return (shifted >> rotation) | (shifted << ((32 - rotation) & 31));
  }

 private:
  void reset(uint64_t seed_value, uint64_t stream) {
    stream_ = stream;
    state_ = 0;
    increment_ = (stream << 1u) | 1u;
    next_u32();
    state_ += seed_value;
    next_u32();
  }
  uint64_t state_ = 0, increment_ = 1, stream_ = 0;
};

// A shadow ray that a light's slot 4 recorded, with the contribution it carries.
struct shadow_test {
  vec3 origin;
  vec3 direction;
  double distance = 0;
  rgb contribution;
};

// Every ray the engine hands out is one of these; the module sees the qorRay part. reset_ray
// (rays.cpp) resets each field below by name: a new field needs its line there.
struct engine_ray : qorRay {
  // The RGB factor of the camera path so far (mirror colours, the 1 / eta^2 of refraction);
  // the module's scalar weight stays the divisor.
  rgb throughput{1, 1, 1};
  bool camera_first_segment = false;      // a camera ray that has not been continued
  double raster_x = 0, raster_y = 0;      // where a camera ray left the image plane
  surface_id leaving;                     // the surface the ray starts on: ignored by the trace
  surface_id at_hit;                      // the surface at the hit, for triangles only
  surface_id hit_surface;                 // the surface at the hit (uv holds its barycentrics)
  std::vector<shadow_test> shadow_tests;  // recorded by slot 4 on a light ray
};

// The engine's per-thread context: the record modules see, then the engine's own sources.
struct alignas(64) thread_context {
  qorThread record;  // storage slots are offsets from this record's address
  engine_random random;
  engine_random random2;

  explicit thread_context(int index);
};

// Where the pixel filter puts a thread's camera samples, in film pixels from the pixel's corner,
// one position per stratum, and the offsets they were worked out from. Every pixel of a pass
// shares the offsets, so a thread maps them (a quantile and the filter's inverse distribution)
// once per pass, not per pixel.
struct alignas(64) film_offsets {
  float dx = -1, dy = -1, spread = -1;
  int32_t iteration = -1;
  double x[max_pixel_strata] = {}, y[max_pixel_strata] = {};
};

// What the photon shader did on one thread index, for benchmarks. Only the thread that holds the
// index during a pass adds to it (a relaxed load and store, no read-modify-write across cores);
// others read it between passes.
struct alignas(64) photon_tally {
  std::atomic<uint64_t> paths{0};     // photon paths emitted
  std::atomic<uint64_t> hits{0};      // hits reported to the illumination object (store_photon)
  std::atomic<uint64_t> segments{0};  // rays traced for photons

  static void add(std::atomic<uint64_t>& counter, uint64_t n) {
    counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  }
};

// A material as the module meets it: the record a ray's hit points to, and its shader.
struct material_slot {
  explicit material_slot(std::shared_ptr<const surface_material> material)
      : owner(std::move(material)), data(*owner) {
    shader.material = &data;
    record.shader = &shader;
  }
  std::shared_ptr<const surface_material> owner;
  const surface_material& data;
  qorShader shader;
  qorMaterial record{};
};

struct light_slot {
  std::unique_ptr<scene_light> light;
  qorShader shader;
  qorMaterial emission_material{};  // point, spot, distant: material of the light record;
                                    // area: material of the emissive object
};

struct renderer_entry {
  qorIllum_api* api = nullptr;
  qorImage_sampler* sampler = nullptr;
};

// Totals of qor_malloc_aligned / qor_malloc2_aligned, process-wide.
struct memory_totals;

}  // namespace engine

// The engine's scene: everything the host interface reaches through a qorScene.
struct qorScene {
  explicit qorScene(int threads);

  engine::host_callbacks callbacks;
  engine::traceable_scene content;
  std::unique_ptr<engine::ray_tracer> tracer;
  engine::perspective_camera camera;
  double ray_epsilon = 1e-5;  // world units; offset of rays that leave a surface

  qorOptions options{};
  qorCamera camera_record{};
  qorView view_record{};
  int32_t thread_count = 1;
  // Sample pixels per film pixel along each axis (pixel_strata.h): the options' image and region
  // are the film's times this.
  int pixel_strata = 1;

  std::vector<std::unique_ptr<engine::material_slot>> materials;
  std::vector<std::unique_ptr<engine::light_slot>> lights;  // in list order, linked by next
  std::vector<qorObject*> emissive_objects;
  std::vector<const engine::area_light*> area_lights;   // by index of content.area_lights
  std::vector<const engine::scene_light*> environment;  // lights at infinity, which rays that
                                                        // leave the scene see

  std::mutex registry_mutex;
  std::vector<qorInstaller*> installers;
  qorInstaller* last_installer = nullptr;  // registered by the latest qor_register_dso_installer
  qorIllum_api* illum = nullptr;
  std::vector<qorImage_sampler*> samplers;
  std::map<std::string, engine::renderer_entry> renderers;

  std::mutex contexts_mutex;
  std::deque<engine::thread_context*> contexts;  // by index; never moved once made
  int tls_used = 0;                              // bytes of per-thread storage handed out

  engine::task_pool pool;
  std::atomic<int> stop{0};

  // One per thread index below thread_count; photons traced on other indices are not counted.
  std::unique_ptr<engine::photon_tally[]> photon_tallies;
  // The tally of a thread context's index, or null.
  engine::photon_tally* photon_tally_of(const qorThread& thread);
  // Likewise the film position of each thread index's last camera sample.
  std::unique_ptr<engine::film_offsets[]> last_film_offsets;
  engine::film_offsets* film_offsets_of(const qorThread& thread);

  ~qorScene();

  // The context of a thread index, made on first use. Thread-safe.
  engine::thread_context& context(int index);
  // Rebuilds the camera, camera record and view record from the options' fov and size.
  void update_camera();
  // The area light of an index of content.area_lights.
  const engine::area_light& area_light_at(int32_t index) const;
  // The diffuse albedo of the material a ray hit, for light arriving at cosine cos_in to its
  // normal (a coat passes only part of it); black without one.
  engine::rgb albedo_at(const qorRay& ray, double cos_in) const;
};

namespace engine {

// Interfaces a camera path or a photon path may cross in a row before it is cut: surfaces that
// pass a ray on unchanged could otherwise hold it forever where they coincide.
inline constexpr int max_interface_crossings = 64;

// The scene a ray belongs to.
inline qorScene& scene_of(const qorRay& ray) {
  return *ray.thread->scene;
}

// A fresh ray bound to a thread context, with the engine's defaults.
engine_ray* make_ray(qorThread* thread, uint32_t type);
// Makes `child` what parent.new_ray(type) returns, in storage the caller owns.
void start_child_ray(qorRay& parent, uint32_t type, engine_ray& child);

// Traces the ray against the scene, skipping the surface it leaves; fills no ray field.
std::optional<raw_hit> trace(const qorScene& scene, const engine_ray& ray);
// Fills the hit fields of the ray (position, normals facing the incoming ray, material, distance,
// offset) and returns the resolved surface.
surface_hit record_hit(const qorScene& scene, engine_ray& ray, const raw_hit& hit);
// The ray's last hit as textures see it.
inline texture_point texture_point_of(const qorScene& scene, const engine_ray& ray) {
  return {scene.content, ray.hit_surface, ray.uv[0], ray.uv[1], vec3::from(ray.hit_position)};
}
// Sets `next` to leave the surface that `from` just hit in `direction`, from just off that
// surface on the side the direction points to. `next` may be `from` itself.
void leave_surface(const qorScene& scene, const engine_ray& from, const surface_hit& surface,
                   const vec3& direction, engine_ray& next);
// Lets the ray pass through the surface it just hit (an interface), keeping its origin.
void pass_through(const qorScene& scene, engine_ray& ray, const surface_hit& surface);

// The camera and diffuse shading of the runtime (shading.cpp).
bool trace_camera_path(engine_ray& ray, float color[3]);
// The photon shader (photon_shader.cpp).
int trace_photon(const float* power, engine_ray& ray, qorShader* shader);

// Releases every block of qor_malloc_aligned / qor_malloc2_aligned still held; returns how many.
// Only for when no module that could still use one is loaded.
size_t release_all_aligned_blocks();

// The message sink of the most recently built engine that is still alive receives the messages
// (they carry no scene); without one they go to standard error.
void add_message_sink(const host_callbacks* callbacks);
void remove_message_sink(const host_callbacks* callbacks);
void send_message(message_kind kind, const std::string& text);

}  // namespace engine
