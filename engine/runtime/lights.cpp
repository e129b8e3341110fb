#include "engine/runtime/lights.h"

#include <algorithm>
#include <cmath>

#include "engine/runtime/runtime.h"
#include "engine/runtime/scattering.h"

namespace engine {

namespace {

// Sets out's direction (unit, from p) and distance towards a point of a light, and answers the
// squared distance, from which the light's fall-off is formed. At the light point itself the
// answer is not above 0, and out is left as it was.
double aim_at_light_point(const vec3& light_point, const vec3& p, incident_light& out) {
  const vec3 d = light_point - p;
  const double d2 = length_squared(d);
  if (d2 > 0) {
    out.distance = std::sqrt(d2);
    out.direction = d / out.distance;
  }
  return d2;
}

}  // namespace

void scene_light::add_direct_light(float result[3], qorRay& ray, qorRay& light_ray) {
  const qorScene& scene = scene_of(ray);
  const vec3 p = vec3::from(ray.hit_position);
  const vec3 n = vec3::from(ray.shading_normal);
  double u1 = 0.5, u2 = 0.5;
  if (kind_ == light_kind::area && ray.thread->random != nullptr) {
    u1 = ray.thread->random->next_float();
    u2 = ray.thread->random->next_float();
  }
  incident_light in;
  if (!incident(p, u1, u2, in)) return;
  const double cos_receiver = dot(n, in.direction);
  if (!(cos_receiver > 0)) return;
  const rgb albedo = scene.material_at(ray).diffuse_reflectance();
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

// ---- Point light ---------------------------------------------------------------------------

rgb point_light::total_power() const {
  return s_.intensity * float(4 * pi);
}

photon_start point_light::emit(const double u[4]) const {
  photon_start start;
  start.origin = s_.position;
  start.direction = sample_uniform_sphere(u[0], u[1]);
  start.power = total_power();
  return start;
}

bool point_light::incident(const vec3& p, double, double, incident_light& out) const {
  const double d2 = aim_at_light_point(s_.position, p, out);
  if (!(d2 > 0)) return false;
  out.irradiance = s_.intensity * float(1 / d2);
  return true;
}

// ---- Spot light ----------------------------------------------------------------------------

rgb spot_light::intensity_towards(const vec3& w) const {
  return s_.intensity *
         float(smooth_step(dot(w, s_.direction), s_.cos_falloff_end, s_.cos_falloff_start));
}

rgb spot_light::total_power() const {
  return s_.intensity *
         float(2 * pi *
               ((1 - s_.cos_falloff_start) + (s_.cos_falloff_start - s_.cos_falloff_end) / 2));
}

photon_start spot_light::emit(const double u[4]) const {
  // Uniform over the whole cone, each photon weighted by the intensity in its direction: the
  // mean power is the light's power, and nearby numbers give nearby photons.
  photon_start start;
  start.origin = s_.position;
  start.direction = sample_uniform_cone(s_.direction, s_.cos_falloff_end, u[0], u[1]);
  start.power = intensity_towards(start.direction) * float(2 * pi * (1 - s_.cos_falloff_end));
  return start;
}

bool spot_light::incident(const vec3& p, double, double, incident_light& out) const {
  const double d2 = aim_at_light_point(s_.position, p, out);
  if (!(d2 > 0)) return false;
  const rgb i = intensity_towards(-out.direction);
  if (i.is_black()) return false;
  out.irradiance = i * float(1 / d2);
  return true;
}

// ---- Distant light -------------------------------------------------------------------------

rgb distant_light::total_power() const {
  return s_.intensity * float(pi * radius_ * radius_);
}

photon_start distant_light::emit(const double u[4]) const {
  // A disc through the scene's bounding sphere, one radius upstream of its centre.
  double x, y;
  sample_concentric_disk(u[2], u[3], x, y);
  vec3 t, b;
  orthonormal_basis(s_.direction, t, b);
  photon_start start;
  start.origin = center_ - s_.direction * radius_ + (t * x + b * y) * radius_;
  start.direction = s_.direction;
  start.power = total_power();
  return start;
}

bool distant_light::incident(const vec3&, double, double, incident_light& out) const {
  out.direction = -s_.direction;
  out.distance = INFINITY;
  out.irradiance = s_.intensity;
  return true;
}

// ---- Area light ----------------------------------------------------------------------------

area_light::area_light(const area_light_source& source, const shape& geometry, uint32_t shape_index)
    : scene_light(light_kind::area), s_(source), shape_(&geometry), shape_index_(shape_index) {
  if (geometry.kind == geometry_kind::sphere) {
    area_ = emitting_area_ = shape_area(geometry);
    return;
  }
  const size_t n = geometry.mesh.triangle_count();
  triangle_cdf_.resize(n);
  double sum = 0;
  for (size_t t = 0; t < n; ++t) {
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
  n = normalize(cross(p0 - p2, p1 - p2));
  if (s.flip_normal) n = -n;
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
