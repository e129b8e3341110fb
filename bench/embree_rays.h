// Rays a photon pass traces, made once per scene with the engine's own lights, and Embree's own
// rate on them: the yardstick for the renderer's photon rate (ray_bench, render_bench).
//   light rays    leave the emitters (an emitter chosen in proportion to its power, then its
//                 photon_start from four uniform numbers): first segments of photon paths;
//   bounce rays   leave where the light rays hit, cosine-distributed about the surface facing the
//                 light: later segments.
#pragma once

#include <embree3/rtcore.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/runtime/engine.h"
#include "engine/runtime/traceable_scene.h"

namespace bench {

struct scene_rays {
  std::unique_ptr<engine::render_engine> engine;  // a one-thread engine of its own
  RTCScene world = nullptr;
  const engine::ray_tracer* tracer = nullptr;
  std::vector<engine::ray_query> light_rays;
  std::vector<engine::ray_query> bounce_rays;
};

// 2^16 light and 2^16 bounce rays of the scene file. Throws std::runtime_error on a scene
// without lights or one that does not load.
scene_rays make_rays(const std::string& path);

// One rtcIntersect1 on the world, with nothing of the engine around it; true on a hit.
bool embree_intersect(RTCScene world, const engine::ray_query& q);

// Embree's rate on the rays, cycled on the calling thread for at least `seconds` of its CPU
// time: rays per CPU-second of one core.
double embree_rays_per_cpu_second(RTCScene world, const std::vector<engine::ray_query>& rays,
                                  double seconds);

}  // namespace bench
