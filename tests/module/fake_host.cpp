#include "tests/module/fake_host.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

namespace {

std::unique_ptr<fake_host> the_host;
std::mutex record_mutex;  // calls and messages arrive from worker threads too
std::map<uint64_t, std::thread> running_threads;
uint64_t next_thread_handle = 1;

void record(const std::string& call) {
  if (!host().record_calls) return;
  std::lock_guard<std::mutex> lock(record_mutex);
  host().calls.push_back(call);
}

void say(const char* kind, const char* format, va_list args) {
  char text[4096];
  std::vsnprintf(text, sizeof text, format, args);
  std::lock_guard<std::mutex> lock(record_mutex);
  host().messages.push_back({kind, text});
}

void* fake_allocate(size_t bytes, int kind, size_t alignment) {
  fake_host& h = host();
  if (h.fail_allocations_of_bytes != 0 && bytes == h.fail_allocations_of_bytes) return nullptr;
  void* block = std::aligned_alloc(alignment, (bytes / alignment + 1) * alignment);
  std::lock_guard<std::mutex> lock(record_mutex);
  h.live_allocations[block] = {bytes, kind, alignment};
  h.allocation_log.push_back({bytes, kind, alignment});
  return block;
}

}  // namespace

struct fake_host::thread_slot {
  qorThread context{};  // 64-byte aligned, as its storage area asks
  fake_random random;
  fake_random random2;
};

fake_host::fake_host() {
  options.sample_weight_divisor = 1.0f;
  options.shadow_mode = 's';
  options.indirect_enabled = 1;
  options.fov = 90.0f;
  options.width = 4;
  options.height = 3;
  options.display_scale = 1.0f;
  options.sample_spread = 1.0f;
  camera.screen_left = camera.screen_right = 4.0f / 3.0f;
  camera.screen_bottom = camera.screen_top = 1.0f;
}

qorThread& fake_host::thread(int index) {
  std::lock_guard<std::mutex> lock(record_mutex);
  while (static_cast<int>(thread_slots.size()) <= index) {
    thread_slot& slot = *thread_slots.emplace_back(std::make_unique<thread_slot>());
    slot.context.random = &slot.random;
    slot.context.random2 = &slot.random2;
  }
  return thread_slots[index]->context;
}

std::vector<std::string> fake_host::texts(const std::string& kind) const {
  std::vector<std::string> out;
  for (const fake_message& m : messages) {
    if (kind.empty() || m.kind == kind) out.push_back(m.text);
  }
  return out;
}

bool fake_host::said(const std::string& text) const {
  return std::count(messages.begin(), messages.end(), text) != 0;
}

int fake_host::count_calls(const std::string& call) const {
  return static_cast<int>(std::count(calls.begin(), calls.end(), call));
}

fake_host& host() {
  if (!the_host) the_host = std::make_unique<fake_host>();
  return *the_host;
}

void reset_host() {
  if (the_host) {
    for (auto& [block, allocation] : the_host->live_allocations) std::free(block);
  }
  the_host = std::make_unique<fake_host>();
}

fake_ray* make_ray(int thread, uint32_t type) {
  auto* ray = new fake_ray();
  ray->thread = &host().thread(thread);
  ray->type = type;
  return ray;
}

// --- Registration -------------------------------------------------------------------------

bool qor_check_signature(qorScene&, const char* banner) {
  record(std::string("qor_check_signature ") + banner);
  return host().signature_ok;
}

void qor_register_dso_installer(qorScene&, qorInstaller* installer) {
  record("qor_register_dso_installer");
  host().installers.push_back(installer);
}

void qor_install_illum_api(qorScene&, qorIllum_api* api) {
  host().illum_apis.push_back(api);
}

void qor_add_image_sampler(qorScene&, qorImage_sampler* sampler) {
  host().samplers.push_back(sampler);
}

qorImage_sampler* qor_find_image_sampler(qorScene&, const char* name) {
  for (qorImage_sampler* s : host().samplers) {
    if (host().sampler_findable && std::strcmp(s->name(), name) == 0) return s;
  }
  return nullptr;
}

