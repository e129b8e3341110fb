// Material "coateddiffuse": a smooth specular coat of index "eta" over a Lambertian base of
// "reflectance", the coat taken with its Fresnel probability. pbrt-v3's "plastic", "substrate"
// and "uber" ("Kd") are rendered as it. Roughness is not rendered.
#include "engine/runtime/materials/material.h"
#include "engine/scene/vector_math.h"

namespace engine {

namespace {

class coated_diffuse_material final : public reflecting_material {
 public:
  coated_diffuse_material(const rgb& reflectance, float eta)
      : reflecting_material("coateddiffuse", reflectance), eta_(eta) {}

  scattering scatter(const vec3& d, const facing_normals& n, double u, bool) const override {
    scattering out;
    if (u < fresnel_dielectric(std::abs(n.cos_i), eta_)) {
      out.kind = scattering::kind_type::specular;
      out.direction = mirror(d, n);
    } else {
      out.kind = scattering::kind_type::diffuse;
    }
    return out;
  }
  rgb diffuse_reflectance() const override { return reflectance_; }
  bool chooses_branch() const override { return true; }
  std::string settings() const override {
    return reflecting_material::settings() + ", eta " + qor::scene::text(eta_);
  }

 private:
  float eta_;
};

}  // namespace

std::shared_ptr<surface_material> make_coated_diffuse(const material_context& material) {
  const std::string& type = material.entity.type;
  if (type == "coateddiffuse") {
    const rgb reflectance = material.reflectance("reflectance", 0.5f);
    const float eta = material.eta("eta", 1.5f);
    material.warn_if_rough({"roughness", "uroughness", "vroughness"});
    return std::make_shared<coated_diffuse_material>(reflectance, eta);
  }
  const rgb kd = material.reflectance("Kd", type == "substrate" ? 0.5f : 0.25f);
  float eta = 1.5f;
  if (type == "uber")
    eta = material.eta(material.parameters().find("index") ? "index" : "eta", 1.5f);
  if (type == "plastic") material.warn_if_rough({"roughness"});
  return std::make_shared<coated_diffuse_material>(kd, eta);
}

}  // namespace engine
