// Material "diffuse": Lambertian reflection of "reflectance". pbrt-v3's "matte" ("Kd") is the
// same; "diffusetransmission" is rendered without its transmission.
#include "engine/runtime/materials/material.h"

namespace engine {

namespace {

class diffuse_material final : public reflecting_material {
 public:
  explicit diffuse_material(const textured_reflectance& albedo)
      : reflecting_material("diffuse", albedo) {}

  scattering scatter(const vec3&, const facing_normals&, const scatter_numbers&,
                     const texture_point&, bool) const override {
    scattering out;
    out.kind = scattering::kind_type::diffuse;
    return out;
  }
  rgb diffuse_reflectance() const override { return reflectance_.constant; }
  rgb diffuse_reflectance_at(const texture_point& p) const override { return reflectance_.at(p); }
};

}  // namespace

std::shared_ptr<surface_material> make_diffuse(const material_context& material) {
  const std::string& type = material.entity.type;
  const qor::scene::parameter_list& params = material.parameters();
  if (type == "matte") {
    const textured_reflectance kd = material.reflectance("Kd", 0.5f);
    if (params.find("sigma") && params.get_float("sigma", 0) != 0) {
      material.warnings.warn(material.entity.location,
                             "Oren-Nayar roughness (\"sigma\") is not supported; \"matte\" is "
                             "rendered Lambertian");
    }
    return std::make_shared<diffuse_material>(kd);
  }
  if (type == "diffusetransmission") {
    material.warnings.warn(material.entity.location,
                           "material \"diffusetransmission\" is not supported; it is rendered as "
                           "\"diffuse\" without transmission");
    const textured_reflectance reflectance = material.reflectance("reflectance", 0.25f);
    params.mark_all_used();
    return std::make_shared<diffuse_material>(reflectance);
  }
  return std::make_shared<diffuse_material>(material.reflectance("reflectance", 0.5f));
}

}  // namespace engine