void qor_add_renderer(qorScene&, const char* name, qorIllum_api* api, qorImage_sampler* sampler) {
  host().renderers.push_back({name, api, sampler});
}

// --- Queries ------------------------------------------------------------------------------

void* qor_info(qorScene&, int selector) {
  fake_host& h = host();
  if (selector == qor_info_view) return &h.view;
  if (selector == qor_info_threads) return &h.threads;
  if (selector == qor_info_lights) return h.lights;
  return selector == qor_info_options ? &h.options : nullptr;
}

void* qor_info(qorRay&, int selector) {
  return qor_info(host().scene(), selector);
}

qorCamera* qor_camera_get(qorScene&) {
  return host().camera_present ? &host().camera : nullptr;
}

qorObject** qor_get_emissive_objects(qorScene&, uint32_t& count) {
  count = static_cast<uint32_t>(host().emissive_objects.size());
  return host().emissive_objects.data();
}

int qor_stop_requested(qorScene&) {
  return host().stop;
}

void qor_options_update(qorOptions&) {
  record("qor_options_update");
}

void qor_render_update(qorScene&) {
  record("qor_render_update");
}

// --- Rays ---------------------------------------------------------------------------------

qorRay* qor_get_primary_ray(qorScene&, int thread, uint32_t type) {
  record("qor_get_primary_ray " + std::to_string(thread) + " " + std::to_string(type));
  return make_ray(thread, type);
}

qorRay* qorRay::new_ray(uint32_t new_type) {
  record("new_ray " + std::to_string(new_type));
  fake_ray* ray = new fake_ray();
  ray->thread = thread;
  ray->type = new_type;
  ray->parent = this;
  return ray;
}

void qorRay::delete_ray() {
  record("delete_ray");
  delete this;
}

bool qorRay::intersect() {
  return host().intersect && host().intersect(*this);
}

bool qorRay::trace_primary(float color[3], int x, int y, float dx, float dy) {
  return host().trace_primary && host().trace_primary(*this, color, x, y, dx, dy);
}

bool qorRay::trace_diffuse(float result[3]) {
  record("trace_diffuse");
  return host().trace_diffuse && host().trace_diffuse(*this, result);
}

void qorRay::compute_ray_differentials() {
  if (host().compute_ray_differentials) host().compute_ray_differentials(*this);
}

void qor_init_medium(qorRay& ray, qorMaterial* material, float ior) {
  record("qor_init_medium material");
  ray.medium = material;
  ray.medium_ior = ior;
}

void qor_init_medium(qorRay& ray, float ior) {
  record("qor_init_medium");
  ray.medium = nullptr;
  ray.medium_ior = ior;
}

// --- Shaders ------------------------------------------------------------------------------

int qor_call_info_shader(qorRay* ray, qorShader* shader, int info, void* data) {
  return host().info_shader ? host().info_shader(ray, shader, info, data) : 0;
}

int qor_call_info_and_sub_shader(qorRay* ray, qorShader* shader, int info, void* data) {
  return host().info_and_sub_shader ? host().info_and_sub_shader(ray, shader, info, data) : 0;
}

int qor_call_photon_shader(const float* power, qorRay* ray, qorShader* shader) {
  return host().photon_shader ? host().photon_shader(power, *ray, shader) : 0;
}

void qor_evaluate_shadows(float result[3], qorRay& ray, qorRay& light_ray) {
  record("qor_evaluate_shadows");
  if (host().evaluate_shadows) host().evaluate_shadows(result, ray, light_ray);
}

// --- Threads ------------------------------------------------------------------------------

bool qor_thread_start(qor_thread_entry entry, void* argument, uint64_t* handle, int) {
  if (host().thread_starts_fail) return false;
  std::lock_guard<std::mutex> lock(record_mutex);
  *handle = next_thread_handle++;
  host().started_threads.push_back(*handle);
  running_threads.emplace(*handle, std::thread(entry, argument));
  return true;
}

