// The qor_* functions that are not about rays: registration, queries, threads and per-thread
// contexts, memory, images and input, time and messages.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <unordered_set>

#include "engine/runtime/runtime.h"

namespace engine {

// ---- Messages ------------------------------------------------------------------------------

namespace {

// The sinks of the live engines, in the order they were built; the last one is current.
std::mutex sinks_mutex;
std::vector<const host_callbacks*> sinks;

std::string format_message(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  const int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return format;
  if (size_t(n) < sizeof small) return std::string(small, size_t(n));
  std::string text(size_t(n) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(size_t(n));
  return text;
}

}  // namespace

void add_message_sink(const host_callbacks* callbacks) {
  std::lock_guard<std::mutex> lock(sinks_mutex);
  sinks.push_back(callbacks);
}

void remove_message_sink(const host_callbacks* callbacks) {
  std::lock_guard<std::mutex> lock(sinks_mutex);
  sinks.erase(std::remove(sinks.begin(), sinks.end(), callbacks), sinks.end());
}

void send_message(message_kind kind, const std::string& text) {
  const host_callbacks* sink = nullptr;
  {
    std::lock_guard<std::mutex> lock(sinks_mutex);
    if (!sinks.empty()) sink = sinks.back();
  }
  if (sink != nullptr && sink->message) {
    sink->message(kind, text);
    return;
  }
  const char* prefix = kind == message_kind::warning    ? "warning: "
                       : kind == message_kind::error    ? "error: "
                       : kind == message_kind::critical ? "critical: "
                                                        : "";
  // One call per message, so that lines from several threads do not interleave.
  std::fputs((prefix + text).c_str(), stderr);
}

// ---- Memory --------------------------------------------------------------------------------

namespace {

// Every block starts `offset` bytes after what aligned_alloc returned; the header sits just
// before the block.
struct allocation_header {
  size_t bytes;
  size_t offset;
  int kind;
};

// Blocks handed out and not yet released, so that the last engine can take back what an
// unloaded module still held.
std::mutex live_blocks_mutex;
std::unordered_set<void*> live_blocks;

struct memory_counters {
  std::atomic<size_t> current{0}, peak{0}, allocations{0};
  std::atomic<size_t> current_by_kind[17] = {};
  std::atomic<size_t> peak_by_kind[17] = {};
};
memory_counters counters;

void raise_peak(std::atomic<size_t>& peak, size_t value) {
  size_t seen = peak.load();
  while (value > seen && !peak.compare_exchange_weak(seen, value)) {
  }
}

int kind_slot(int kind) {
  return kind < 0 ? 0 : std::min(kind, 15) + 1;
}

void* allocate(size_t bytes, int kind, size_t alignment) {
  if (alignment < alignof(std::max_align_t)) alignment = alignof(std::max_align_t);
  if ((alignment & (alignment - 1)) != 0) return nullptr;
  const size_t offset = (sizeof(allocation_header) + alignment - 1) / alignment * alignment;
  if (bytes > std::numeric_limits<size_t>::max() - offset - alignment) return nullptr;
  const size_t total = (offset + bytes + alignment - 1) / alignment * alignment;
  auto* raw = static_cast<char*>(std::aligned_alloc(alignment, total));
  if (raw == nullptr) return nullptr;
  char* block = raw + offset;
  auto* header = reinterpret_cast<allocation_header*>(block - sizeof(allocation_header));
  header->bytes = bytes;
  header->offset = offset;
  header->kind = kind;
  const int slot = kind_slot(kind);
  raise_peak(counters.peak, counters.current += bytes);
  raise_peak(counters.peak_by_kind[slot], counters.current_by_kind[slot] += bytes);
  ++counters.allocations;
  std::lock_guard<std::mutex> lock(live_blocks_mutex);
  live_blocks.insert(block);
  return block;
}

void release(void* block) {
  auto* bytes = static_cast<char*>(block);
  const auto* header =
      reinterpret_cast<const allocation_header*>(bytes - sizeof(allocation_header));
  const int slot = kind_slot(header->kind);
  counters.current -= header->bytes;
  counters.current_by_kind[slot] -= header->bytes;
  std::free(bytes - header->offset);
}

}  // namespace

}  // namespace engine

size_t engine::release_all_aligned_blocks() {
  std::unordered_set<void*> blocks;
  {
    std::lock_guard<std::mutex> lock(live_blocks_mutex);
    blocks.swap(live_blocks);
  }
  for (void* block : blocks) release(block);
  return blocks.size();
}

engine::memory_usage engine::current_memory_usage() {
  memory_usage usage;
  usage.current_bytes = counters.current.load();
  usage.peak_bytes = counters.peak.load();
  usage.allocations = counters.allocations.load();
  for (int i = 0; i < 17; ++i) {
    usage.current_bytes_by_kind[i] = counters.current_by_kind[i].load();
    usage.peak_bytes_by_kind[i] = counters.peak_by_kind[i].load();
  }
  return usage;
}

using namespace engine;

void* qor_malloc_aligned(size_t bytes, size_t alignment) {
  return allocate(bytes, -1, alignment);
}

void* qor_malloc2_aligned(size_t bytes, int kind, size_t alignment) {
  return allocate(bytes, kind, alignment);
}

void qor_free_aligned(void* block) {
  if (block == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(live_blocks_mutex);
    live_blocks.erase(block);
  }
  release(block);
}

// ---- Registration --------------------------------------------------------------------------

bool qor_check_signature(qorScene&, const char* banner) {
  return banner != nullptr && std::strcmp(banner, qor_interface_banner) == 0;
}

void qor_register_dso_installer(qorScene& scene, qorInstaller* installer) {
  std::lock_guard<std::mutex> lock(scene.registry_mutex);
  scene.last_installer = installer;
  for (qorInstaller* known : scene.installers) {
    if (known == installer) return;
  }
  scene.installers.push_back(installer);
}

void qor_install_illum_api(qorScene& scene, qorIllum_api* api) {
  std::lock_guard<std::mutex> lock(scene.registry_mutex);
  scene.illum = api;
}

void qor_add_image_sampler(qorScene& scene, qorImage_sampler* sampler) {
  std::lock_guard<std::mutex> lock(scene.registry_mutex);
  for (qorImage_sampler* known : scene.samplers) {
    if (known == sampler) return;
  }
  scene.samplers.push_back(sampler);
}

qorImage_sampler* qor_find_image_sampler(qorScene& scene, const char* name) {
  if (name == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(scene.registry_mutex);
  for (qorImage_sampler* s : scene.samplers) {
    const char* own = s->name();
    if (own != nullptr && std::strcmp(own, name) == 0) return s;
  }
  return nullptr;
}

void qor_add_renderer(qorScene& scene, const char* name, qorIllum_api* api,
                      qorImage_sampler* sampler) {
  if (name == nullptr) return;
  std::lock_guard<std::mutex> lock(scene.registry_mutex);
  scene.renderers[name] = {api, sampler};
}

// ---- Queries -------------------------------------------------------------------------------

void* qor_info(qorScene& scene, int selector) {
  switch (selector) {
    case qor_info_view:
      return &scene.view_record;
    case qor_info_threads:
      return &scene.thread_count;
    case qor_info_lights:
      return scene.lights.empty() ? nullptr : scene.lights.front()->light.get();
    case qor_info_options:
      return &scene.options;
    default:
      return nullptr;
  }
}

void* qor_info(qorRay& ray, int selector) {
  return qor_info(scene_of(ray), selector);
}

qorCamera* qor_camera_get(qorScene& scene) {
  return &scene.camera_record;
}

qorObject** qor_get_emissive_objects(qorScene& scene, uint32_t& count) {
  count = uint32_t(scene.emissive_objects.size());
  return scene.emissive_objects.data();
}

int qor_stop_requested(qorScene& scene) {
  return scene.stop.load();
}

void qor_options_update(qorOptions&) {
  // The engine reads the options record at every ray it traces: nothing to refresh.
}

void qor_render_update(qorScene& scene) {
  scene.update_camera();
}

// ---- Threads -------------------------------------------------------------------------------

namespace {
thread_registry& module_threads() {
  static thread_registry registry;
  return registry;
}
}  // namespace

bool qor_thread_start(qor_thread_entry entry, void* argument, uint64_t* handle, int) {
  if (entry == nullptr) return false;
  const uint64_t h = module_threads().start(entry, argument);
  if (handle != nullptr) *handle = h;
  return true;
}

void qor_thread_join(uint64_t handle) {
  module_threads().join(handle);
}

void qor_add_thread_task(qorScene& scene, qorTask* task, bool delete_when_done) {
  if (task != nullptr) scene.pool.add(task, delete_when_done);
}

void qor_thread_barrier(qorScene& scene) {
  scene.pool.run_queued();
}

void qor_scene_thread_init(qorScene& scene, int thread) {
  thread_context& context = scene.context(thread);
  qorThread& record = context.record;
  record.scene = &scene;
  record.thread_index = thread;
  record.random = &context.random;
  record.random2 = &context.random2;
  record.emission_enabled = 1;
}

void qor_scene_thread_exit(qorScene& scene, int thread) {
  // The context stays as it is: its storage belongs to the module until qor_tls_free.
  (void)scene.context(thread);
}

int qor_tls_alloc(qorScene& scene, size_t bytes) {
  std::lock_guard<std::mutex> lock(scene.contexts_mutex);
  const int offset = qor_thread_storage_offset + (scene.tls_used + 63) / 64 * 64;
  if (bytes > size_t(qor_thread_storage_offset + qor_thread_storage_bytes - offset)) {
    send_message(message_kind::critical,
                 "per-thread storage exhausted: " + std::to_string(bytes) + " bytes asked, " +
                     std::to_string(qor_thread_storage_offset + qor_thread_storage_bytes - offset) +
                     " left\n");
    std::abort();
  }
  scene.tls_used = offset - qor_thread_storage_offset + int(bytes);
  return offset;
}

void qor_tls_free(qorScene& scene, int thread) {
  qorThread& record = scene.context(thread).record;
  std::memset(record.storage, 0, sizeof record.storage);
}

// ---- Images and input ----------------------------------------------------------------------

namespace {

// The renderer's image as the film's: with pixel strata, the mean of each pixel's samples.
void deliver(const qorScene& scene, const qorImage_block* block,
             const std::function<void(const qorImage_block&)>& to) {
  if (block == nullptr || !to) return;
  if (scene.pixel_strata == 1) {
    to(*block);
  } else {
    to(film_block(*block, scene.pixel_strata).block());
  }
}

}  // namespace

void qor_show_block(qorScene& scene, qorImage_block* block) {
  deliver(scene, block, scene.callbacks.show_block);
}

void qor_output_block(qorScene& scene, qorImage_block* block) {
  deliver(scene, block, scene.callbacks.output_block);
}

int qor_output_check_input(qorScene& scene, qorOutput_event* event) {
  if (event == nullptr || !scene.callbacks.next_event) return 0;
  return scene.callbacks.next_event(*event) ? 1 : 0;
}

// ---- Time and messages ---------------------------------------------------------------------

double qor_get_time() {
  using clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

#define QOR_MESSAGE_FUNCTION(function, kind)         \
  void function(const char* format, ...) {           \
    if (format == nullptr) return;                   \
    va_list args;                                    \
    va_start(args, format);                          \
    std::string text = format_message(format, args); \
    va_end(args);                                    \
    send_message(kind, text);                        \
  }

QOR_MESSAGE_FUNCTION(qor_sprint, message_kind::progress)
QOR_MESSAGE_FUNCTION(qor_info, message_kind::info)
QOR_MESSAGE_FUNCTION(qor_warning, message_kind::warning)
QOR_MESSAGE_FUNCTION(qor_error, message_kind::error)
QOR_MESSAGE_FUNCTION(qor_critical, message_kind::critical)
