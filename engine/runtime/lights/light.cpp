#include "engine/runtime/lights/light.h"

#include <cmath>
#include <string_view>

#include "engine/runtime/runtime.h"
#include "engine/scene/kind_list.h"
#include "engine/scene/parse_scene.h"
#include "engine/scene/vector_math.h"

// Every light kind a LightSource may name, and the file that defines make_<kind> for it.
#define QOR_LIGHT_KINDS(X) \
  X(point)                 \
  X(spot)                  \
  X(distant)               \
  X(infinite)

namespace engine {

#define QOR_DECLARE(kind) light_source make_##kind(const light_context&);
QOR_LIGHT_KINDS(QOR_DECLARE)
#undef QOR_DECLARE

namespace {

namespace sc = qor::scene;

constexpr sc::named_kind<light_factory> kinds[] = {
#define QOR_ENTRY(kind) {#kind, make_##kind},
    QOR_LIGHT_KINDS(QOR_ENTRY)
#undef QOR_ENTRY
};

}  // namespace

std::optional<light_source> create_light(const light_context& light) {
  const sc::entity_description& entity = light.entity;
  const light_factory make = sc::find_kind(kinds, entity.type);
  if (make == nullptr) {
    light.warnings.warn(entity.location,
                        "light \"" + entity.type +
                            "\" is not supported (supported: " + sc::kind_names(kinds) +
                            ", and AreaLightSource \"diffuse\"); it is ignored");
    entity.parameters.mark_all_used();
    return std::nullopt;
  }
  light_source made = make(light);
  entity.parameters.report_unused(light.warnings, "LightSource \"" + entity.type + "\"");
  return made;
}

rgb light_context::emission(const char* parameter) const {
  const sc::rgb c = parameters()
                        .get_rgb(parameter, sc::spectrum_use::emission, warnings)
                        .value_or(sc::rgb{1, 1, 1});
  return {c[0], c[1], c[2]};
}

float light_context::non_negative(const char* name) const {
  const sc::parameter* p = parameters().find(name);
  const double v = parameters().get_float(name, 0);
  if (p && v < 0) {
    throw sc::scene_error(p->value_location(0), std::string("expected a non-negative \"") + name +
                                                    "\", found " + sc::text(v));
  }
  return float(v);
}

sc::double3 light_context::world_point(const sc::double3& p) const {
  const sc::double3 w = world_from_light.apply_point(p);
  if (!sc::finite(w)) {
    throw sc::scene_error(
        entity.location,
        "expected a finite light position after transformation, found " + sc::text(w));
  }
  return w;
}

rgb light_context::finite_intensity(const rgb& intensity) const {
  for (int c = 0; c < 3; ++c) {
    if (!std::isfinite(intensity[c])) {
      throw sc::scene_error(entity.location,
                            "expected a finite light intensity, found a non-finite one (is "
                            "\"scale\" or \"power\" too large?)");
    }
  }
  return intensity;
}

double aim_at_light_point(const vec3& light_point, const vec3& p, incident_light& out) {
  const vec3 d = light_point - p;
  const double d2 = length_squared(d);
  if (d2 > 0) {
    out.distance = std::sqrt(d2);
    out.direction = d / out.distance;
  }
  return d2;
}

void scene_light::add_direct_light(float result[3], qorRay& ray, qorRay& light_ray) {
  const qorScene& scene = scene_of(ray);
  const vec3 p = vec3::from(ray.hit_position);
  const vec3 n = vec3::from(ray.shading_normal);
  double u1 = 0.5, u2 = 0.5;
  if ((type_ == light_type::area || type_ == light_type::infinite) &&
      ray.thread->random != nullptr) {
    u1 = ray.thread->random->next_float();
    u2 = ray.thread->random->next_float();
  }
  incident_light in;
  if (!incident(p, u1, u2, in)) return;
  const double cos_receiver = dot(n, in.direction);
  if (!(cos_receiver > 0)) return;
  const rgb albedo = scene.albedo_at(ray, cos_receiver);
  const rgb contribution = albedo * in.irradiance * float(cos_receiver / pi);
  if (contribution.is_black()) return;
  contribution.add_to(result);

  // The shadow ray stops short of the light so that an area light does not shadow itself.
  auto& shadow = static_cast<engine_ray&>(light_ray);
  const double reach =
      std::isfinite(in.distance) ? std::max(0.0, in.distance - 2 * scene.ray_epsilon) : 1e300;
  shadow.shadow_tests.push_back({p, in.direction, reach, contribution});
  p.store(shadow.origin);
  in.direction.store(shadow.direction);
  shadow.min_distance = 0;
  shadow.max_distance = reach;
  shadow.current_light = this;
}

}  // namespace engine
