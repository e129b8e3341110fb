// Material "conductor": a metal of complex index "eta" + i "k" (copper by default) reflecting
// with its Fresnel term, or reflecting "reflectance" at every angle (pbrt-v4 derives an index
// from it, whose Fresnel term rises above it near grazing only); smooth, or rough
// ("roughness", "uroughness", "vroughness") as a Trowbridge-Reitz surface sampled through its
// visible normals. pbrt-v3's "metal" and "mirror" ("Kr") are the same.
#include <numbers>

#include "engine/runtime/materials/material.h"
#include "engine/scene/spectra.h"

namespace engine {

namespace {

class conductor_material final : public surface_material {
 public:
  conductor_material(conductor_index index, surface_roughness roughness)
      : surface_material("conductor"), index_(std::move(index)), roughness_(std::move(roughness)) {}

  scattering scatter(const vec3& d, const facing_normals& n, const scatter_numbers& u,
                     const texture_point& at, bool) const override {
    scattering out;
    double cos_m = std::abs(dot(d, n.shading));
    if (!roughness_.smooth()) {
      const trowbridge_reitz distribution = roughness_.at(at);
      if (!distribution.effectively_smooth()) {
        const std::optional<rough_reflection> r =
            sample_rough_reflection(distribution, d, n, u.u1, u.u2);
        if (!r) return out;
        out.kind = scattering::kind_type::specular;
        out.direction = r->direction;
        out.weight = reflectance(r->cos_m, at) * float(r->weight);
        out.glossy = true;
        return out;
      }
    }
    out.kind = scattering::kind_type::specular;
    out.direction = mirror(d, n);
    out.weight = reflectance(cos_m, at);
    return out;
  }
  rgb glossy_reflection(const vec3& d, const facing_normals& n, const vec3& wi,
                        const texture_point& at) const override {
    const std::optional<trowbridge_reitz> lobe = roughness_.lobe_at(at);
    if (!lobe) return {};
    const trowbridge_reitz& distribution = *lobe;
    const reflection_response r = evaluate_rough_reflection(distribution, d, n, wi);
    if (!(r.value > 0)) return {};
    return reflectance(r.cos_m, at) * float(r.value);
  }
  bool glossy() const override { return !roughness_.smooth(); }
  int numbers_used() const override { return roughness_.smooth() ? 0 : 3; }
  std::string settings() const override {
    return "reflectance " + index_.text() + (roughness_.smooth() ? "" : ", " + roughness_.text());
  }

 private:
  rgb reflectance(double cos_i, const texture_point& at) const {
    return index_.reflectance ? index_.reflectance->at(at) : index_.fresnel(cos_i, at);
  }

  conductor_index index_;
  surface_roughness roughness_;
};

// The complex index that reflects r at normal incidence with eta = 1, as pbrt-v4 sets it.
rgb k_of_reflectance(const rgb& r) {
  auto k = [](float v) {
    return float(2 * std::sqrt(double(v)) / std::sqrt(std::clamp(1.0 - v, 1e-6, 1.0)));
  };
  return {k(r.r), k(r.g), k(r.b)};
}

}  // namespace

rgb conductor_index::fresnel(double cos_i, const texture_point& at, float outside) const {
  if (!by_cosine.empty() && outside == table_outside) {
    const double x = std::clamp(cos_i, 0.0, 1.0) * double(by_cosine.size() - 1);
    const size_t i = std::min(size_t(x), by_cosine.size() - 2);
    const float t = float(x - double(i));
    return by_cosine[i] * (1 - t) + by_cosine[i + 1] * t;
  }
  if (reflectance)
    return fresnel_conductor(cos_i, rgb::gray(1 / outside),
                             k_of_reflectance(reflectance->at(at)) * (1 / outside));
  return fresnel_conductor(cos_i, eta * (1 / outside), k * (1 / outside));
}

std::string conductor_index::text() const {
  if (reflectance) return reflectance->text();
  if (!by_cosine.empty() && table_outside == 1) return engine::text(by_cosine.back());
  return engine::text(fresnel_conductor(1, eta, k));
}

conductor_index read_conductor_index(const material_context& material, const std::string& prefix,
                                     float outside) {
  namespace sc = qor::scene;
  const sc::parameter_list& params = material.parameters();
  conductor_index out;
  if (params.find(prefix + "reflectance")) {
    out.reflectance = material.reflectance((prefix + "reflectance").c_str(), 1);
    params.find(prefix + "eta");
    params.find(prefix + "k");
    return out;
  }
  // A spectral eta and k become the RGB pair whose Fresnel reflectance is the spectral one's
  // colour; copper when neither is given.
  const sc::parameter_list::conductor_spectra index =
      params.get_conductor_index(prefix + "eta", prefix + "k", "Cu", material.warnings);
  out.eta = {index.eta[0], index.eta[1], index.eta[2]};
  out.k = {index.k[0], index.k[1], index.k[2]};
  if (!index.eta_pairs.empty()) {
    // 64 cosines keep the linear interpolation within 0.2 % of the spectral term.
    for (const sc::rgb& c :
         sc::conductor_reflectance_by_cosine(index.eta_pairs, index.k_pairs, outside, 64))
      out.by_cosine.push_back({c[0], c[1], c[2]});
    out.table_outside = outside;
  }
  return out;
}

std::shared_ptr<surface_material> make_conductor(const material_context& material) {
  if (material.entity.type == "mirror") {
    conductor_index kr;
    kr.reflectance = material.reflectance("Kr", 0.9f);
    return std::make_shared<conductor_material>(kr, surface_roughness{});
  }
  return std::make_shared<conductor_material>(read_conductor_index(material, ""),
                                              material.roughness());
}

}  // namespace engine
