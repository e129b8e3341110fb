#include <string_view>

#include "engine/runtime/materials/material.h"
#include "engine/scene/kind_list.h"
#include "engine/scene/parse_scene.h"
#include "engine/scene/spectra.h"
#include "engine/scene/vector_math.h"

// Every name a Material may give, and the kind whose file defines make_<kind> for it: pbrt-v4's
// names, then pbrt-v3's and the types rendered as the nearest kind (the factory says so).
#define QOR_MATERIAL_KINDS(X)          \
  X("diffuse", diffuse)                \
  X("dielectric", dielectric)          \
  X("thindielectric", thin_dielectric) \
  X("conductor", conductor)            \
  X("coateddiffuse", coated_diffuse)   \
  X("interface", interface)            \
  X("none", interface)                 \
  X("", interface)                     \
  X("matte", diffuse)                  \
  X("diffusetransmission", diffuse)    \
  X("glass", dielectric)               \
  X("mirror", conductor)               \
  X("metal", conductor)                \
  X("coatedconductor", conductor)      \
  X("plastic", coated_diffuse)         \
  X("substrate", coated_diffuse)       \
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

rgb material_context::reflectance(const char* parameter, float fallback) const {
  const sc::rgb c = parameters()
                        .get_rgb(parameter, sc::spectrum_use::reflectance, warnings)
                        .value_or(sc::rgb{fallback, fallback, fallback});
  return {c[0], c[1], c[2]};
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

void material_context::warn_if_rough(std::initializer_list<const char*> names) const {
  const sc::parameter_list& params = parameters();
  bool rough = false;
  for (const char* name : names) {
    if (const sc::parameter* p = params.find(name)) {
      rough |= p->type == sc::parameter_type::texture || params.get_float(name, 0) > 0;
    }
  }
  params.find("remaproughness");
  if (rough) {
    warnings.warn(entity.location, "rough surfaces are not supported: material \"" + entity.type +
                                       "\" is rendered smooth");
  }
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
