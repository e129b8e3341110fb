// LightSource "spot": a point light at "from" shining towards "to", full intensity "I" inside
// "coneangle" - "conedeltaangle" degrees of the axis and none beyond "coneangle", with pbrt-v4's
// smooth fall-off between; "power" (W) sets the intensity instead, as pbrt-v4 normalises it.
#include <numbers>

#include "engine/runtime/lights/light.h"
#include "engine/runtime/scattering.h"
#include "engine/scene/parse_scene.h"
#include "engine/scene/vector_math.h"

namespace engine {

namespace {

class spot_light final : public scene_light {
 public:
  spot_light(const vec3& position, const vec3& direction, const rgb& intensity,
             double cos_falloff_start, double cos_falloff_end)
      : scene_light(light_type::delta_position),
        position_(position),
        direction_(direction),
        intensity_(intensity),
        cos_falloff_start_(cos_falloff_start),
        cos_falloff_end_(cos_falloff_end) {}

  rgb total_power() const override {
    return intensity_ *
           float(2 * pi * ((1 - cos_falloff_start_) + (cos_falloff_start_ - cos_falloff_end_) / 2));
  }

  photon_start emit(const double u[4]) const override {
    // Uniform over the whole cone, each photon weighted by the intensity in its direction: the
    // mean power is the light's power, and nearby numbers give nearby photons.
    photon_start start;
    start.origin = position_;
    start.direction = sample_uniform_cone(direction_, cos_falloff_end_, u[0], u[1]);
    start.power = intensity_towards(start.direction) * float(2 * pi * (1 - cos_falloff_end_));
    return start;
  }

  bool incident(const vec3& p, double, double, incident_light& out) const override {
    const double d2 = aim_at_light_point(position_, p, out);
    if (!(d2 > 0)) return false;
    const rgb i = intensity_towards(-out.direction);
    if (i.is_black()) return false;
    out.irradiance = i * float(1 / d2);
    return true;
  }

 private:
  rgb intensity_towards(const vec3& w) const {  // w: unit, from the light
    return intensity_ *
           float(smooth_step(dot(w, direction_), cos_falloff_end_, cos_falloff_start_));
  }

  vec3 position_;
  vec3 direction_;  // the cone's axis, unit
  rgb intensity_;
  double cos_falloff_start_;  // full intensity inside this cosine
  double cos_falloff_end_;    // no light outside this cosine
};

}  // namespace

light_source make_spot(const light_context& light) {
  namespace sc = qor::scene;
  const sc::parameter_list& params = light.parameters();
  const sc::file_location& loc = light.entity.location;
  const float scale = float(params.get_float("scale", 1));
  const rgb i = light.emission("I");
  const float power = light.non_negative("power");
  const sc::double3 from = params.get_point3("from", {0, 0, 0});
  const sc::double3 to = params.get_point3("to", {0, 0, 1});
  if (!(sc::length(sc::sub(to, from)) > 0)) {
    throw sc::scene_error(
        loc, "expected a spot light's \"from\" and \"to\" to differ, found both " + sc::text(from));
  }
  const sc::parameter* cone = params.find("coneangle");
  const float cone_angle = float(params.get_float("coneangle", 30));
  const float cone_delta_angle = float(params.get_float("conedeltaangle", 5));
  if (!(cone_angle > 0 && cone_angle <= 180)) {
    throw sc::scene_error(
        cone ? cone->value_location(0) : loc,
        "expected \"coneangle\" between 0 and 180 degrees, found " + sc::text(cone_angle));
  }
  if (!(cone_delta_angle >= 0 && cone_delta_angle <= cone_angle)) {
    const sc::parameter* delta = params.find("conedeltaangle");
    throw sc::scene_error(delta ? delta->value_location(0) : loc,
                          "expected \"conedeltaangle\" between 0 and the cone angle " +
                              sc::text(cone_angle) + ", found " + sc::text(cone_delta_angle));
  }
  const sc::double3 from_world = light.world_point(from);
  const sc::double3 to_world = light.world_point(to);
  const vec3 position{from_world[0], from_world[1], from_world[2]};
  const vec3 axis = vec3{to_world[0], to_world[1], to_world[2]} - position;
  if (!(length(axis) > 0)) {
    throw sc::scene_error(loc, "expected a spot light direction after transformation, found none");
  }
  float k = scale;
  if (power > 0) {
    // pbrt-v4 divides by the cone's solid angle with the fall-off band counted half.
    const double cos_end = std::cos(sc::radians(cone_angle));
    const double cos_start = std::cos(sc::radians(cone_angle - cone_delta_angle));
    const double k_e = 2 * std::numbers::pi * ((1 - cos_start) + (cos_start - cos_end) / 2);
    k *= float(power / k_e);
  }
  const rgb intensity = light.finite_intensity(i * k);
  // The light leaves at most the hemisphere around its axis: wider cones are cut there.
  const double cone_degrees = std::clamp(double(cone_angle), 0.0, 90.0);
  const double delta_degrees = std::clamp(double(cone_delta_angle), 0.0, cone_degrees);
  const double cos_falloff_end = std::cos(cone_degrees * pi / 180);
  const double cos_falloff_start = std::cos((cone_degrees - delta_degrees) * pi / 180);
  const vec3 direction = normalize(axis);
  return {"spot light, intensity " + text(intensity) + ", at " + text(position),
          [=](const scene_extent&) {
            return std::make_unique<spot_light>(position, direction, intensity, cos_falloff_start,
                                                cos_falloff_end);
          },
          light.entity.location};
}

}  // namespace engine
