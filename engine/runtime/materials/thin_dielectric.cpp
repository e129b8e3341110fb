// Material "thindielectric": a thin glass sheet of index "eta": Fresnel reflection, counting
// the light bounced inside the sheet, or straight transmission.
#include "engine/runtime/materials/material.h"
#include "engine/scene/vector_math.h"

namespace engine {

namespace {

class thin_dielectric_material final : public surface_material {
 public:
  explicit thin_dielectric_material(float eta) : surface_material("thindielectric"), eta_(eta) {}

  scattering scatter(const vec3& d, const facing_normals& n, const scatter_numbers& u,
                     const texture_point&, bool) const override {
    scattering out;
    out.kind = scattering::kind_type::specular;
    if (u.branch < fresnel_thin_dielectric(n.cos_i, eta_)) {
      out.direction = mirror(d, n);
    } else {
      out.direction = d;
      out.transmitted = true;
    }
    return out;
  }
  int numbers_used() const override { return 1; }
  std::string settings() const override { return "eta " + qor::scene::text(eta_); }

 private:
  float eta_;
};

}  // namespace

std::shared_ptr<surface_material> make_thin_dielectric(const material_context& material) {
  return std::make_shared<thin_dielectric_material>(material.eta("eta", 1.5f));
}

}  // namespace engine
