// A scriptable host for testing the module: it implements every qor_* function, records what the
// module calls and says, and lets a test set the host's answers.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "host/qor.h"

// A deterministic random source (a small LCG) the fake host installs in every thread context.
class fake_random final : public qorRandom {
 public:
  float next_float() override {
    state = state * 1664525u + 1013904223u;
    ++draws;
    return static_cast<float>(state >> 8) * (1.0f / 16777216.0f);
  }
  void restart() override { ++restarts; }
  void seed(uint32_t s) override { seeds.push_back(state = s); }

  uint32_t state = 1;
  std::vector<uint32_t> seeds;  // every seed received, in order
  int draws = 0;
  int restarts = 0;
};

struct fake_message {
  std::string kind;  // "sprint", "info", "warning", "error", "critical"
  std::string text;
  bool operator==(const std::string& t) const { return text == t; }
};

struct fake_allocation {
  size_t bytes;
  int kind;  // -1 for qor_malloc_aligned
  size_t alignment;
};

// The fake host's rays are plain records.
using fake_ray = qorRay;

struct fake_host {
  fake_host();

  // --- Answers a test may set -------------------------------------------------------------
  bool signature_ok = true;
  bool sampler_findable = true;
  bool camera_present = true;
  int32_t threads = 1;
  qorOptions options{};
  qorCamera camera{};
  qorView view{};
  qorLight* lights = nullptr;
  std::vector<qorObject*> emissive_objects;
  std::deque<qorOutput_event> events;
  int stop = 0;
  std::function<double()> now;           // answers qor_get_time when set; else 0
  size_t fail_allocations_of_bytes = 0;  // an allocation of exactly this size returns null
  bool thread_starts_fail = false;       // qor_thread_start refuses every thread
  // false: host calls are not recorded. Recording takes a lock in every call, which orders the
  // workers' accesses for ThreadSanitizer; a test of the module's own synchronisation turns it off.
  bool record_calls = true;

  // Unset hooks: trace_primary and trace_diffuse miss, intersect finds nothing.
  std::function<bool(qorRay&, float color[3], int x, int y, float dx, float dy)> trace_primary;
  std::function<bool(qorRay&, float result[3])> trace_diffuse;
  std::function<bool(qorRay&)> intersect;
  std::function<void(qorRay&)> compute_ray_differentials;
  std::function<int(qorRay*, qorShader*, int, void*)> info_shader;
  std::function<int(qorRay*, qorShader*, int, void*)> info_and_sub_shader;
  std::function<int(const float*, qorRay&, qorShader*)> photon_shader;
  std::function<void(float result[3], qorRay&, qorRay&)> evaluate_shadows;

  // --- What the module did ----------------------------------------------------------------
  std::vector<std::string> calls;  // host calls in order, e.g. "qor_add_renderer ppm"
  std::vector<fake_message> messages;
  std::vector<qorInstaller*> installers;
  std::vector<qorIllum_api*> illum_apis;
  std::vector<qorImage_sampler*> samplers;
  std::vector<std::tuple<std::string, qorIllum_api*, qorImage_sampler*>> renderers;
  std::vector<qorImage_block*> shown_blocks;
  std::vector<qorImage_block*> output_blocks;
  std::vector<std::vector<float>> shown_pixels;  // copies, taken when shown
  std::map<void*, fake_allocation> live_allocations;
  std::vector<fake_allocation> allocation_log;  // every allocation, in order
  std::vector<int> thread_inits;                // thread index of every qor_scene_thread_init
  std::vector<int> thread_exits;
  std::vector<int> tls_frees;
  std::vector<uint64_t> started_threads;
  std::vector<uint64_t> joined_threads;

  // The context of a worker thread, with fake_random sources.
  qorThread& thread(int index);

  // Messages of one kind, or all of them, in order.
  std::vector<std::string> texts(const std::string& kind = "") const;
  bool said(const std::string& text) const;  // any message with exactly this text
  int count_calls(const std::string& call) const;

  qorScene& scene() { return *reinterpret_cast<qorScene*>(this); }

  struct thread_slot;
  std::vector<std::unique_ptr<thread_slot>> thread_slots;
  std::vector<qorTask*> pending_tasks;
  int tls_used = 0;
};

// The host every qor_* function answers for. reset_host() gives a fresh one.
fake_host& host();
void reset_host();

// A ray bound to the given thread context, as qor_get_primary_ray would make it.
fake_ray* make_ray(int thread, uint32_t type);
