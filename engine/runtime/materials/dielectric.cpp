// Material "dielectric": smooth glass of index "eta", Fresnel reflection or refraction. pbrt-v3's
// "glass" ("index") is the same. Roughness is not rendered.
#include "engine/runtime/materials/material.h"
#include "engine/scene/vector_math.h"

namespace engine {

namespace {

class dielectric_material final : public surface_material {
 public:
  explicit dielectric_material(float eta) : surface_material("dielectric"), eta_(eta) {}

  scattering scatter(const vec3& d, const facing_normals& n, double u,
                     bool radiance) const override {
    scattering out;
    out.kind = scattering::kind_type::specular;
    if (u < fresnel_dielectric(n.cos_i, eta_)) {
      out.direction = mirror(d, n);
      out.medium_ior = n.cos_i >= 0 ? 1.0f : eta_;
      return out;
    }
    const double eta_ratio = n.cos_i >= 0 ? 1 / double(eta_) : double(eta_);
    std::optional<vec3> t = refract(d, n.shading, eta_ratio);
    if (!t || dot(*t, n.geometric) >= 0) t = refract(d, n.geometric, eta_ratio);
    if (!t) {  // total internal reflection (the Fresnel term is 1 then; reached only by rounding)
      out.direction = mirror(d, n);
      return out;
    }
    out.direction = *t;
    out.transmitted = true;
    out.medium_ior = n.cos_i >= 0 ? eta_ : 1.0f;
    if (radiance) out.weight = rgb::gray(float(eta_ratio * eta_ratio));
    return out;
  }
  bool chooses_branch() const override { return true; }
  std::string settings() const override { return "eta " + qor::scene::text(eta_); }

 private:
  float eta_;  // inside over outside
};

}  // namespace

std::shared_ptr<surface_material> make_dielectric(const material_context& material) {
  const float eta =
      material.parameters().find("index") ? material.eta("index", 1.5f) : material.eta("eta", 1.5f);
  material.warn_if_rough({"roughness", "uroughness", "vroughness"});
  return std::make_shared<dielectric_material>(eta);
}

}  // namespace engine
