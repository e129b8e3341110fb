// Material "coatedconductor": a dielectric coat (index "interface.eta", roughness
// "interface.roughness" ...) over a conductor ("conductor.eta" and "conductor.k", or
// "reflectance"; roughness "conductor.roughness" ...). The coat reflects with the Fresnel
// probability of the mean surface; otherwise the light reflects off the conductor, whose index is
// taken relative to the coat's, and leaves through the coat with its Fresnel transmittance. Like
// coateddiffuse, the coat's thickness and medium and the light bounced inside it are not
// modelled, nor is the bending of the conductor's lobe by the coat.
#include "engine/runtime/materials/material.h"
#include "engine/scene/vector_math.h"

namespace engine {

namespace {

class coated_conductor_material final : public surface_material {
 public:
  coated_conductor_material(float coat_eta, surface_roughness coat_roughness, conductor_index base,
                            surface_roughness base_roughness)
      : surface_material("coatedconductor"),
        coat_eta_(coat_eta),
        coat_roughness_(std::move(coat_roughness)),
        base_(std::move(base)),
        base_roughness_(std::move(base_roughness)) {}

  scattering scatter(const vec3& d, const facing_normals& n, const scatter_numbers& u,
                     const texture_point& at, bool) const override {
    scattering out;
    out.kind = scattering::kind_type::specular;
    const double coat = fresnel_dielectric(std::abs(n.cos_i), coat_eta_);
    const bool on_coat = u.branch < coat;
    const surface_roughness& roughness = on_coat ? coat_roughness_ : base_roughness_;
    vec3 direction;
    double cos_m, weight = 1;
    if (rough(roughness, at)) {
      out.glossy = true;
      const std::optional<rough_reflection> r =
          sample_rough_reflection(roughness.at(at), d, n, u.u1, u.u2);
      if (!r) return {};
      direction = r->direction;
      cos_m = r->cos_m;
      weight = r->weight;
    } else {
      direction = mirror(d, n);
      cos_m = std::abs(n.cos_i);
    }
    out.direction = direction;
    if (on_coat) {
      out.weight = rgb::gray(float(weight * fresnel_dielectric(cos_m, coat_eta_) / coat));
    } else {
      const double leaving =
          1 - fresnel_dielectric(std::abs(dot(direction, n.geometric)), coat_eta_);
      out.weight = base_.fresnel(cos_m, at, coat_eta_) * float(weight * leaving);
    }
    return out;
  }
  rgb glossy_reflection(const vec3& d, const facing_normals& n, const vec3& wi,
                        const texture_point& at) const override {
    rgb out;
    if (rough(coat_roughness_, at)) {
      const reflection_response r = evaluate_rough_reflection(coat_roughness_.at(at), d, n, wi);
      out += rgb::gray(float(r.value * fresnel_dielectric(r.cos_m, coat_eta_)));
    }
    if (rough(base_roughness_, at)) {
      const reflection_response r = evaluate_rough_reflection(base_roughness_.at(at), d, n, wi);
      if (r.value > 0) {
        // Into the coat and out of it again.
        const double through = (1 - fresnel_dielectric(std::abs(n.cos_i), coat_eta_)) *
                               (1 - fresnel_dielectric(std::abs(dot(wi, n.geometric)), coat_eta_));
        out += base_.fresnel(r.cos_m, at, coat_eta_) * float(r.value * through);
      }
    }
    return out;
  }
  bool glossy() const override { return !coat_roughness_.smooth() || !base_roughness_.smooth(); }
  int numbers_used() const override {
    return coat_roughness_.smooth() && base_roughness_.smooth() ? 1 : 3;
  }
  std::string settings() const override {
    return "eta " + qor::scene::text(coat_eta_) + ", coat " + coat_roughness_.text() +
           ", conductor reflectance " + base_.text() + ", conductor " + base_roughness_.text();
  }

 private:
  static bool rough(const surface_roughness& r, const texture_point& at) {
    return r.lobe_at(at).has_value();
  }

  float coat_eta_;
  surface_roughness coat_roughness_;
  conductor_index base_;
  surface_roughness base_roughness_;
};

}  // namespace

std::shared_ptr<surface_material> make_coated_conductor(const material_context& material) {
  const qor::scene::parameter_list& params = material.parameters();
  conductor_index base;
  if (params.find("reflectance")) {
    base.reflectance = material.reflectance("reflectance", 1);
  } else {
    base = read_conductor_index(material, "conductor.");
  }
  return std::make_shared<coated_conductor_material>(material.eta("interface.eta", 1.5f),
                                                     material.roughness("interface."), base,
                                                     material.roughness("conductor."));
}

}  // namespace engine
