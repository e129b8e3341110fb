#include "engine/runtime/scattering.h"

#include <algorithm>
#include <cmath>

namespace engine {

double fresnel_dielectric(double cos_i, double eta) {
  cos_i = std::clamp(cos_i, -1.0, 1.0);
  if (cos_i < 0) {
    eta = 1 / eta;
    cos_i = -cos_i;
  }
  const double sin2_i = 1 - cos_i * cos_i;
  const double sin2_t = sin2_i / (eta * eta);
  if (sin2_t >= 1) return 1;
  const double cos_t = std::sqrt(std::max(0.0, 1 - sin2_t));
  const double r_parallel = (eta * cos_i - cos_t) / (eta * cos_i + cos_t);
  const double r_perpendicular = (cos_i - eta * cos_t) / (cos_i + eta * cos_t);
  return (r_parallel * r_parallel + r_perpendicular * r_perpendicular) / 2;
}

double fresnel_thin_dielectric(double cos_i, double eta) {
  double r = fresnel_dielectric(std::abs(cos_i), eta);
  if (r < 1) {
    const double t = 1 - r;
    r += t * t * r / (1 - r * r);
  }
  return r;
}

vec3 reflect(const vec3& d, const vec3& n) {
  return d - n * (2 * dot(d, n));
}

std::optional<vec3> refract(const vec3& d, const vec3& n, double eta_ratio) {
  const double cos_i = -dot(d, n);
  const double sin2_t = eta_ratio * eta_ratio * std::max(0.0, 1 - cos_i * cos_i);
  if (sin2_t >= 1) return std::nullopt;
  const double cos_t = std::sqrt(1 - sin2_t);
  return normalize(d * eta_ratio + n * (eta_ratio * cos_i - cos_t));
}

void sample_concentric_disk(double u1, double u2, double& x, double& y) {
  // The angle is folded into [-pi/4, pi/4], where single-precision sine and cosine are exact to
  // float rounding, which no sample can tell apart; photon paths draw two of these per bounce,
  // and a double-precision sincos was a tenth of the engine's photon time.
  const double a = 2 * u1 - 1, b = 2 * u2 - 1;
  x = y = 0;
  if (a == 0 && b == 0) return;
  const bool wide = std::abs(a) > std::abs(b);
  const double r = wide ? a : b;
  const float angle = float((pi / 4) * (wide ? b / a : a / b));
  const double c = std::cos(angle), s = std::sin(angle);
  // The other octants' angle is pi/2 - angle: cosine and sine change places.
  x = r * (wide ? c : s);
  y = r * (wide ? s : c);
}

vec3 sample_cosine_hemisphere(const vec3& n, double u1, double u2) {
  double x, y;
  sample_concentric_disk(u1, u2, x, y);
  // z comes from x and y and the basis is orthonormal, so the direction is unit as it stands.
  const double z = std::sqrt(std::max(0.0, 1 - x * x - y * y));
  vec3 t, bitangent;
  orthonormal_basis(n, t, bitangent);
  return t * x + bitangent * y + n * z;
}

vec3 sample_uniform_sphere(double u1, double u2) {
  const double z = 1 - 2 * u1;
  const double r = std::sqrt(std::max(0.0, 1 - z * z));
  const double phi = 2 * pi * u2;
  return {r * std::cos(phi), r * std::sin(phi), z};
}

vec3 sample_uniform_cone(const vec3& axis, double cos_max, double u1, double u2) {
  const double cos_theta = (1 - u1) + u1 * cos_max;
  const double sin_theta = std::sqrt(std::max(0.0, 1 - cos_theta * cos_theta));
  const double phi = 2 * pi * u2;
  vec3 t, b;
  orthonormal_basis(axis, t, b);
  return normalize(t * (sin_theta * std::cos(phi)) + b * (sin_theta * std::sin(phi)) +
                   axis * cos_theta);
}

void sample_uniform_triangle(double u1, double u2, double& b1, double& b2) {
  const double s = std::sqrt(u1);
  b1 = 1 - s;
  b2 = u2 * s;
}

double smooth_step(double x, double a, double b) {
  if (a == b) return x < a ? 0 : 1;
  const double t = std::clamp((x - a) / (b - a), 0.0, 1.0);
  return t * t * (3 - 2 * t);
}

vec3 mirror(const vec3& d, const facing_normals& n) {
  const vec3 r = reflect(d, n.shading);
  if (dot(r, n.geometric) > 0) return r;
  return reflect(d, n.geometric);
}

}  // namespace engine
