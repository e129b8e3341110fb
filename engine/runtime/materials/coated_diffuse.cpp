// Material "coateddiffuse": a dielectric coat of index "eta" and "thickness" over a Lambertian
// base of "reflectance". The coat reflects with its Fresnel probability; a rough coat
// ("roughness", "uroughness", "vroughness") reflects about a sampled microfacet normal. Light the
// coat lets through reaches the base, and what the base reflects bounces between base and coat
// until it leaves: the diffuse part's albedo is the base's with those bounces summed (see
// coat_layer), and light crosses the coat into it and out of it with the coat's transmittance.
// pbrt-v3's "plastic", "substrate" and "uber" ("Kd") are rendered as it, as pbrt-v4 upgrades
// them.
#include <array>

#include "engine/runtime/materials/material.h"
#include "engine/scene/vector_math.h"

namespace engine {

namespace {

// The share of light arriving at cosine mu from the side of index 1 that an interface with
// index ratio eta (other side over this one) reflects and transmits: the Fresnel terms of a
// smooth one, or what a Trowbridge-Reitz one scatters once (the rest is lost to masking), found
// by sampling its visible normals on a fixed grid, so that a material is made the same each time.
struct interface_shares {
  double reflected = 0, transmitted = 0;
};
interface_shares interface_energy(const std::optional<trowbridge_reitz>& rough, double eta,
                                  double mu) {
  if (!rough) {
    const double f = fresnel_dielectric(mu, eta);
    return {f, 1 - f};
  }
  const vec3 wo{std::sqrt(std::max(0.0, 1 - mu * mu)), 0, mu};
  const int grid = 48;
  interface_shares out;
  for (int i = 0; i < grid; ++i) {
    for (int j = 0; j < grid; ++j) {
      const vec3 wm = rough->sample_visible_normal(wo, (i + 0.5) / grid, (j + 0.5) / grid);
      const double c = dot(wo, wm);
      const double f = fresnel_dielectric(c, eta);
      const vec3 wr = wm * (2 * c) - wo;
      if (wr.z > 0) out.reflected += f * rough->masking_shadowing(wo, wr) / rough->masking(wo);
      if (const std::optional<vec3> wt = refract(-wo, wm, 1 / eta); wt && wt->z < 0) {
        out.transmitted += (1 - f) * rough->masking_shadowing(wo, *wt) / rough->masking(wo);
      }
    }
  }
  out.reflected /= grid * grid;
  out.transmitted /= grid * grid;
  return out;
}

// What a Lambertian base of albedo R under the coat sends out, summed over the bounces inside.
// Light enters with the coat's transmittance T(mu) from outside (which the branch choice pays)
// and reaches the base; the base's radiance leaves with T(mu_out) and, widened into the outside
// cone, at 1 / eta^2 of it; of the light coming up from the base, the coat sends back the share
// r_i (its reflectance from inside, total beyond the critical angle, averaged over the cosine-
// weighted hemisphere), which goes down to the base again. The layer between them attenuates by
// exp(-thickness / cos) on each crossing: a mean `round_trip` for the diffuse light inside, about
// exp(-thickness) for the light crossing once each way. So the albedo between the crossings is
//   R exp(-2 thickness) / (eta^2 (1 - R round_trip r_i)).
// A textured roughness takes the smooth coat's shares.
class coat_layer {
 public:
  coat_layer(double eta, double thickness, const std::optional<trowbridge_reitz>& rough) {
    for (size_t i = 0; i < transmittance_.size(); ++i) {
      const double mu = std::max(1e-3, double(i) / (transmittance_.size() - 1));
      transmittance_[i] = interface_energy(rough, eta, mu).transmitted;
    }
    const int steps = 64;  // midpoint rule over the cosine
    double reflected = 0, crossing = 0;
    for (int i = 0; i < steps; ++i) {
      const double mu = (i + 0.5) / steps;
      reflected += 2 * mu * interface_energy(rough, 1 / eta, mu).reflected / steps;
      crossing += 2 * mu * std::exp(-thickness / mu) / steps;
    }
    eta2_ = eta * eta;
    internal_reflectance_ = reflected;
    round_trip_ = crossing * crossing;
    straight_ = std::exp(-2 * thickness);
  }
  // T(mu), light crossing the coat at cosine mu outside.
  double transmittance(double mu) const {
    const double x = std::clamp(mu, 0.0, 1.0) * (transmittance_.size() - 1);
    const size_t i = std::min(size_t(x), transmittance_.size() - 2);
    return transmittance_[i] + (x - double(i)) * (transmittance_[i + 1] - transmittance_[i]);
  }
  rgb albedo(const rgb& base) const {
    auto one = [&](float r) {
      return float(r * straight_ / (eta2_ * (1 - r * round_trip_ * internal_reflectance_)));
    };
    return {one(base.r), one(base.g), one(base.b)};
  }

