// Plain records of photon tracing: emitters, photon lights, emission jobs and the per-thread
// photon path buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/qor.h"

class qorRandom_adaptive;
class qorPPM;

struct photon_emitter {
  qorShader* shader;                // emission shader; emits every photon of the emitter
  qorLight* light;                  // the light it comes from, or null
  qorObject* object;                // the emissive object it comes from, or null
  float power;                      // scalar power (watts) from the shader's power query
  uint32_t paths_total;             // uniform paths traced over all passes
  uint32_t uniform_accepted_total;  // visible uniform paths over all passes
  float weight;            // photon flux normalisation; also weights power in the job split
  uint32_t photon_budget;  // photons per pass = jobs x photons per job

  bool is_camera() const { return light == nullptr && object == nullptr; }
};

// A point light placed where a photon left a diffuse bounce.
struct photon_light {
  float power[3];   // RGB power
  float normal[3];  // shading normal of the surface the light sits on
  float position[3];
};

struct emission_job {
  qorRandom_adaptive* sampler;  // owned; null when its allocation failed
  uint32_t emitter;             // index into the renderer's emitters
  uint32_t photons;             // chain steps per pass
  uint32_t store_limit;         // stored-photon count that triggers the limit message
  // Counters of the job's last completed pass.
  uint32_t paths_traced;
  uint32_t uniform_accepted;
  uint32_t photons_stored;
  uint32_t mutations_rejected;
  uint32_t mutations_accepted;
  uint32_t mutations_tried;
};

// A hit of the current photon path that reached a measurement point, kept for re-deposit.
struct buffered_hit {
  float flux[3];  // as deposited: after the normal correction and photon_weight
  float normal[3];
  float direction[3];
  float position[3];
};
static_assert(sizeof(buffered_hit) == 48);

inline constexpr uint32_t path_buffer_hits = 64;

// A photon tracing thread's path state, in the host's per-thread storage.
struct photon_path_buffer {
  uint32_t hit_count;         // buffered hits, 0 .. 64
  uint32_t reuse_count;       // re-deposits of the buffered hits still owed
  uint32_t path_deposits;     // points reached by the path being traced
  uint8_t flush_pending;      // 1: flush the buffer at the next hit that reaches a point
  uint8_t record_lights;      // 1 while a uniform path is traced
  float photon_weight;        // flux multiplier of the current job's photons
  float inv_emitter_photons;  // 1 / photon_budget of the current job's emitter
  buffered_hit hits[path_buffer_hits];
};
static_assert(sizeof(photon_path_buffer) <= 3096);

// The per-thread storage a render reserves for its photon path buffer.
inline constexpr int photon_path_storage_bytes = 3096;

// The photon path buffer of the ray's thread: slot is the byte offset qor_tls_alloc returned.
inline photon_path_buffer& path_buffer_at(const qorRay& ray, int32_t slot) {
  return *reinterpret_cast<photon_path_buffer*>(reinterpret_cast<char*>(ray.thread) + slot);
}

// Photon lights a pass may record; a full list refuses further lights until the next pass.
inline constexpr size_t photon_light_limit = 1000001;

// What one photon tracing thread is started with; lives for one pass.
struct photon_thread_args {
  qorPPM* renderer;
  qorScene* scene;
  uint64_t handle;  // written by qor_thread_start
  int32_t thread_index;
  int32_t thread_count;
};

// The entry of photon tracing threads 1 .. n - 1 (argument: photon_thread_args).
int photon_thread_main(void* args);
