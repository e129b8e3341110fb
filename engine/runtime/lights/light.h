// The lights of the host's light list. Each LightSource kind is one file in this folder that
// defines its class and its factory, make_<kind>, from the directive's parameters, and one line
// in light.cpp; area lights (AreaLightSource "diffuse") are area_light.h. Units follow pbrt-v4: I
// in W/sr, area light L in W/(m^2 sr), a distant light's L gives that irradiance on a surface
// facing it.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "engine/runtime/traceable_scene.h"
#include "engine/scene/scene_description.h"
#include "host/classes.h"

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

// What qorLight::kind() answers: how a light emits, sorted as pbrt-v4 sorts its lights.
enum class light_type { delta_position = 1, delta_direction = 2, area = 3, infinite = 4 };

class scene_light : public qorLight {
 public:
  explicit scene_light(light_type type) : type_(type) {}

  int kind() const override { return int(type_); }
  float power() const override { return total_power().mean(); }
  // Adds albedo / pi x E at the ray's hit to result and records the shadow ray in light_ray.
  // Area and infinite lights draw the point or direction they are seen from from the ray's
  // thread's first random source.
  void add_direct_light(float result[3], qorRay& ray, qorRay& light_ray) override;

  virtual rgb total_power() const = 0;
  // u[0], u[1] choose the direction, u[2], u[3] the position on the emitter; numbers a light
  // does not need are left unused, so that each number keeps its role for every light.
  virtual photon_start emit(const double u[4]) const = 0;
  // The light at point p, with (u1, u2) choosing a point on an area light. False when no light
  // can arrive (outside a spot's cone, behind a one-sided emitter).
  virtual bool incident(const vec3& p, double u1, double u2, incident_light& out) const = 0;
  // Radiance that a ray leaving the scene in `direction` (unit, world) sees: only a light at
  // infinity has any.
  virtual rgb escaping_radiance(const vec3& /*direction*/) const { return {}; }

 private:
  light_type type_;
};

// Sets out's direction (unit, from p) and distance towards a point of a light, and answers the
// squared distance, from which the light's fall-off is formed. At the light point itself the
// answer is not above 0, and out is left as it was.
double aim_at_light_point(const vec3& light_point, const vec3& p, incident_light& out);

// What a light kind's factory reads: its LightSource or AreaLightSource record, where the
// light's space is in the world, and where warnings go. The readers check values and throw
// scene_error at the parameter at fault.
struct light_context {
  const qor::scene::entity_description& entity;
  const qor::scene::transform& world_from_light;
  qor::scene::warning_sink& warnings;

  const qor::scene::parameter_list& parameters() const { return entity.parameters; }
  // An emitted colour, unit luminance when given as a spectrum; white when absent.
  rgb emission(const char* parameter) const;
  // A number of at least 0 ("power", "illuminance"); 0 when absent.
  float non_negative(const char* parameter) const;
  // A point of the light's space in the world; throws when it leaves the finite range.
  qor::scene::double3 world_point(const qor::scene::double3& p) const;
  // The intensity the light emits; throws when "scale" or "power" made it non-finite.
  rgb finite_intensity(const rgb& intensity) const;
};

using light_factory = light_source (*)(const light_context&);

// The light a LightSource record describes, by its kind's factory; nullopt with a warning for a
// type no file defines. Reports the record's parameters nobody read.
std::optional<light_source> create_light(const light_context& light);

}  // namespace engine
