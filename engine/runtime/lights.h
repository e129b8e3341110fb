// The lights of the host's light list: point, spot and distant lights, and the diffuse area
// lights of emissive shapes. Units follow pbrt-v4: I in W/sr, area light L in W/(m^2 sr), a
// distant light's L gives that irradiance on a surface facing it.
#pragma once

#include <memory>
#include <vector>

#include "engine/runtime/traceable_scene.h"
#include "host/classes.h"

struct qorShader;

namespace engine {

// Where a photon leaves its emitter, with the emitter's total power.
struct photon_start {
  vec3 origin;
  vec3 direction;  // unit
  rgb power;       // W: the emitter's whole power, so that N photons carry it N times over
  bool on_surface = false;
  vec3 normal;         // on a surface: its geometric normal on the side the photon leaves
  surface_id surface;  // the triangle the photon leaves, which its first segment ignores
};

// Light arriving at a point from one light (or one sampled point of an area light).
struct incident_light {
  rgb irradiance;       // W/m^2 on a surface facing the light head-on
  vec3 direction;       // unit, from the receiving point towards the light
  double distance = 0;  // to the light; infinite for a distant light
};

class scene_light : public qorLight {
 public:
  explicit scene_light(light_kind kind) : kind_(kind) {}

  int kind() const override { return int(kind_); }
  float power() const override { return total_power().mean(); }
  // Adds albedo / pi x E at the ray's hit to result and records the shadow ray in light_ray.
  // Area lights draw the point they are seen from from the ray's thread's first random source.
  void add_direct_light(float result[3], qorRay& ray, qorRay& light_ray) override;

  virtual rgb total_power() const = 0;
  // u[0], u[1] choose the direction, u[2], u[3] the position on the emitter; numbers a light
  // does not need are left unused, so that each number keeps its role for every light.
  virtual photon_start emit(const double u[4]) const = 0;
  // The light at point p, with (u1, u2) choosing a point on an area light. False when no light
  // can arrive (outside a spot's cone, behind a one-sided emitter).
  virtual bool incident(const vec3& p, double u1, double u2, incident_light& out) const = 0;

 private:
  light_kind kind_;
};

class point_light final : public scene_light {
 public:
  explicit point_light(const light_source& source) : scene_light(light_kind::point), s_(source) {}
  rgb total_power() const override;
  photon_start emit(const double u[4]) const override;
  bool incident(const vec3& p, double u1, double u2, incident_light& out) const override;

 private:
  light_source s_;
};

class spot_light final : public scene_light {
 public:
  explicit spot_light(const light_source& source) : scene_light(light_kind::spot), s_(source) {}
  rgb total_power() const override;
  photon_start emit(const double u[4]) const override;
  bool incident(const vec3& p, double u1, double u2, incident_light& out) const override;
  rgb intensity_towards(const vec3& w) const;  // w: unit, from the light

 private:
  light_source s_;
};

class distant_light final : public scene_light {
 public:
  // Photons leave a disc that covers the scene's bounding sphere.
  distant_light(const light_source& source, const vec3& scene_center, double scene_radius)
      : scene_light(light_kind::distant),
        s_(source),
        center_(scene_center),
        radius_(scene_radius) {}
  rgb total_power() const override;
  photon_start emit(const double u[4]) const override;
  bool incident(const vec3& p, double u1, double u2, incident_light& out) const override;

 private:
  light_source s_;
  vec3 center_;
  double radius_;
};

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
};

}  // namespace engine
