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
std::mutex host_mutex;             // calls, messages and allocations arrive from worker threads too
std::vector<std::thread> started;  // qor_thread_start's threads; a handle is an index + 1

void record(const std::string& call) {
  std::lock_guard<std::mutex> lock(host_mutex);
  host().calls.push_back(call);
}

void say(const char* kind, const char* format, va_list args) {
  char text[4096];
  std::vsnprintf(text, sizeof text, format, args);
  std::lock_guard<std::mutex> lock(host_mutex);
  host().messages.emplace_back(kind, text);
}

void* allocate(size_t bytes, int kind, size_t alignment) {
  void* block = std::aligned_alloc(alignment, (bytes / alignment + 1) * alignment);
  std::lock_guard<std::mutex> lock(host_mutex);
  host().allocations.push_back(std::to_string(bytes) + "/" + std::to_string(kind) + "/" +
                               std::to_string(alignment));
  host().live[block] = host().allocations.back();
  return block;
}

}  // namespace

fake_host::fake_host() {
  options.sample_weight_divisor = options.display_scale = options.sample_spread = 1.0f;
  options.shadow_mode = 's', options.indirect_enabled = 1, options.fov = 90.0f;
  options.width = 4, options.height = 3;
  camera.screen_left = camera.screen_right = camera.screen_bottom = camera.screen_top = 1.0f;
}

qorThread& fake_host::thread(int index) {
  std::lock_guard<std::mutex> lock(host_mutex);
  while (static_cast<int>(contexts.size()) <= index) {
    context& c = *contexts.emplace_back(std::make_unique<context>());
    c.thread.random = &c.random;
    c.thread.random2 = &c.random2;
  }
  return contexts[index]->thread;
}

std::vector<std::string> fake_host::texts(const std::string& kind) const {
  std::vector<std::string> out;
  for (const auto& [k, text] : messages) {
    if (kind.empty() || k == kind) out.push_back(text);
  }
  return out;
}

fake_host& host() {
  if (!the_host) the_host = std::make_unique<fake_host>();
  return *the_host;
}

void reset_host() {
  for (const auto& [block, what] : host().live) std::free(block);
  the_host = std::make_unique<fake_host>();
}

qorRay* make_ray(int thread, uint32_t type) {
  ++host().rays;
  auto* ray = new qorRay{};
  ray->max_distance = 1e30, ray->thread = &host().thread(thread), ray->type = type;
  return ray;
}

