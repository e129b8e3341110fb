// LightSource "distant": light of radiance "L" times "scale" travelling from "from" towards "to"
// from infinitely far away; "illuminance" (W/m^2) sets the irradiance on a surface facing it
// instead, as pbrt-v4 normalises it.
#include "engine/runtime/lights/light.h"
#include "engine/runtime/scattering.h"
#include "engine/scene/parse_scene.h"
#include "engine/scene/vector_math.h"

namespace engine {

namespace {

class distant_light final : public scene_light {
 public:
  // Photons leave a disc that covers the scene's bounding sphere.
  distant_light(const vec3& direction, const rgb& radiance, const scene_extent& scene)
      : scene_light(light_type::delta_direction),
        direction_(direction),
        radiance_(radiance),
        center_(scene.center),
        radius_(scene.radius) {}

  rgb total_power() const override { return radiance_ * float(pi * radius_ * radius_); }

  photon_start emit(const double u[4]) const override {
    // A disc through the scene's bounding sphere, one radius upstream of its centre.
    double x, y;
    sample_concentric_disk(u[2], u[3], x, y);
    vec3 t, b;
    orthonormal_basis(direction_, t, b);
    photon_start start;
    start.origin = center_ - direction_ * radius_ + (t * x + b * y) * radius_;
    start.direction = direction_;
    start.power = total_power();
    return start;
  }

  bool incident(const vec3&, double, double, incident_light& out) const override {
    out.direction = -direction_;
    out.distance = INFINITY;
    out.irradiance = radiance_;
    return true;
  }

 private:
  vec3 direction_;  // where the light travels, unit
  rgb radiance_;    // times the solid angle: the irradiance on a surface facing the light
  vec3 center_;
  double radius_;
};

}  // namespace

light_source make_distant(const light_context& light) {
  namespace sc = qor::scene;
  const sc::parameter_list& params = light.parameters();
  const float scale = float(params.get_float("scale", 1));
  const rgb radiance = light.emission("L");
  const float illuminance = light.non_negative("illuminance");
  const sc::double3 from = params.get_point3("from", {0, 0, 0});
  const sc::double3 to = params.get_point3("to", {0, 0, 1});
  const sc::double3 d = light.world_from_light.apply_vector(sc::sub(to, from));
  if (!(sc::length(d) > 0) || !sc::finite(d)) {
    throw sc::scene_error(light.entity.location,
                          "expected a distant light's \"from\" and \"to\" to give a direction, "
                          "found " +
                              sc::text(d));
  }
  // Normalised in the reader's arithmetic, then in the runtime's: the last bit of the direction
  // moves every photon, and renders of a scene stay the same bit for bit across versions.
  const sc::double3 unit = sc::normalize(d);
  const vec3 direction = normalize(vec3{unit[0], unit[1], unit[2]});
  const rgb intensity =
      light.finite_intensity(radiance * (scale * (illuminance > 0 ? illuminance : 1)));
  return {"distant light, intensity " + text(intensity) + ", direction " + text(direction),
          [=](const scene_extent& scene) {
            return std::make_unique<distant_light>(direction, intensity, scene);
          },
          light.entity.location};
}

}  // namespace engine
