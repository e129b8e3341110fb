// Material "coateddiffuse": a specular coat of index "eta" over a Lambertian base of
// "reflectance", the coat taken with the Fresnel probability of the mean surface. A rough coat
// ("roughness", "uroughness", "vroughness") then reflects about a sampled microfacet normal,
// weighted by its facet's Fresnel term over the mean one. The coat's thickness and
// medium, and the light bounced between coat and base, are not modelled. pbrt-v3's "plastic",
// "substrate" and "uber" ("Kd") are rendered as it.
#include "engine/runtime/materials/material.h"
#include "engine/scene/vector_math.h"

namespace engine {

namespace {

class coated_diffuse_material final : public reflecting_material {
 public:
  coated_diffuse_material(const textured_reflectance& reflectance, float eta,
                          surface_roughness roughness)
      : reflecting_material("coateddiffuse", reflectance),
        eta_(eta),
        roughness_(std::move(roughness)) {}

  scattering scatter(const vec3& d, const facing_normals& n, const scatter_numbers& u,
                     const texture_point& at, bool) const override {
    scattering out;
    const double coat = fresnel_dielectric(std::abs(n.cos_i), eta_);
    if (!(u.branch < coat)) {
      out.kind = scattering::kind_type::diffuse;
      return out;
    }
    out.kind = scattering::kind_type::specular;
    if (!roughness_.smooth()) {
      if (const std::optional<rough_reflection> r = sample_coat(d, n, u, at)) {
        // Chosen with the Fresnel term of the mean surface, reflected with that of the facet.
        out.direction = r->direction;
        out.weight = rgb::gray(float(r->weight * fresnel_dielectric(r->cos_m, eta_) / coat));
        out.glossy = true;
        return out;
      }
      if (!roughness_.at(at).effectively_smooth()) return {};
    }
    out.direction = mirror(d, n);
    return out;
  }
  // A reflection off the rough coat; nullopt where the coat is smooth or the reflection leaves
  // below the surface.
  std::optional<rough_reflection> sample_coat(const vec3& d, const facing_normals& n,
                                              const scatter_numbers& u,
                                              const texture_point& at) const {
    const std::optional<trowbridge_reitz> lobe = roughness_.lobe_at(at);
    if (!lobe) return std::nullopt;
    return sample_rough_reflection(*lobe, d, n, u.u1, u.u2);
  }

  rgb glossy_reflection(const vec3& d, const facing_normals& n, const vec3& wi,
                        const texture_point& at) const override {
    const std::optional<trowbridge_reitz> lobe = roughness_.lobe_at(at);
    if (!lobe) return {};
    const trowbridge_reitz& distribution = *lobe;
    const reflection_response r = evaluate_rough_reflection(distribution, d, n, wi);
    return rgb::gray(float(r.value * fresnel_dielectric(r.cos_m, eta_)));
  }
  bool glossy() const override { return !roughness_.smooth(); }

  rgb diffuse_reflectance() const override { return reflectance_.constant; }
  rgb diffuse_reflectance_at(const texture_point& p) const override { return reflectance_.at(p); }
  int numbers_used() const override { return roughness_.smooth() ? 1 : 3; }
  std::string settings() const override {
    return reflecting_material::settings() + ", eta " + qor::scene::text(eta_) +
           (roughness_.smooth() ? "" : ", " + roughness_.text());
  }

 private:
  float eta_;
  surface_roughness roughness_;
};

}  // namespace

std::shared_ptr<surface_material> make_coated_diffuse(const material_context& material) {
  const std::string& type = material.entity.type;
  if (type == "coateddiffuse") {
    const textured_reflectance reflectance = material.reflectance("reflectance", 0.5f);
    const float eta = material.eta("eta", 1.5f);
    return std::make_shared<coated_diffuse_material>(reflectance, eta, material.roughness());
  }
  const textured_reflectance kd = material.reflectance("Kd", type == "substrate" ? 0.5f : 0.25f);
  float eta = 1.5f;
  if (type == "uber")
    eta = material.eta(material.parameters().find("index") ? "index" : "eta", 1.5f);
  return std::make_shared<coated_diffuse_material>(
      kd, eta, type == "plastic" ? material.roughness() : surface_roughness{});
}

}  // namespace engine
