#include "engine/runtime/lights/area_light.h"

#include <algorithm>
#include <cmath>

#include "engine/runtime/scattering.h"
#include "engine/scene/parse_scene.h"
#include "engine/scene/vector_math.h"

namespace engine {

std::optional<diffuse_emission> read_area_light(const light_context& light) {
  namespace sc = qor::scene;
  const sc::entity_description& entity = light.entity;
  if (entity.type != "diffuse") {
    light.warnings.warn(entity.location, "area light \"" + entity.type +
                                             "\" is not supported (only \"diffuse\"); the shapes "
                                             "that follow do not emit");
    entity.parameters.mark_all_used();
    return std::nullopt;
  }
  const rgb L = light.emission("L");
  const float scale = float(entity.parameters.get_float("scale", 1));
  diffuse_emission out;
  out.two_sided = entity.parameters.get_bool("twosided", false);
  out.power = light.non_negative("power");
  out.radiance = L * scale;
  for (int c = 0; c < 3; c++) {
    if (!std::isfinite(out.radiance[c])) {
      throw sc::scene_error(entity.location,
                            "expected a finite radiance, found a non-finite one (is \"scale\" "
                            "too large?)");
    }
  }
  entity.parameters.report_unused(light.warnings, "AreaLightSource \"diffuse\"");
  return out;
}

area_light_source bind_area_light(const diffuse_emission& emission, const shape& geometry,
                                  uint32_t shape_index, const std::string& source_type) {
  area_light_source source;
  source.shape = shape_index;
  source.radiance = emission.radiance;
  source.two_sided = emission.two_sided;
  if (emission.power > 0) {
    const double sides = emission.two_sided ? 2 : 1;
    const bool per_triangle = geometry.kind == geometry_kind::triangle_mesh &&
                              (source_type == "trianglemesh" || source_type == "plymesh");
    if (per_triangle) {
      source.radiance = source.radiance * float(emission.power / (pi * sides));
      for (size_t t = 0; t < geometry.mesh.triangle_count(); ++t) {
        const double area = triangle_area(geometry.mesh, t);
        source.triangle_scale.push_back(area > 0 ? float(1 / area) : 0.0f);
      }
    } else if (const double area = shape_area(geometry); area > 0) {
      source.radiance = source.radiance * float(emission.power / (pi * sides * area));
    }
  }
  return source;
}

area_light::area_light(const area_light_source& source, const shape& geometry, uint32_t shape_index)
    : scene_light(light_type::area), s_(source), shape_(&geometry), shape_index_(shape_index) {
  if (geometry.kind == geometry_kind::sphere) {
    area_ = emitting_area_ = shape_area(geometry);
    return;
  }
  const triangle_mesh& m = geometry.mesh;
  const size_t n = m.triangle_count();
  triangle_cdf_.resize(n);
  face_normals_.resize(n);
  double sum = 0;
  for (size_t t = 0; t < n; ++t) {
    const vec3 normal = m.winding_normal(t);
    face_normals_[t] = geometry.flip_normal ? -normal : normal;
    const double a = triangle_area(geometry.mesh, t);
    area_ += a;
    sum += a * scale_of(uint32_t(t));
    triangle_cdf_[t] = sum;
  }
  emitting_area_ = sum;
  if (sum > 0) {
    for (double& c : triangle_cdf_) c /= sum;
  }
}

rgb area_light::total_power() const {
  return s_.radiance * float(pi * emitting_area_ * (s_.two_sided ? 2 : 1));
}

rgb area_light::emitted_radiance(const vec3& oriented_normal, const vec3& towards_viewer,
                                 uint32_t primitive) const {
  if (s_.two_sided || dot(oriented_normal, towards_viewer) > 0) {
    return s_.radiance * scale_of(primitive);
  }
  return {};
}

void area_light::sample_point(double u1, double u2, vec3& p, vec3& n, uint32_t& primitive) const {
  const shape& s = *shape_;
  if (s.kind == geometry_kind::sphere) {
    n = sample_uniform_sphere(u1, u2);
    p = s.center + n * s.radius;
    if (s.flip_normal) n = -n;
    primitive = 0;
    return;
  }
  // The first number picks a triangle by area and is then stretched back over [0, 1).
  const auto it = std::upper_bound(triangle_cdf_.begin(), triangle_cdf_.end(), u1);
  const size_t t = std::min<size_t>(it - triangle_cdf_.begin(), triangle_cdf_.size() - 1);
  const double lo = t == 0 ? 0 : triangle_cdf_[t - 1];
  const double width = triangle_cdf_[t] - lo;
  const double u1_again = width > 0 ? std::clamp((u1 - lo) / width, 0.0, 1.0) : 0.5;
  double b1, b2;
  sample_uniform_triangle(u1_again, u2, b1, b2);
  const triangle_mesh& m = s.mesh;
  const uint32_t i0 = m.indices[3 * t], i1 = m.indices[3 * t + 1], i2 = m.indices[3 * t + 2];
  const vec3 p0 = m.position(i0), p1 = m.position(i1), p2 = m.position(i2);
  p = p0 * (1 - b1 - b2) + p1 * b1 + p2 * b2;
  n = face_normals_[t];
  if (!m.normals.empty()) {
    const auto& a = m.normals[i0];
    const auto& b = m.normals[i1];
    const auto& c = m.normals[i2];
    const vec3 ns = vec3{a[0], a[1], a[2]} * (1 - b1 - b2) + vec3{b[0], b[1], b[2]} * b1 +
                    vec3{c[0], c[1], c[2]} * b2;
    if (dot(ns, n) < 0) n = -n;
  }
  primitive = uint32_t(t);
}

photon_start area_light::emit(const double u[4]) const {
  photon_start start;
  vec3 p, n;
  uint32_t primitive;
  sample_point(u[2], u[3], p, n, primitive);
  double u0 = u[0];
  if (s_.two_sided) {
    // Half the photons leave from each side; the first number picks the side and is stretched.
    if (u0 < 0.5) {
      u0 = 2 * u0;
    } else {
      u0 = 2 * u0 - 1;
      n = -n;
    }
  }
  start.origin = p;
  start.direction = sample_cosine_hemisphere(n, u0, u[1]);
  start.power = total_power();
  start.on_surface = true;
  start.normal = n;
  // A triangle is left behind for good; a sphere may be met again on its far side.
  if (shape_->kind == geometry_kind::triangle_mesh) start.surface = {-1, shape_index_, primitive};
  return start;
}

bool area_light::incident(const vec3& p, double u1, double u2, incident_light& out) const {
  if (!(emitting_area_ > 0)) return false;
  vec3 q, n;
  uint32_t primitive;
  sample_point(u1, u2, q, n, primitive);
  const double d2 = aim_at_light_point(q, p, out);
  if (!(d2 > 0)) return false;
  double cos_light = dot(n, -out.direction);
  if (s_.two_sided) cos_light = std::abs(cos_light);
  if (!(cos_light > 0)) return false;
  // The point was drawn with density scale / emitting_area, so the scale cancels.
  out.irradiance = s_.radiance * float(cos_light * emitting_area_ / d2);
  return true;
}

}  // namespace engine
