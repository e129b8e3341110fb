// The only place that knows Embree: the scene's shapes as Embree geometry (triangle meshes,
// sphere points, one instanced scene per object), and single-ray queries against it.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "engine/runtime/traceable_scene.h"

namespace engine {

class embree_tracer final : public ray_tracer {
 public:
  // Builds the acceleration structures. Embree's errors (device or build) go to `report`, and
  // the constructor throws std::runtime_error if the device cannot be created or lacks sphere
  // support.
  embree_tracer(const traceable_scene& scene, std::function<void(const std::string&)> report);
  ~embree_tracer() override;
  embree_tracer(const embree_tracer&) = delete;
  embree_tracer& operator=(const embree_tracer&) = delete;

  std::optional<raw_hit> intersect(const ray_query& ray) const override;
  bool occluded(const ray_query& ray) const override;

  // The world as Embree holds it (an RTCScene), for benchmarks that time Embree's own queries.
  void* native_scene() const;

  struct state;

 private:
  std::unique_ptr<state> state_;
};

}  // namespace engine