void qor_thread_join(uint64_t handle) {
  std::thread worker;
  {
    std::lock_guard<std::mutex> lock(record_mutex);
    worker = std::move(running_threads.at(handle));
    running_threads.erase(handle);
    host().joined_threads.push_back(handle);
  }
  worker.join();
}

void qor_add_thread_task(qorScene&, qorTask* task, bool delete_when_done) {
  record(std::string("qor_add_thread_task ") + (delete_when_done ? "delete" : "keep"));
  host().pending_tasks.push_back(task);
}

// Runs every added task on a thread of its own.
void qor_thread_barrier(qorScene&) {
  record("qor_thread_barrier");
  std::vector<std::thread> workers;
  for (qorTask* task : std::exchange(host().pending_tasks, {})) {
    workers.emplace_back([task] {
      task->run();
      task->finish();
    });
  }
  for (std::thread& w : workers) w.join();
}

void qor_scene_thread_init(qorScene& scene, int thread) {
  qorThread& context = host().thread(thread);
  context.thread_index = thread;
  context.scene = &scene;
  std::lock_guard<std::mutex> lock(record_mutex);
  host().thread_inits.push_back(thread);
}

void qor_scene_thread_exit(qorScene&, int thread) {
  std::lock_guard<std::mutex> lock(record_mutex);
  host().thread_exits.push_back(thread);
}

int qor_tls_alloc(qorScene&, size_t bytes) {
  record("qor_tls_alloc " + std::to_string(bytes));
  const int offset = qor_thread_storage_offset + host().tls_used;
  host().tls_used += static_cast<int>((bytes + 63) / 64 * 64);
  if (host().tls_used > qor_thread_storage_bytes) std::abort();  // per-thread storage exhausted
  return offset;
}

void qor_tls_free(qorScene&, int thread) {
  qorThread& context = host().thread(thread);
  std::memset(context.storage, 0, sizeof context.storage);
  std::lock_guard<std::mutex> lock(record_mutex);
  host().tls_frees.push_back(thread);
}

// --- Memory -------------------------------------------------------------------------------

void* qor_malloc_aligned(size_t bytes, size_t alignment) {
  return fake_allocate(bytes, -1, alignment);
}

void* qor_malloc2_aligned(size_t bytes, int kind, size_t alignment) {
  return fake_allocate(bytes, kind, alignment);
}

// Aborts on a block that is not allocated, or released twice.
void qor_free_aligned(void* block) {
  if (block == nullptr) return;
  std::lock_guard<std::mutex> lock(record_mutex);
  if (host().live_allocations.erase(block) != 1) std::abort();
  std::free(block);
}

// --- Images and input ---------------------------------------------------------------------

void qor_show_block(qorScene&, qorImage_block* block) {
  record("qor_show_block");
  host().shown_blocks.push_back(block);
  const size_t floats = static_cast<size_t>(block->width) * block->height * 3;
  host().shown_pixels.emplace_back(block->pixels(), block->pixels() + floats);
}

void qor_output_block(qorScene&, qorImage_block* block) {
  record("qor_output_block");
  host().output_blocks.push_back(block);
}

int qor_output_check_input(qorScene&, qorOutput_event* event) {
  record("qor_output_check_input");
  if (host().events.empty()) return 0;
  *event = host().events.front();
  host().events.pop_front();
  return 1;
}

// --- Time and messages --------------------------------------------------------------------

double qor_get_time() {
  return host().now ? host().now() : 0.0;
}

#define FAKE_MESSAGE(function, kind)       \
  void function(const char* format, ...) { \
    va_list args;                          \
    va_start(args, format);                \
    say(kind, format, args);               \
    va_end(args);                          \
  }

FAKE_MESSAGE(qor_sprint, "sprint")
FAKE_MESSAGE(qor_info, "info")
FAKE_MESSAGE(qor_warning, "warning")
FAKE_MESSAGE(qor_error, "error")
FAKE_MESSAGE(qor_critical, "critical")
