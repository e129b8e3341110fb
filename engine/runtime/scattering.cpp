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
  const double a = 2 * u1 - 1, b = 2 * u2 - 1;
  if (a == 0 && b == 0) {
    x = y = 0;
    return;
  }
  double r, theta;
  if (std::abs(a) > std::abs(b)) {
    r = a;
    theta = (pi / 4) * (b / a);
  } else {
    r = b;
    theta = pi / 2 - (pi / 4) * (a / b);
  }
  x = r * std::cos(theta);
  y = r * std::sin(theta);
}

vec3 sample_cosine_hemisphere(const vec3& n, double u1, double u2) {
  double x, y;
  sample_concentric_disk(u1, u2, x, y);
  const double z = std::sqrt(std::max(0.0, 1 - x * x - y * y));
  vec3 t, b;
  orthonormal_basis(n, t, b);
  return normalize(t * x + b * y + n * z);
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

namespace {

// Mirror direction about the shading normal, or about the geometric one when the shading normal
// would send it below the surface. Both normals face the incoming ray.
vec3 mirror(const vec3& d, const vec3& geometric, const vec3& shading) {
  const vec3 r = reflect(d, shading);
  if (dot(r, geometric) > 0) return r;
  return reflect(d, geometric);
}

}  // namespace

scattering scatter(const surface_material& material, const vec3& d, const vec3& normal,
                   const vec3& shading_normal, double u, bool radiance) {
  scattering out;
  const double cos_i = -dot(d, normal);  // > 0: arriving on the side the normal points to
  const vec3 ng = cos_i >= 0 ? normal : -normal;
  const vec3 ns = dot(shading_normal, d) <= 0 ? shading_normal : -shading_normal;
  switch (material.kind) {
    case material_kind::diffuse:
      out.kind = scattering::kind_type::diffuse;
      return out;
    case material_kind::interface:
      out.kind = scattering::kind_type::pass;
      out.direction = d;
      return out;
    case material_kind::conductor:
      out.kind = scattering::kind_type::specular;
      out.direction = mirror(d, ng, ns);
      out.weight = material.reflectance;
      return out;
    case material_kind::coated_diffuse: {
      const double f = fresnel_dielectric(std::abs(cos_i), material.eta);
      if (u < f) {
        out.kind = scattering::kind_type::specular;
        out.direction = mirror(d, ng, ns);
      } else {
        out.kind = scattering::kind_type::diffuse;
      }
      return out;
    }
    case material_kind::thin_dielectric: {
      const double r = fresnel_thin_dielectric(cos_i, material.eta);
      out.kind = scattering::kind_type::specular;
      if (u < r) {
        out.direction = mirror(d, ng, ns);
      } else {
        out.direction = d;
        out.transmitted = true;
      }
      return out;
    }
    case material_kind::dielectric: {
      const double f = fresnel_dielectric(cos_i, material.eta);
      out.kind = scattering::kind_type::specular;
      if (u < f) {
        out.direction = mirror(d, ng, ns);
        out.medium_ior = cos_i >= 0 ? 1.0f : material.eta;
        return out;
      }
      const double eta_ratio = cos_i >= 0 ? 1 / double(material.eta) : double(material.eta);
      std::optional<vec3> t = refract(d, ns, eta_ratio);
      if (!t || dot(*t, ng) >= 0) t = refract(d, ng, eta_ratio);
      if (!t) {  // total internal reflection (f is 1 then; reached only through rounding)
        out.direction = mirror(d, ng, ns);
        return out;
      }
      out.direction = *t;
      out.transmitted = true;
      out.medium_ior = cos_i >= 0 ? material.eta : 1.0f;
      if (radiance) out.weight = rgb::gray(float(eta_ratio * eta_ratio));
      return out;
    }
  }
  return out;
}

}  // namespace engine
