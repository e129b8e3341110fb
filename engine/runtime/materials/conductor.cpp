// Material "conductor": a smooth mirror reflecting "reflectance", or the normal-incidence
// Fresnel reflectance of "eta" and "k" (copper by default). pbrt-v3's "metal" and "mirror" ("Kr")
// are the same; "coatedconductor" is rendered without its coat. Roughness is not rendered.
#include "engine/runtime/materials/material.h"
#include "engine/scene/spectra.h"

namespace engine {

namespace {

// Reflects all light into the mirror direction, coloured by the reflectance.
class conductor_material final : public reflecting_material {
 public:
  explicit conductor_material(const rgb& reflectance)
      : reflecting_material("conductor", reflectance) {}

  scattering scatter(const vec3& d, const facing_normals& n, double, bool) const override {
    scattering out;
    out.kind = scattering::kind_type::specular;
    out.direction = mirror(d, n);
    out.weight = reflectance_;
    return out;
  }
};

// The reflectance of a conductor of complex index eta + i k, each given as a colour or a
// named spectrum.
rgb from_eta_and_k(const material_context& material, const char* eta_name, const char* k_name) {
  namespace sc = qor::scene;
  const sc::parameter_list& params = material.parameters();
  const auto [eta, k] = params.get_conductor_index(eta_name, k_name, "Cu", material.warnings);
  const sc::rgb r = sc::conductor_reflectance(eta, k);
  return {r[0], r[1], r[2]};
}

}  // namespace

std::shared_ptr<surface_material> make_conductor(const material_context& material) {
  const std::string& type = material.entity.type;
  const qor::scene::parameter_list& params = material.parameters();
  if (type == "mirror") {
    return std::make_shared<conductor_material>(material.reflectance("Kr", 0.9f));
  }
  if (type == "coatedconductor") {
    material.warnings.warn(material.entity.location,
                           "material \"coatedconductor\" is not supported; it is rendered as a "
                           "smooth \"conductor\" without its coat");
    const rgb reflectance = params.find("reflectance")
                                ? material.reflectance("reflectance", 1)
                                : from_eta_and_k(material, "conductor.eta", "conductor.k");
    params.mark_all_used();
    return std::make_shared<conductor_material>(reflectance);
  }
  const rgb reflectance = type == "conductor" && params.find("reflectance")
                              ? material.reflectance("reflectance", 1)
                              : from_eta_and_k(material, "eta", "k");
  material.warn_if_rough({"roughness", "uroughness", "vroughness"});
  return std::make_shared<conductor_material>(reflectance);
}

}  // namespace engine