// The host's answers, one line per function: a table of what each call records or answers.
// clang-format off
bool qor_check_signature(qorScene&, const char* b) { record(std::string("check_signature ") + b); return host().signature_ok; }
void qor_register_dso_installer(qorScene&, qorInstaller* i) { host().registered.emplace_back("installer", i); }
void qor_install_illum_api(qorScene&, qorIllum_api* api) { host().registered.emplace_back("illum_api", api); }
void qor_add_image_sampler(qorScene&, qorImage_sampler* s) { host().registered.emplace_back("sampler", s); }
void qor_add_renderer(qorScene&, const char* name, qorIllum_api* api, qorImage_sampler* s) { host().registered.emplace_back(name, api); host().registered.emplace_back(std::string(name) + " sampler", s); }
void* qor_info(qorRay&, int selector) { return qor_info(host().scene(), selector); }
qorCamera* qor_camera_get(qorScene&) { return host().camera_present ? &host().camera : nullptr; }
qorObject** qor_get_emissive_objects(qorScene&, uint32_t& n) { n = static_cast<uint32_t>(host().emissive_objects.size()); return host().emissive_objects.data(); }
int qor_stop_requested(qorScene&) { return 0; }
void qor_options_update(qorOptions&) { record("options_update"); }
void qor_render_update(qorScene&) { record("render_update"); }
qorRay* qor_get_primary_ray(qorScene&, int thread, uint32_t type) { record("primary_ray " + std::to_string(thread) + " " + std::to_string(type)); return make_ray(thread, type); }
qorRay* qorRay::new_ray(uint32_t type) { qorRay* ray = make_ray(0, type); ray->thread = thread; ray->parent = this; return ray; }
void qorRay::delete_ray() { --host().rays; delete this; }
bool qorRay::intersect() { return host().intersect && host().intersect(*this); }
bool qorRay::trace_primary(float c[3], int x, int y, float dx, float dy) { return host().trace_primary && host().trace_primary(*this, c, x, y, dx, dy); }
bool qorRay::trace_diffuse(float result[3]) { return host().trace_diffuse && host().trace_diffuse(*this, result); }
void qorRay::compute_ray_differentials() { if (host().differentials) host().differentials(*this); }
void qor_init_medium(qorRay& ray, qorMaterial* material, float ior) { ray.medium = material; ray.medium_ior = ior; }
void qor_init_medium(qorRay& ray, float ior) { ray.medium = nullptr; ray.medium_ior = ior; }
int qor_call_info_shader(qorRay* r, qorShader* s, int info, void* data) { return host().info_shader ? host().info_shader(r, s, info, data) : 0; }
int qor_call_info_and_sub_shader(qorRay* r, qorShader* s, int info, void* data) { return host().sub_shader ? host().sub_shader(r, s, info, data) : 0; }
int qor_call_photon_shader(const float*, qorRay* ray, qorShader* s) { if (host().photon_shader) host().photon_shader(*ray, s); return 1; }
void qor_evaluate_shadows(float result[3], qorRay& ray, qorRay& light_ray) { if (host().shadows) host().shadows(result, ray, light_ray); }
void qor_add_thread_task(qorScene&, qorTask* task, bool del) { record(del ? "add_task delete" : "add_task keep"); host().tasks.push_back(task); }
void qor_scene_thread_init(qorScene&, int t) { host().thread(t).thread_index = t; record("thread_init " + std::to_string(t)); }
void qor_scene_thread_exit(qorScene&, int thread) { record("thread_exit " + std::to_string(thread)); }
// The storage of a freed thread comes back zeroed, as a host's fresh storage may.
void qor_tls_free(qorScene&, int t) { std::memset(host().thread(t).storage, 0, qor_thread_storage_bytes); record("tls_free " + std::to_string(t)); }
void* qor_malloc_aligned(size_t bytes, size_t alignment) { return allocate(bytes, -1, alignment); }
void* qor_malloc2_aligned(size_t bytes, int kind, size_t alignment) { return allocate(bytes, kind, alignment); }
void qor_show_block(qorScene&, qorImage_block* b) { record("show"); host().shown.emplace_back(b->pixels(), b->pixels() + 3 * b->width * b->height); }
void qor_output_block(qorScene&, qorImage_block* block) { record("output"); host().delivered.push_back(block); }
int qor_process_count() { return host().processes; }
int qor_process_index() { return host().process; }
// Every process holds what this one holds: their sum is these values times their count.
void qor_process_sum(void* v, size_t n, int type) { for (size_t i = 0; i < n; ++i) { if (type == qor_sum_float) static_cast<float*>(v)[i] *= host().processes; else static_cast<int32_t*>(v)[i] *= host().processes; } }
void qor_process_broadcast(void*, size_t) {}
double qor_get_time() { host().clock += host().clock_step; return host().clock - host().clock_step; }
void qor_thread_join(uint64_t handle) { record("thread_join"); started.at(handle - 1).join(); }
int qor_output_check_input(qorScene&, qorOutput_event* e) { record("check_input"); if (host().events.empty()) return 0; *e = host().events.front(); host().events.pop_front(); return 1; }
// Runs every added task on a thread of its own, and waits for them.
void qor_thread_barrier(qorScene&) { record("barrier"); std::vector<std::jthread> w; for (qorTask* t : std::exchange(host().tasks, {})) w.emplace_back([t] { t->run(); }); }
// Aborts on a block that is not allocated, or is released twice.
void qor_free_aligned(void* block) { std::lock_guard<std::mutex> lock(host_mutex); if (block && host().live.erase(block) != 1) std::abort(); std::free(block); }
void qor_sprint(const char* format, ...) { va_list a; va_start(a, format); say("sprint", format, a); va_end(a); }
void qor_info(const char* format, ...) { va_list a; va_start(a, format); say("info", format, a); va_end(a); }
void qor_warning(const char* format, ...) { va_list a; va_start(a, format); say("warning", format, a); va_end(a); }
void qor_error(const char* format, ...) { va_list a; va_start(a, format); say("error", format, a); va_end(a); }
void qor_critical(const char* format, ...) { va_list a; va_start(a, format); say("critical", format, a); va_end(a); }
// clang-format on

qorImage_sampler* qor_find_image_sampler(qorScene&, const char* name) {
  for (const auto& [what, object] : host().registered) {
    auto* s = static_cast<qorImage_sampler*>(object);
    if (what == "sampler" && host().sampler_findable && std::strcmp(s->name(), name) == 0) return s;
  }
  return nullptr;
}

void* qor_info(qorScene&, int selector) {
  fake_host& h = host();
  if (selector == qor_info_view) return &h.view;
  if (selector == qor_info_threads) return &h.threads;
  return selector == qor_info_lights    ? static_cast<void*>(h.lights)
         : selector == qor_info_options ? &h.options
                                        : nullptr;
}

bool qor_thread_start(qor_thread_entry entry, void* argument, uint64_t* handle, int) {
  std::lock_guard<std::mutex> lock(host_mutex);
  host().calls.push_back("thread_start");
  started.emplace_back(entry, argument);
  *handle = started.size();
  return true;
}

// The storage slots are byte offsets into every context's storage, 64 bytes apart at least.
int qor_tls_alloc(qorScene&, size_t bytes) {
  record("tls_alloc " + std::to_string(bytes));
  const int slot = qor_thread_storage_offset + host().tls_used;
  host().tls_used += static_cast<int>((bytes + 63) / 64 * 64);
  if (host().tls_used > qor_thread_storage_bytes) std::abort();
  return slot;
}
