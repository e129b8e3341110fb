// LightSource "point": intensity "I" (W/sr) times "scale" from the point "from", the same in
// every direction; "power" (W) sets the intensity instead, as pbrt-v4 normalises it.
#include <numbers>

#include "engine/runtime/lights/light.h"
#include "engine/runtime/scattering.h"

namespace engine {

namespace {

class point_light final : public scene_light {
 public:
  point_light(const vec3& position, const rgb& intensity)
      : scene_light(light_type::delta_position), position_(position), intensity_(intensity) {}

  rgb total_power() const override { return intensity_ * float(4 * pi); }

  photon_start emit(const double u[4]) const override {
    photon_start start;
    start.origin = position_;
    start.direction = sample_uniform_sphere(u[0], u[1]);
    start.power = total_power();
    return start;
  }

  bool incident(const vec3& p, double, double, incident_light& out) const override {
    const double d2 = aim_at_light_point(position_, p, out);
    if (!(d2 > 0)) return false;
    out.irradiance = intensity_ * float(1 / d2);
    return true;
  }

 private:
  vec3 position_;
  rgb intensity_;
};

}  // namespace

light_source make_point(const light_context& light) {
  const float scale = float(light.parameters().get_float("scale", 1));
  const rgb i = light.emission("I");
  const float power = light.non_negative("power");
  const auto from = light.world_point(light.parameters().get_point3("from", {0, 0, 0}));
  const vec3 position{from[0], from[1], from[2]};
  const rgb intensity =
      light.finite_intensity(i * (scale * (power > 0 ? power / float(4 * std::numbers::pi) : 1)));
  return {"point light, intensity " + text(intensity) + ", at " + text(position),
          [=](const scene_extent&) { return std::make_unique<point_light>(position, intensity); },
          light.entity.location};
}

}  // namespace engine
