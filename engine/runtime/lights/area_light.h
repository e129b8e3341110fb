// AreaLightSource "diffuse": uniform radiance "L" times "scale" from one side of each shape that
// follows it in its attribute block (both with "twosided"); "power" (W) sets the radiance of each
// shape instead, as pbrt-v4 normalises it. The light object is the shape's emitter: the engine
// hands the module the shape's emissive object, whose shader emits the photons.
#pragma once

#include <optional>
#include <vector>

#include "engine/runtime/lights/light.h"

namespace engine {

// What an AreaLightSource says, before it meets its shapes.
struct diffuse_emission {
  rgb radiance;  // L times scale, W/(m^2 sr)
  bool two_sided = false;
  float power = 0;  // W per shape; 0: none given
};

// Reads an AreaLightSource; nullopt with a warning for a type other than "diffuse" (its shapes
// then do not emit). Reports the parameters nobody read.
std::optional<diffuse_emission> read_area_light(const light_context& light);

// The area light of world shape `shape_index`, with pbrt-v4's power normalisation: each shape
// emits `power`, and a triangle mesh of a file (trianglemesh, plymesh) is one shape per
// triangle there.
area_light_source bind_area_light(const diffuse_emission& emission, const shape& geometry,
                                  uint32_t shape_index, const std::string& source_type);

// A diffuse area light on one world shape (a triangle mesh or a sphere).
class area_light final : public scene_light {
 public:
  area_light(const area_light_source& source, const shape& geometry, uint32_t shape_index);
  rgb total_power() const override;
  photon_start emit(const double u[4]) const override;
  bool incident(const vec3& p, double u1, double u2, incident_light& out) const override;

  // Radiance leaving triangle `primitive` (0 for a sphere) towards a viewer on the side of
  // `towards_viewer` (a unit vector from the surface to the viewer), given the shape's oriented
  // normal there.
  rgb emitted_radiance(const vec3& oriented_normal, const vec3& towards_viewer,
                       uint32_t primitive) const;
  double area() const { return area_; }
  const area_light_source& source() const { return s_; }

  // The emissive object of the host interface; its material's shader emits the photons.
  qorObject emissive_object{};

 private:
  // A uniformly distributed point on the shape with its oriented geometric normal.
  void sample_point(double u1, double u2, vec3& p, vec3& n, uint32_t& primitive) const;

  float scale_of(uint32_t primitive) const {
    return primitive < s_.triangle_scale.size() ? s_.triangle_scale[primitive] : 1.0f;
  }

  area_light_source s_;
  const shape* shape_;
  uint32_t shape_index_;
  double area_ = 0;
  // Sum over triangles of area x radiance factor: the area a uniform emitter of `radiance`
  // would need to emit as much. Triangles are sampled in proportion to it.
  double emitting_area_ = 0;
  std::vector<double> triangle_cdf_;  // running sums of it, normalised to end at 1
  // Each triangle's unit normal by the winding rule (flip_normal applied), worked out once: every
  // photon path and light sample starts with one.
  std::vector<vec3> face_normals_;
};

}  // namespace engine
