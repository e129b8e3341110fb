// The functions a host exports to its modules. A module is built against these declarations and
// leaves them undefined; the host that loads it (the engine, or a test's fake host) defines them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/classes.h"
#include "host/records.h"

// Selectors of qor_info(scene, ...) and qor_info(ray, ...).
enum : int {
  qor_info_view = 0,      // qorView*: where the camera stands
  qor_info_threads = 2,   // const int32_t*: the number of worker threads, at least 1
  qor_info_lights = 7,    // qorLight*: the head of the light list, or null
  qor_info_options = 10,  // qorOptions*: the render options
};

// Info codes of the shader calls.
enum : int {
  qor_shader_reflectance = 0,  // three floats: diffuse reflectance at the ray's hit
  qor_shader_power = 6,        // one float: an emission shader's power in watts
  qor_shader_prepare = 746,    // no data: prepare an emission shader for photon emission
};

// The banner text a module passes to qor_check_signature: it names the interface version and the
// sizes of the shared records, so a module built against another layout is refused.
inline constexpr char qor_interface_banner[] =
    "qor host interface 2.8 (options 512, ray 368, thread 512+16384, camera 112, view 120)";

// Registration.
bool qor_check_signature(qorScene& scene, const char* banner);
void qor_register_dso_installer(qorScene& scene, qorInstaller* installer);
void qor_install_illum_api(qorScene& scene, qorIllum_api* api);
void qor_add_image_sampler(qorScene& scene, qorImage_sampler* sampler);
qorImage_sampler* qor_find_image_sampler(qorScene& scene, const char* name);  // null if absent
void qor_add_renderer(qorScene& scene, const char* name, qorIllum_api* api,
                      qorImage_sampler* sampler);

// Queries.
void* qor_info(qorScene& scene, int selector);
void* qor_info(qorRay& ray, int selector);  // the same records, for the ray's scene
qorCamera* qor_camera_get(qorScene& scene);
qorObject** qor_get_emissive_objects(qorScene& scene, uint32_t& count);
int qor_stop_requested(qorScene& scene);  // non-zero when the render must stop now
void qor_options_update(qorOptions& options);
void qor_render_update(qorScene& scene);

// Rays.
qorRay* qor_get_primary_ray(qorScene& scene, int thread, uint32_t type);
void qor_init_medium(qorRay& ray, qorMaterial* material, float ior);
void qor_init_medium(qorRay& ray, float ior);

// Shaders. The info call for qor_shader_prepare takes the scene in place of the ray.
int qor_call_info_shader(qorRay* ray, qorShader* shader, int info, void* data);
int qor_call_info_and_sub_shader(qorRay* ray, qorShader* shader, int info, void* data);
// Emits one photon path from the emitter the ray names (current_light or emitter_object) and
// calls the illumination slot store_photon at every hit, on the calling thread.
int qor_call_photon_shader(const float* power, qorRay* ray, qorShader* shader);
void qor_evaluate_shadows(float result[3], qorRay& ray, qorRay& light_ray);

// Threads.
using qor_thread_entry = int (*)(void* argument);
bool qor_thread_start(qor_thread_entry entry, void* argument, uint64_t* handle, int flags);
void qor_thread_join(uint64_t handle);
void qor_add_thread_task(qorScene& scene, qorTask* task, bool delete_when_done);
void qor_thread_barrier(qorScene& scene);  // returns when every added task has run
void qor_scene_thread_init(qorScene& scene, int thread);
void qor_scene_thread_exit(qorScene& scene, int thread);
int qor_tls_alloc(qorScene& scene, size_t bytes);  // a byte offset into every qorThread
void qor_tls_free(qorScene& scene, int thread);

// Processes: one render shared by several processes (the ranks of an MPI job), each tracing its
// share of every photon pass. These calls are optional: they are weak, so a host that renders in
// one process may leave them undefined and the module then renders alone. Every process makes
// them from its driver thread, in the same order; process 0 is the one that reads input and
// writes images. A failed exchange ends the whole run in the host: these calls always return.
enum : int { qor_sum_int32 = 0, qor_sum_uint32 = 1, qor_sum_float = 2 };
int qor_process_count() __attribute__((weak));  // at least 1
int qor_process_index() __attribute__((weak));  // 0 .. count - 1
// Replaces `values` (count elements of the qor_sum_* type) on every process with their
// elementwise sum over all processes.
void qor_process_sum(void* values, size_t count, int type) __attribute__((weak));
// Replaces `bytes` bytes at `data` on every process with process 0's.
void qor_process_broadcast(void* data, size_t bytes) __attribute__((weak));

// Memory. Null on failure.
void* qor_malloc_aligned(size_t bytes, size_t alignment);
void* qor_malloc2_aligned(size_t bytes, int kind, size_t alignment);
void qor_free_aligned(void* block);

// Images and input.
void qor_show_block(qorScene& scene, qorImage_block* block);
void qor_output_block(qorScene& scene, qorImage_block* block);
int qor_output_check_input(qorScene& scene, qorOutput_event* event);  // non-zero: event filled

// Time and messages: printf formats ending in "\n".
double qor_get_time();  // seconds
void qor_sprint(const char* format, ...) __attribute__((format(printf, 1, 2)));
void qor_info(const char* format, ...) __attribute__((format(printf, 1, 2)));
void qor_warning(const char* format, ...) __attribute__((format(printf, 1, 2)));
void qor_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
void qor_critical(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Typed forms of the qor_info queries.
inline qorOptions& qor_options(qorScene& scene) {
  return *static_cast<qorOptions*>(qor_info(scene, qor_info_options));
}
inline qorOptions& qor_options(qorRay& ray) {
  return *static_cast<qorOptions*>(qor_info(ray, qor_info_options));
}
inline int qor_thread_count(qorScene& scene) {
  return *static_cast<const int32_t*>(qor_info(scene, qor_info_threads));
}
inline qorLight* qor_lights(qorScene& scene) {
  return static_cast<qorLight*>(qor_info(scene, qor_info_lights));
}
inline qorLight* qor_lights(qorRay& ray) {
  return static_cast<qorLight*>(qor_info(ray, qor_info_lights));
}
inline qorView& qor_view(qorScene& scene) {
  return *static_cast<qorView*>(qor_info(scene, qor_info_view));
}

// The module's entry point, which the host finds by this name.
extern "C" void qor_initialize(qorScene* scene);
using qor_initialize_fn = void (*)(qorScene* scene);
