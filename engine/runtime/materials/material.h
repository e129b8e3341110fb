// Surface materials: what a surface does to a ray that reaches it. Each material kind is one
// file in this folder that defines its class and its factory, make_<kind>, from the Material's
// parameters, and one line in material_kinds.cpp for each name a scene may give it (pbrt-v4's,
// and pbrt-v3's that map to it).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/runtime/microfacet.h"
#include "engine/runtime/scattering.h"
#include "engine/runtime/textures/texture.h"
#include "engine/scene/scene_description.h"

namespace engine {

// The numbers a material draws on: `branch` chooses among its branches (Fresnel, coat), `u1` and
// `u2` sample a rough lobe's microfacet normal. Photon paths give the first scattering event's
// numbers 4, 6 and 7 (5 is the diffuse branch's Russian roulette); camera paths draw them only
// for materials that use them (numbers_used). A material that needs more (coatedconductor's walk
// inside its coat) draws them from a generator seeded by these three, so that its scattering
// stays a function of them.
struct scatter_numbers {
  double branch = 0.5, u1 = 0.5, u2 = 0.5;
};

class surface_material {
 public:
  explicit surface_material(const char* kind) : kind_name(kind) {}
  virtual ~surface_material() = default;

  // What the surface does to a ray arriving in direction d (see scatter below), its normals
  // turned to face the ray; `at` is where, for textured values.
  virtual scattering scatter(const vec3& d, const facing_normals& n, const scatter_numbers& u,
                             const texture_point& at, bool radiance) const = 0;
  // For direct lighting of the rough lobes: f(wo, wi) |cos(wi)| for light arriving from the unit
  // direction wi at a ray arriving in direction d, summed over the lobes that scatter marks
  // glossy; black for surfaces without one (smooth, diffuse).
  virtual rgb glossy_reflection(const vec3& /*d*/, const facing_normals& /*n*/, const vec3& /*wi*/,
                                const texture_point& /*at*/) const {
    return {};
  }
  // True when the material has a rough lobe somewhere (glossy_reflection may be non-zero).
  virtual bool glossy() const { return false; }
  // The albedo of the Lambertian part at a point; black for a surface without one.
  virtual rgb diffuse_reflectance_at(const texture_point&) const { return diffuse_reflectance(); }
  // The same where no point is known (--check, a texture's value at its constant default).
  virtual rgb diffuse_reflectance() const { return {}; }
  // The share of light that crosses the coat over the Lambertian part, into it or out of it,
  // along a direction at cosine cos to the normal: 1 for a bare surface. diffuse_reflectance_at
  // is the albedo between the two crossings. A photon leaving a diffuse bounce and direct light
  // from a light pay it here; scatter's branch probability makes camera paths and arriving
  // photons pay it.
  virtual double coat_transmittance(double /*cos*/) const { return 1; }
  // How many of scatter_numbers a camera path draws here: 0, 1 (branch) or 3 (all). Camera paths
  // draw only these, so that the numbers of a pixel's path keep their roles whatever else it
  // meets.
  virtual int numbers_used() const { return 0; }
  // An interface: rays and photons pass through it unchanged and draw no numbers there.
  virtual bool passes_through() const { return false; }
  // The values --check prints after the kind's name: "reflectance (0.5, 0.5, 0.5)".
  virtual std::string settings() const { return ""; }

  const char* kind_name;  // pbrt-v4's name of the kind ("coateddiffuse")
  std::string name;       // the MakeNamedMaterial name, empty for anonymous ones
};

// A reflectance that is a constant or a texture, clamped to [0, 1] as pbrt-v4 clamps albedos.
struct textured_reflectance {
  rgb constant;
  texture_ref varying;  // null for a constant

  rgb at(const texture_point& p) const {
    if (!varying) return constant;
    const rgb c = varying->evaluate(p);
    return {std::clamp(c.r, 0.0f, 1.0f), std::clamp(c.g, 0.0f, 1.0f), std::clamp(c.b, 0.0f, 1.0f)};
  }
  std::string text() const { return varying ? std::string("(texture)") : engine::text(constant); }
};

// A material whose colour is one RGB reflectance (a diffuse albedo, a mirror's colour), constant
// or textured.
class reflecting_material : public surface_material {
 public:
  reflecting_material(const char* kind, const textured_reflectance& reflectance)
      : surface_material(kind), reflectance_(reflectance) {}
  std::string settings() const override { return "reflectance " + reflectance_.text(); }

