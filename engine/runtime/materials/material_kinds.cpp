#include <string_view>

#include "engine/runtime/materials/material.h"
#include "engine/scene/kind_list.h"
#include "engine/scene/parse_scene.h"
#include "engine/scene/spectra.h"
#include "engine/scene/vector_math.h"

// Every name a Material may give, and the kind whose file defines make_<kind> for it: pbrt-v4's
// names, then pbrt-v3's and the types rendered as the nearest kind (the factory says so).
#define QOR_MATERIAL_KINDS(X)            \
  X("diffuse", diffuse)                  \
  X("dielectric", dielectric)            \
  X("thindielectric", thin_dielectric)   \
  X("conductor", conductor)              \
  X("coateddiffuse", coated_diffuse)     \
  X("interface", interface)              \
  X("none", interface)                   \
  X("", interface)                       \
  X("matte", diffuse)                    \
  X("diffusetransmission", diffuse)      \
  X("glass", dielectric)                 \
  X("mirror", conductor)                 \
  X("metal", conductor)                  \
  X("coatedconductor", coated_conductor) \
  X("plastic", coated_diffuse)           \
  X("substrate", coated_diffuse)         \
  X("uber", coated_diffuse)

namespace engine {

#define QOR_DECLARE(name, kind) \
  std::shared_ptr<surface_material> make_##kind(const material_context&);
QOR_MATERIAL_KINDS(QOR_DECLARE)
#undef QOR_DECLARE

namespace {

namespace sc = qor::scene;

constexpr sc::named_kind<material_factory> kinds[] = {
#define QOR_ENTRY(name, kind) {name, make_##kind},
    QOR_MATERIAL_KINDS(QOR_ENTRY)
#undef QOR_ENTRY
};

}  // namespace

textured_reflectance material_context::reflectance(const char* parameter, float fallback) const {
  const std::optional<texture_ref> t =
      read_texture_parameter(parameters(), parameter, texture_value::spectrum,
                             sc::spectrum_use::reflectance, textures, warnings);
  if (!t) return {rgb::gray(fallback), nullptr};
  const texture_point anywhere(0, 0, {});
  const rgb c = (*t)->evaluate(anywhere);
  if ((*t)->constant()) return {c, nullptr};
  return {rgb::gray(fallback), *t};
}

surface_roughness material_context::roughness(const std::string& prefix) const {
  const sc::parameter_list& params = parameters();
  auto read = [&](const std::string& name) {
    return read_texture_parameter(params, prefix + name, texture_value::float_,
                                  sc::spectrum_use::unbounded, textures, warnings);
  };
  const std::optional<texture_ref> both = read("roughness");
  std::optional<texture_ref> u = read("uroughness"), v = read("vroughness");
  if (!u) u = both;
  if (!v) v = both;
  surface_roughness out;
  out.remap = params.get_bool("remaproughness", true);
  const texture_point anywhere(0, 0, {});
  auto zero = [&](const std::optional<texture_ref>& t) {
    return !t || ((*t)->constant() && !((*t)->evaluate(anywhere).r > 0));
  };
  if (zero(u) && zero(v)) return out;
  out.u = u ? *u : constant_texture({});
  out.v = v ? *v : constant_texture({});
  return out;
}

trowbridge_reitz surface_roughness::at(const texture_point& p) const {
  double ru = std::max(0.0f, u->evaluate(p).r), rv = std::max(0.0f, v->evaluate(p).r);
  // pbrt-v4's RoughnessToAlpha.
  if (remap) {
    ru = std::sqrt(ru);
    rv = std::sqrt(rv);
  }
  return {ru, rv};
}

std::string surface_roughness::text() const {
  if (smooth()) return "smooth";
  if (!u->constant() || !v->constant()) return "roughness (texture)";
  const trowbridge_reitz alpha = at(texture_point(0, 0, {}));
  if (alpha.alpha_x() == alpha.alpha_y()) return "alpha " + sc::text(alpha.alpha_x());
  return "alpha " + sc::text(alpha.alpha_x()) + " x " + sc::text(alpha.alpha_y());
}

float material_context::eta(const char* name, float fallback) const {
  const sc::parameter_list& params = parameters();
  const sc::parameter* p = params.find(name);
  if (!p) return fallback;
  params.check_type(*p, {sc::parameter_type::float_, sc::parameter_type::integer,
                         sc::parameter_type::spectrum, sc::parameter_type::texture});
  double eta = fallback;
  if (p->type == sc::parameter_type::texture) {
    warnings.warn(p->location, "textures are not supported: " + p->declaration() +
                                   " is ignored and the default index is used");
    return fallback;
  }
  if (p->type == sc::parameter_type::spectrum) {
    std::optional<sc::rgb> c = params.get_rgb(name, sc::spectrum_use::unbounded, warnings);
    if (!c) return fallback;
    eta = (*c)[1];
    if (p->strings.empty()) {
      warnings.warn(p->location, "dispersion is not supported: " + p->declaration() +
                                     " is rendered with the single index " + sc::text(eta));
    }
  } else {
    eta = params.get_float(name, fallback);
  }
  if (!(eta > 0)) {
    throw sc::scene_error(p->value_location(0), "expected a positive index of refraction for " +
                                                    p->declaration() + ", found " + sc::text(eta));
  }
  return float(eta);
}

std::shared_ptr<const surface_material> create_material(const material_context& material) {
  const sc::material_description& entity = material.entity;
  const material_factory make = sc::find_kind(kinds, entity.type);
  std::shared_ptr<surface_material> out;
  if (make != nullptr) {
    out = make(material);
  } else {
    material.warnings.warn(entity.location,
                           "material \"" + entity.type +
                               "\" is not supported (supported: " + sc::kind_names(kinds) +
                               "); it is rendered as \"diffuse\" with "
                               "reflectance 0.5");
    entity.parameters.mark_all_used();
    const sc::material_description grey{{"diffuse", {}, entity.location}, entity.name};
    out = make_diffuse({grey, material.textures, material.warnings});
  }
  out->name = entity.name;
  entity.parameters.find("type");  // MakeNamedMaterial's own
  entity.parameters.report_unused(material.warnings, "material \"" + entity.type + "\"");
  return out;
}

std::shared_ptr<const surface_material> default_material() {
  static const sc::material_description diffuse{{"diffuse", {}, {}}, ""};
  static const named_textures none;
  sc::warning_sink warnings;
  return make_diffuse({diffuse, none, warnings});
}

}  // namespace engine