 private:
  std::array<double, 33> transmittance_{};
  double internal_reflectance_ = 0;  // r_i
  double round_trip_ = 1;            // mean attenuation of diffuse light down and up the layer
  double straight_ = 1;              // exp(-2 thickness)
  double eta2_ = 1;
};

std::optional<trowbridge_reitz> constant_lobe(const surface_roughness& roughness) {
  if (roughness.smooth() || !roughness.u->constant() || !roughness.v->constant()) return {};
  return roughness.lobe_at(texture_point(0, 0, {}));
}

class coated_diffuse_material final : public reflecting_material {
 public:
  coated_diffuse_material(const textured_reflectance& reflectance, float eta, float thickness,
                          surface_roughness roughness)
      : reflecting_material("coateddiffuse", reflectance),
        eta_(eta),
        layer_(eta, thickness, constant_lobe(roughness)),
        roughness_(std::move(roughness)) {}

  scattering scatter(const vec3& d, const facing_normals& n, const scatter_numbers& u,
                     const texture_point& at, bool) const override {
    scattering out;
    // The base with the share the coat lets through, the coat with the rest (what it reflects,
    // and for a rough coat what its facets mask, which its reflection weight leaves out).
    const double coat = 1 - layer_.transmittance(std::abs(n.cos_i));
    if (!(u.branch < coat)) {
      out.kind = scattering::kind_type::diffuse;
      return out;
    }
    out.kind = scattering::kind_type::specular;
    if (!roughness_.smooth()) {
      if (const std::optional<rough_reflection> r = sample_coat(d, n, u, at)) {
        // Reflected with the facet's Fresnel term.
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

  rgb diffuse_reflectance() const override { return layer_.albedo(reflectance_.constant); }
  rgb diffuse_reflectance_at(const texture_point& p) const override {
    return layer_.albedo(reflectance_.at(p));
  }
  double coat_transmittance(double cos) const override {
    return layer_.transmittance(std::abs(cos));
  }
  int numbers_used() const override { return roughness_.smooth() ? 1 : 3; }
  std::string settings() const override {
    return reflecting_material::settings() + ", eta " + qor::scene::text(eta_) +
           (roughness_.smooth() ? "" : ", " + roughness_.text());
  }

 private:
  float eta_;
  coat_layer layer_;
  surface_roughness roughness_;
};

}  // namespace

std::shared_ptr<surface_material> make_coated_diffuse(const material_context& material) {
  const std::string& type = material.entity.type;
  if (type == "coateddiffuse") {
    const textured_reflectance reflectance = material.reflectance("reflectance", 0.5f);
    const float eta = material.eta("eta", 1.5f);
    const float thickness = float(material.parameters().get_float("thickness", 0.01));
    return std::make_shared<coated_diffuse_material>(reflectance, eta, std::max(thickness, 0.0f),
                                                     material.roughness());
  }
  const textured_reflectance kd = material.reflectance("Kd", type == "substrate" ? 0.5f : 0.25f);
  float eta = 1.5f;
  if (type == "uber")
    eta = material.eta(material.parameters().find("index") ? "index" : "eta", 1.5f);
  return std::make_shared<coated_diffuse_material>(
      kd, eta, 0.01f, type == "plastic" ? material.roughness() : surface_roughness{});
}

}  // namespace engine
