// The Trowbridge-Reitz (GGX) microfacet distribution of rough conductors, dielectrics and coats,
// sampled through its visible normals, and the Fresnel term of a conductor. Directions are in the
// local frame of the facing shading normal: z along it, so an outgoing direction has z >= 0.
// Formulas follow pbrt-v4's TrowbridgeReitzDistribution.
#pragma once

#include "engine/runtime/vector_math.h"

namespace engine {

class trowbridge_reitz {
 public:
  trowbridge_reitz(double alpha_x, double alpha_y)
      : alpha_x_(std::max(alpha_x, 1e-4)), alpha_y_(std::max(alpha_y, 1e-4)) {}

  // Below this alpha a surface is a mirror to the eye: sampling it would only add rounding.
  bool effectively_smooth() const { return std::max(alpha_x_, alpha_y_) < 1e-3; }

  // Density of microfacet normals per projected area (integrates to 1 against cos).
  double density(const vec3& wm) const;
  // Smith's Lambda, the masking function G1 = 1 / (1 + Lambda) and the height-correlated
  // masking-shadowing G = 1 / (1 + Lambda(wo) + Lambda(wi)).
  double lambda(const vec3& w) const;
  double masking(const vec3& w) const { return 1 / (1 + lambda(w)); }
  double masking_shadowing(const vec3& wo, const vec3& wi) const {
    return 1 / (1 + lambda(wo) + lambda(wi));
  }
  // A microfacet normal visible from wo (wo.z > 0), with density G1(wo) max(0, wo.wm) D(wm) /
  // wo.z.
  vec3 sample_visible_normal(const vec3& wo, double u1, double u2) const;

  double alpha_x() const { return alpha_x_; }
  double alpha_y() const { return alpha_y_; }

 private:
  double alpha_x_, alpha_y_;
};

// A frame about a unit normal, to take world directions into the local frame and back.
struct shading_frame {
  explicit shading_frame(const vec3& normal) : z(normal) { orthonormal_basis(z, x, y); }
  vec3 to_local(const vec3& w) const { return {dot(w, x), dot(w, y), dot(w, z)}; }
  vec3 to_world(const vec3& w) const { return x * w.x + y * w.y + z * w.z; }
  vec3 x, y, z;
};

// Unpolarised Fresnel reflectance of a conductor of complex index eta + i k (relative to the
// medium outside it), per channel, at incidence cosine cos_i.
rgb fresnel_conductor(double cos_i, const rgb& eta, const rgb& k);

}  // namespace engine

#include <optional>

#include "engine/runtime/scattering.h"

namespace engine {

// A reflection off a rough surface sampled through the visible normals of the distribution:
// the reflected world direction, the cosine between it and the microfacet normal, and the
// path weight f cos / pdf without the Fresnel factor, G(wo, wi) / G1(wo). nullopt when the
// reflection leaves below the surface (shading or geometric), where the path ends.
struct rough_reflection {
  vec3 direction;
  double cos_m = 1;
  double weight = 1;
};
// f(wo, wi) |cos wi| of a rough reflection without its Fresnel factor, D G / (4 |cos wo|), and
// the cosine between wo and the half vector (for the Fresnel factor); 0 when either direction
// is below the surface. `d` is the arriving direction, `wi` towards the light, both world.
struct reflection_response {
  double value = 0;
  double cos_m = 1;
};
reflection_response evaluate_rough_reflection(const trowbridge_reitz& distribution, const vec3& d,
                                              const facing_normals& n, const vec3& wi);

std::optional<rough_reflection> sample_rough_reflection(const trowbridge_reitz& distribution,
                                                        const vec3& d, const facing_normals& n,
                                                        double u1, double u2);

}  // namespace engine
