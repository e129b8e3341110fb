// A scriptable host for testing the module: it implements every qor_* function, records what the
// module asks of it, and lets a test set the host's answers. Tasks and threads run on real
// threads, so ThreadSanitizer judges the module's own synchronisation; calls made once per ray or
// photon are not recorded, since recording takes a lock that would hide the module's races.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/qor.h"

// The host's random source in every thread context: a test's scripted numbers first, then a
// small LCG's.
class fake_random final : public qorRandom {
 public:
  float next_float() override {
    ++draws;
    if (!script.empty()) {
      const float v = script.front();
      script.pop_front();
      return v;
    }
    state = state * 1664525u + 1013904223u;
    return static_cast<float>(state >> 8) * (1.0f / 16777216.0f);
  }
  void restart() override {}
  void seed(uint32_t s) override { seeds.push_back(state = s); }

  uint32_t state = 1;
  std::vector<uint32_t> seeds;  // every seed received, in order
  int draws = 0;
  std::deque<float> script;
};

struct fake_host {
  // Answers a test may set.
  bool signature_ok = true, sampler_findable = true, camera_present = true;
  int32_t threads = 1;
  int32_t processes = 1, process = 0;  // this one of `processes` that all hold the same values
  fake_host();                         // a 4 x 3 image, 90 degrees, indirect light and shadows on
  qorOptions options{};
  qorCamera camera{};
  qorView view{};
  qorLight* lights = nullptr;
  std::vector<qorObject*> emissive_objects;
  std::deque<qorOutput_event> events;
  double clock = 0.0, clock_step = 0.0;  // qor_get_time answers clock, then advances it by step

  // The host's side of rays and shaders. Unset: rays miss, nothing blocks, shaders answer nothing.
  std::function<bool(qorRay&, float color[3], int x, int y, float dx, float dy)> trace_primary;
  std::function<bool(qorRay&, float result[3])> trace_diffuse;
  std::function<bool(qorRay&)> intersect;
  std::function<void(qorRay&)> differentials;
  std::function<int(qorRay*, qorShader*, int info, void*data)> info_shader, sub_shader;
  std::function<void(qorRay&, qorShader*)> photon_shader;
  std::function<void(float result[3], qorRay&, qorRay&)> shadows;

  // What the module did.
  std::vector<std::string> calls;  // host calls that shape a render, e.g. "thread_init 0"
  std::vector<std::pair<std::string, std::string>> messages;  // kind ("sprint", ...), text
  std::vector<std::pair<std::string, void*>> registered;      // what qor_add_* and co. were given
  std::vector<std::vector<float>> shown;                      // pixels of every shown block
  std::vector<qorImage_block*> delivered;                     // qor_output_block's blocks
  std::map<void*, std::string> live;     // allocated blocks: "bytes/kind/align"
  std::vector<std::string> allocations;  // every allocation, in order
  std::atomic<int> rays{0};              // rays made and not yet deleted

  qorThread& thread(int index);  // a worker's context, with fake_random sources
  std::vector<std::string> texts(const std::string& kind = "") const;
  int count(const std::string& call) const { return std::count(calls.begin(), calls.end(), call); }
  qorScene& scene() { return *reinterpret_cast<qorScene*>(this); }

  struct context {
    qorThread thread{};
    fake_random random, random2;
  };
  std::vector<std::unique_ptr<context>> contexts;
  std::vector<qorTask*> tasks;
  int tls_used = 0;
};

// The host every qor_* function answers for; reset_host() gives a fresh one.
fake_host& host();
void reset_host();

// A ray bound to the given thread context, as qor_get_primary_ray makes it; release it with
// delete_ray or delete.
qorRay* make_ray(int thread, uint32_t type);
