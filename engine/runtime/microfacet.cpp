#include "engine/runtime/microfacet.h"

#include <complex>

namespace engine {

double trowbridge_reitz::density(const vec3& wm) const {
  const double cos2 = wm.z * wm.z;
  if (!(cos2 > 0)) return 0;
  const double e =
      (wm.x * wm.x / (alpha_x_ * alpha_x_) + wm.y * wm.y / (alpha_y_ * alpha_y_)) / cos2;
  return 1 / (pi * alpha_x_ * alpha_y_ * cos2 * cos2 * (1 + e) * (1 + e));
}

double trowbridge_reitz::lambda(const vec3& w) const {
  const double cos2 = w.z * w.z;
  if (!(cos2 > 0)) return 1e30;  // grazing: fully masked
  const double alpha2_tan2 =
      (w.x * w.x * alpha_x_ * alpha_x_ + w.y * w.y * alpha_y_ * alpha_y_) / cos2;
  return (std::sqrt(1 + alpha2_tan2) - 1) / 2;
}

vec3 trowbridge_reitz::sample_visible_normal(const vec3& wo, double u1, double u2) const {
  // Stretch to the hemisphere configuration, sample the projected half disc, unstretch.
  vec3 wh = normalize(vec3{alpha_x_ * wo.x, alpha_y_ * wo.y, wo.z});
  if (wh.z < 0) wh = -wh;
  const vec3 t1 = wh.z < 0.99999 ? normalize(cross(vec3{0, 0, 1}, wh)) : vec3{1, 0, 0};
  const vec3 t2 = cross(wh, t1);
  const double r = std::sqrt(u1), phi = 2 * pi * u2;
  double px = r * std::cos(phi), py = r * std::sin(phi);
  const double h = std::sqrt(std::max(0.0, 1 - px * px));
  const double s = (1 + wh.z) / 2;
  py = (1 - s) * h + s * py;
  const double pz = std::sqrt(std::max(0.0, 1 - px * px - py * py));
  const vec3 nh = t1 * px + t2 * py + wh * pz;
  return normalize(vec3{alpha_x_ * nh.x, alpha_y_ * nh.y, std::max(1e-6, nh.z)});
}

rgb fresnel_conductor(double cos_i, const rgb& eta, const rgb& k) {
  cos_i = std::clamp(cos_i, 0.0, 1.0);
  const double sin2_i = 1 - cos_i * cos_i;
  rgb out;
  float* channel[3] = {&out.r, &out.g, &out.b};
  for (int c = 0; c < 3; ++c) {
    const std::complex<double> n(eta[c], k[c]);
    const std::complex<double> sin2_t = sin2_i / (n * n);
    const std::complex<double> cos_t = std::sqrt(1.0 - sin2_t);
    const std::complex<double> r_parallel = (n * cos_i - cos_t) / (n * cos_i + cos_t);
    const std::complex<double> r_perpendicular = (cos_i - n * cos_t) / (cos_i + n * cos_t);
    *channel[c] = float((std::norm(r_parallel) + std::norm(r_perpendicular)) / 2);
  }
  return out;
}

}  // namespace engine

namespace engine {

std::optional<rough_reflection> sample_rough_reflection(const trowbridge_reitz& distribution,
                                                        const vec3& d, const facing_normals& n,
                                                        double u1, double u2) {
  const shading_frame frame(n.shading);
  const vec3 wo = frame.to_local(-d);
  if (!(wo.z > 0)) return std::nullopt;
  const vec3 wm = distribution.sample_visible_normal(wo, u1, u2);
  const double cos_m = dot(wo, wm);
  const vec3 wi = wm * (2 * cos_m) - wo;
  if (!(wi.z > 0)) return std::nullopt;
  rough_reflection out;
  out.direction = normalize(frame.to_world(wi));
  if (!(dot(out.direction, n.geometric) > 0)) return std::nullopt;
  out.cos_m = cos_m;
  out.weight = distribution.masking_shadowing(wo, wi) / distribution.masking(wo);
  return out;
}

}  // namespace engine

namespace engine {

reflection_response evaluate_rough_reflection(const trowbridge_reitz& distribution, const vec3& d,
                                              const facing_normals& n, const vec3& wi_world) {
  const shading_frame frame(n.shading);
  const vec3 wo = frame.to_local(-d), wi = frame.to_local(wi_world);
  reflection_response out;
  if (!(wo.z > 0) || !(wi.z > 0) || !(dot(wi_world, n.geometric) > 0)) return out;
  const vec3 h = wo + wi;
  if (!(length_squared(h) > 0)) return out;
  const vec3 wm = normalize(h);
  out.cos_m = dot(wo, wm);
  out.value = distribution.density(wm) * distribution.masking_shadowing(wo, wi) / (4 * wo.z);
  return out;
}

}  // namespace engine
