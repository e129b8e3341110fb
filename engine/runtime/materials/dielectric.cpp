// Material "dielectric": glass of index "eta", Fresnel reflection or refraction, smooth or rough
// ("roughness", "uroughness", "vroughness": a Trowbridge-Reitz surface whose microfacet normal is
// sampled first, then reflection or refraction about it with its Fresnel probability, as
// pbrt-v4's rough dielectric samples). pbrt-v3's "glass" ("index") is the same.
#include "engine/runtime/materials/material.h"
#include "engine/scene/vector_math.h"

namespace engine {

namespace {

class dielectric_material final : public surface_material {
 public:
  dielectric_material(float eta, surface_roughness roughness)
      : surface_material("dielectric"), eta_(eta), roughness_(std::move(roughness)) {}

  scattering scatter(const vec3& d, const facing_normals& n, const scatter_numbers& u,
                     const texture_point& at, bool radiance) const override {
    scattering out;
    out.kind = scattering::kind_type::specular;
    const bool entering = n.cos_i >= 0;
    // eta_i / eta_t across the boundary in the ray's direction.
    const double eta_ratio = entering ? 1 / double(eta_) : double(eta_);
    const float ior_before = entering ? 1.0f : eta_, ior_after = entering ? eta_ : 1.0f;

    vec3 m = n.shading;  // the (micro)surface normal, on the side the ray comes from
    double weight = 1;
    trowbridge_reitz distribution(0, 0);
    const shading_frame frame(n.shading);
    vec3 wo;
    bool rough = false;
    if (!roughness_.smooth()) {
      distribution = roughness_.at(at);
      rough = !distribution.effectively_smooth();
      out.glossy = rough;
      if (rough) {
        wo = frame.to_local(-d);
        if (!(wo.z > 0)) return {};
        m = frame.to_world(distribution.sample_visible_normal(wo, u.u1, u.u2));
      }
    }
    const double reflectance = rough ? fresnel_dielectric(-dot(d, m), entering ? eta_ : 1 / eta_)
                                     : fresnel_dielectric(n.cos_i, eta_);
    if (u.branch < reflectance) {
      out.direction = rough ? reflect(d, m) : mirror(d, n);
      out.medium_ior = ior_before;
      if (rough) {
        const vec3 wi = frame.to_local(out.direction);
        if (!(wi.z > 0) || !(dot(out.direction, n.geometric) > 0)) return {};
        weight = distribution.masking_shadowing(wo, wi) / distribution.masking(wo);
      }
      out.weight = rgb::gray(float(weight));
      return out;
    }
    std::optional<vec3> t = refract(d, m, eta_ratio);
    if (!rough && (!t || dot(*t, n.geometric) >= 0)) t = refract(d, n.geometric, eta_ratio);
    if (!t) {  // total internal reflection (the Fresnel term is 1 then; reached only by rounding)
      if (rough) return {};
      out.direction = mirror(d, n);
      return out;
    }
    if (rough) {
      const vec3 wi = frame.to_local(*t);
      if (!(wi.z < 0) || !(dot(*t, n.geometric) < 0)) return {};
      const vec3 wi_up{wi.x, wi.y, -wi.z};  // Smith's terms use |cos|
      weight = distribution.masking_shadowing(wo, wi_up) / distribution.masking(wo);
    }
    out.direction = *t;
    out.transmitted = true;
    out.medium_ior = ior_after;
    if (radiance) weight *= eta_ratio * eta_ratio;
    out.weight = rgb::gray(float(weight));
    return out;
  }
  rgb glossy_reflection(const vec3& d, const facing_normals& n, const vec3& wi_world,
                        const texture_point& at) const override {
    const std::optional<trowbridge_reitz> lobe = roughness_.lobe_at(at);
    if (!lobe) return {};
    const trowbridge_reitz& distribution = *lobe;
    const bool entering = n.cos_i >= 0;
    const double eta = entering ? eta_ : 1 / double(eta_);  // far side over near side
    const shading_frame frame(n.shading);
    const vec3 wo = frame.to_local(-d), wi = frame.to_local(wi_world);
    if (!(wo.z > 0) || wi.z == 0) return {};
    if (wi.z > 0) {
      const reflection_response r = evaluate_rough_reflection(distribution, d, n, wi_world);
      return rgb::gray(float(r.value * fresnel_dielectric(r.cos_m, eta)));
    }
    if (!(dot(wi_world, n.geometric) < 0)) return {};
    // The generalised half vector of refraction, on the near side.
    vec3 wm = wi * eta + wo;
    if (!(length_squared(wm) > 0)) return {};
    wm = normalize(wm);
    if (wm.z < 0) wm = -wm;
    const double cos_o = dot(wo, wm), cos_t = dot(wi, wm);
    if (!(cos_o > 0) || !(cos_t < 0)) return {};
    const double denominator = cos_t + cos_o / eta;
    const vec3 wi_up{wi.x, wi.y, -wi.z};
    // Radiance: (1 / eta)^2 of the transmitted light, as the sampled branch carries it.
    const double f_cos = (1 - fresnel_dielectric(cos_o, eta)) * distribution.density(wm) *
                         distribution.masking_shadowing(wo, wi_up) * std::abs(cos_t * cos_o) /
                         (wo.z * denominator * denominator) / (eta * eta);
    return rgb::gray(float(f_cos));
  }
  bool glossy() const override { return !roughness_.smooth(); }
  int numbers_used() const override { return roughness_.smooth() ? 1 : 3; }
  std::string settings() const override {
    return "eta " + qor::scene::text(eta_) + (roughness_.smooth() ? "" : ", " + roughness_.text());
  }

 private:
  float eta_;  // inside over outside
  surface_roughness roughness_;
};

}  // namespace

std::shared_ptr<surface_material> make_dielectric(const material_context& material) {
  const float eta =
      material.parameters().find("index") ? material.eta("index", 1.5f) : material.eta("eta", 1.5f);
  return std::make_shared<dielectric_material>(eta, material.roughness());
}

}  // namespace engine
