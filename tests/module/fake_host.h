// A scriptable host for testing the module: it implements every qor_* function, records what the
// module calls and says, and lets a test set the host's answers.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/qor.h"

// A deterministic random source the fake host installs in every thread context.
class fake_random final : public qorRandom {
 public:
  float next_float() override;
  void restart() override { ++restarts; }
  void seed(uint32_t s) override;

  uint32_t state = 1;
  std::vector<uint32_t> seeds;  // every seed received, in order
  int draws = 0;
  int restarts = 0;
};

struct fake_message {
  std::string kind;  // "sprint", "info", "warning", "error", "critical"
  std::string text;
};

struct fake_registration {
  std::string name;
  qorIllum_api* api;
  qorImage_sampler* sampler;
};

struct fake_allocation {
  size_t bytes;
  int kind;  // -1 for qor_malloc_aligned
  size_t alignment;
};

// Rays the fake host hands out. The extra fields let tests see what the module did with them.
struct fake_ray : qorRay {
  bool deleted = false;
};

struct fake_host {
  fake_host();

  // --- Answers a test may set -------------------------------------------------------------
  bool signature_ok = true;
  bool sampler_findable = true;
  int32_t threads = 1;
  qorOptions options{};
  qorCamera camera{};
  bool camera_present = true;
  qorView view{};
  qorLight* lights = nullptr;
  std::vector<qorObject*> emissive_objects;
  std::deque<qorOutput_event> events;
  int stop = 0;
  double clock = 0.0;  // qor_get_time returns this, then adds clock_step,
  double clock_step = 0.0;
  std::function<double()> now;           // unless this is set: then it answers qor_get_time
  bool run_tasks_on_threads = true;      // false: the barrier runs tasks one by one on the caller
  size_t fail_allocations_of_bytes = 0;  // an allocation of exactly this size returns null

  // Ray behaviour. Unset hooks: trace_primary and trace_diffuse miss, intersect finds nothing.
  std::function<bool(fake_ray&, float color[3], int x, int y, float dx, float dy)> trace_primary;
  std::function<bool(fake_ray&, float result[3])> trace_diffuse;
  std::function<bool(fake_ray&)> intersect;
  std::function<void(fake_ray&)> compute_ray_differentials;
  std::function<int(qorRay*, qorShader*, int, void*)> info_shader;
  std::function<int(qorRay*, qorShader*, int, void*)> info_and_sub_shader;
  std::function<int(const float*, fake_ray&, qorShader*)> photon_shader;
  std::function<void(float result[3], qorRay&, qorRay&)> evaluate_shadows;

  // --- What the module did ----------------------------------------------------------------
  std::vector<std::string> calls;  // host calls in order, e.g. "qor_add_renderer ppm"
  std::vector<fake_message> messages;
  std::vector<qorInstaller*> installers;
  std::vector<qorIllum_api*> illum_apis;
  std::vector<qorImage_sampler*> samplers;
  std::vector<fake_registration> renderers;
  std::vector<qorImage_block*> shown_blocks;
  std::vector<qorImage_block*> output_blocks;
  std::vector<std::vector<float>> shown_pixels;  // copies, taken when shown
  std::map<void*, fake_allocation> live_allocations;
  std::vector<fake_allocation> allocation_log;  // every allocation, in order
  int frees = 0;
  int options_updates = 0;
  int render_updates = 0;
  std::vector<int> tls_frees;
  int tls_used = 0;
  std::vector<uint64_t> started_threads;
  std::vector<uint64_t> joined_threads;
  std::vector<int> thread_inits;  // thread index of every qor_scene_thread_init
  std::vector<int> thread_exits;

  // --- Per-thread contexts and random sources ---------------------------------------------
  qorThread& thread(int index);
  fake_random& random(int index);
  fake_random& random2(int index);

  // Messages of one kind, or all of them, in order.
  std::vector<std::string> texts(const std::string& kind = "") const;
  bool said(const std::string& text) const;  // any message with exactly this text
  int count_calls(const std::string& call) const;

  qorScene& scene() { return *reinterpret_cast<qorScene*>(this); }

  // Internal state of the fake.
  struct thread_slot;
  std::vector<std::unique_ptr<thread_slot>> thread_slots;
  std::vector<qorTask*> pending_tasks;
};

// The host every qor_* function answers for. reset_host() gives a fresh one.
fake_host& host();
void reset_host();

// A ray bound to the given thread context, as qor_get_primary_ray would make it.
fake_ray* make_ray(int thread, uint32_t type);