 protected:
  textured_reflectance reflectance_;
};

// The Trowbridge-Reitz roughness of a surface as pbrt-v4 reads it: "roughness", or "uroughness"
// and "vroughness" along the surface's two tangents, each a float or a float texture, remapped
// to alpha = sqrt(roughness) unless "remaproughness" is false.
struct surface_roughness {
  texture_ref u, v;  // null: smooth
  bool remap = true;

  bool smooth() const { return !u; }
  trowbridge_reitz at(const texture_point& p) const;
  // The lobe at p; none where the surface is smooth or its roughness there makes it a mirror.
  std::optional<trowbridge_reitz> lobe_at(const texture_point& p) const {
    if (smooth()) return std::nullopt;
    const trowbridge_reitz lobe = at(p);
    if (lobe.effectively_smooth()) return std::nullopt;
    return lobe;
  }
  std::string text() const;
};

// A conductor's complex index of refraction eta + i k, or the reflectance pbrt-v4 derives one
// from (eta 1, k = 2 sqrt(r) / sqrt(1 - r)); defined in conductor.cpp.
struct conductor_index {
  rgb eta, k;
  std::optional<textured_reflectance> reflectance;
  // For eta and k given as spectra: the colour of the spectral Fresnel term at evenly spaced
  // cosines from 0 to 1, seen from a medium of index table_outside, which fresnel interpolates
  // linearly (the RGB pair eta, k is right at normal incidence only). Empty otherwise.
  std::vector<rgb> by_cosine;
  float table_outside = 1;
  // Fresnel reflectance at incidence cosine cos_i from a medium of index `outside`.
  rgb fresnel(double cos_i, const texture_point& at, float outside = 1) const;
  // At normal incidence from air, for --check.
  std::string text() const;
};

struct material_context;
// "<prefix>reflectance" when given (textured or not), else "<prefix>eta" and "<prefix>k"
// (copper by default), its table of angles made for light arriving from a medium of index
// `outside`.
conductor_index read_conductor_index(const material_context& material, const std::string& prefix,
                                     float outside = 1);

// What a material kind's factory reads: its Material or MakeNamedMaterial record, the scene's
// named textures, and where warnings go. The readers check values and throw scene_error at the
// parameter at fault.
struct material_context {
  const qor::scene::material_description& entity;
  const named_textures& textures;
  qor::scene::warning_sink& warnings;

  const qor::scene::parameter_list& parameters() const { return entity.parameters; }
  // A reflectance in [0, 1]: rgb, a grey float, a named or sampled spectrum, or a spectrum
  // texture; `fallback` grey when absent.
  textured_reflectance reflectance(const char* parameter, float fallback) const;
  // The roughness of the parameters "<prefix>roughness", "<prefix>uroughness",
  // "<prefix>vroughness" and "remaproughness"; smooth when all are absent or 0.
  surface_roughness roughness(const std::string& prefix = "") const;
  // A positive index of refraction: a number, or a spectrum's value at the green primary (with a
  // warning for dispersion); `fallback` when absent.
  float eta(const char* parameter, float fallback) const;
};

using material_factory = std::shared_ptr<surface_material> (*)(const material_context&);

// The material a Material record describes, by its kind's factory; a type no file defines gives
// a warning and diffuse grey 0.5, as a material pbrt cannot render would look to the user.
// Reports the record's parameters nobody read.
std::shared_ptr<const surface_material> create_material(const material_context& material);

// pbrt's default material, diffuse with reflectance 0.5.
std::shared_ptr<const surface_material> default_material();

// What `material` does to a ray arriving in direction d, with u.branch choosing among its branches
// with the probability of each: Fresnel reflection against refraction (dielectric), reflection
// against transmission (thin dielectric), the coat against the base (coated diffuse). `normal` and
// `shading_normal` are the shape's own, not turned towards the ray. In `radiance` mode (camera
// paths) refraction scales by (eta_i / eta_t)^2 as pbrt-v4's radiance transport does; photons
// carry power and keep it.
inline scattering scatter(const surface_material& material, const vec3& d, const vec3& normal,
                          const vec3& shading_normal, const scatter_numbers& u,
                          const texture_point& at, bool radiance) {
  return material.scatter(d, facing_normals(d, normal, shading_normal), u, at, radiance);
}

}  // namespace engine
