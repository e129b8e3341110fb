// Surface materials: what a surface does to a ray that reaches it. Each material kind is one
// file in this folder that defines its class and its factory, make_<kind>, from the Material's
// parameters, and one line in material_kinds.cpp for each name a scene may give it (pbrt-v4's,
// and pbrt-v3's that map to it).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "engine/runtime/scattering.h"
#include "engine/runtime/textures/texture.h"
#include "engine/scene/scene_description.h"

namespace engine {

class surface_material {
 public:
  explicit surface_material(const char* kind) : kind_name(kind) {}
  virtual ~surface_material() = default;

  // What the surface does to a ray arriving in direction d (see scatter below), its normals
  // turned to face the ray.
  virtual scattering scatter(const vec3& d, const facing_normals& n, double u,
                             bool radiance) const = 0;
  // The albedo of the Lambertian part; black for a surface without one.
  virtual rgb diffuse_reflectance() const { return {}; }
  // True when scatter chooses with u. Camera paths draw a number only for these, so that the
  // numbers of a pixel's path keep their roles whatever else it meets.
  virtual bool chooses_branch() const { return false; }
  // An interface: rays and photons pass through it unchanged and draw no numbers there.
  virtual bool passes_through() const { return false; }
  // The values --check prints after the kind's name: "reflectance (0.5, 0.5, 0.5)".
  virtual std::string settings() const { return ""; }

  const char* kind_name;  // pbrt-v4's name of the kind ("coateddiffuse")
  std::string name;       // the MakeNamedMaterial name, empty for anonymous ones
};

// A material whose colour is one RGB reflectance (a diffuse albedo, a mirror's colour): where a
// textured reflectance will replace the constant for all of them.
class reflecting_material : public surface_material {
 public:
  reflecting_material(const char* kind, const rgb& reflectance)
      : surface_material(kind), reflectance_(reflectance) {}
  std::string settings() const override { return "reflectance " + text(reflectance_); }

 protected:
  rgb reflectance_;
};

// What a material kind's factory reads: its Material or MakeNamedMaterial record, the scene's
// named textures, and where warnings go. The readers check values and throw scene_error at the
// parameter at fault.
struct material_context {
  const qor::scene::material_description& entity;
  const named_textures& textures;
  qor::scene::warning_sink& warnings;

  const qor::scene::parameter_list& parameters() const { return entity.parameters; }
  // A reflectance in [0, 1]: rgb, a grey float, a named or sampled spectrum; `fallback` grey when
  // absent. A texture gives the fallback with a warning, until materials take textured values.
  rgb reflectance(const char* parameter, float fallback) const;
  // A positive index of refraction: a number, or a spectrum's value at the green primary (with a
  // warning for dispersion); `fallback` when absent.
  float eta(const char* parameter, float fallback) const;
  // Smooth surfaces only: warns when any of these roughness parameters is above 0.
  void warn_if_rough(std::initializer_list<const char*> parameters) const;
};

using material_factory = std::shared_ptr<surface_material> (*)(const material_context&);

// The material a Material record describes, by its kind's factory; a type no file defines gives
// a warning and diffuse grey 0.5, as a material pbrt cannot render would look to the user.
// Reports the record's parameters nobody read.
std::shared_ptr<const surface_material> create_material(const material_context& material);

// pbrt's default material, diffuse with reflectance 0.5.
std::shared_ptr<const surface_material> default_material();

// What `material` does to a ray arriving in direction d, with u choosing among its branches with
// the probability of each: Fresnel reflection against refraction (dielectric), reflection against
// transmission (thin dielectric), the coat against the base (coated diffuse). `normal` and
// `shading_normal` are the shape's own, not turned towards the ray. In `radiance` mode (camera
// paths) refraction scales by (eta_i / eta_t)^2 as pbrt-v4's radiance transport does; photons
// carry power and keep it.
inline scattering scatter(const surface_material& material, const vec3& d, const vec3& normal,
                          const vec3& shading_normal, double u, bool radiance) {
  return material.scatter(d, facing_normals(d, normal, shading_normal), u, radiance);
}

}  // namespace engine
