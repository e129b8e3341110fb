#include <vector>

#include "engine/runtime/textures/texture.h"
#include "engine/scene/kind_list.h"
#include "engine/scene/parse_scene.h"

// Every texture kind: the class a Texture directive names, and the file that defines
// make_<kind>.
#define QOR_TEXTURE_KINDS(X)      \
  X("constant", constant)         \
  X("scale", scale)               \
  X("mix", mix)                   \
  X("checkerboard", checkerboard) \
  X("imagemap", imagemap)

namespace engine {

#define QOR_DECLARE(name, kind) texture_ref make_##kind(const texture_context&);
QOR_TEXTURE_KINDS(QOR_DECLARE)
#undef QOR_DECLARE

namespace {

namespace sc = qor::scene;

const std::vector<sc::named_kind<texture_factory>> kinds{
#define QOR_ENTRY(name, kind) {name, make_##kind},
    QOR_TEXTURE_KINDS(QOR_ENTRY)
#undef QOR_ENTRY
};

class constant_value final : public texture {
 public:
  explicit constant_value(const rgb& value) : value_(value) {}
  rgb evaluate(const texture_point&) const override { return value_; }
  bool constant() const override { return true; }

 private:
  rgb value_;
};

}  // namespace

texture_ref constant_texture(const rgb& value) {
  return std::make_shared<constant_value>(value);
}

std::optional<texture_ref> read_texture_parameter(const sc::parameter_list& params,
                                                  const std::string& name, texture_value type,
                                                  sc::spectrum_use use,
                                                  const named_textures& textures,
                                                  sc::warning_sink& warnings) {
  const sc::parameter* p = params.find(name);
  if (!p) return std::nullopt;
  if (p->type == sc::parameter_type::texture) {
    p->used = true;
    if (p->strings.size() != 1) {
      throw sc::scene_error(p->location, "expected one texture name for " + p->declaration() +
                                             ", found " + std::to_string(p->strings.size()));
    }
    if (textures.unsupported.count(p->strings[0]) != 0) {
      warnings.warn(p->location, "texture \"" + p->strings[0] + "\" is not supported: " +
                                     p->declaration() + " takes its default");
      return std::nullopt;
    }
    const auto& known = type == texture_value::float_ ? textures.floats : textures.spectra;
    const auto found = known.find(p->strings[0]);
    if (found == known.end()) {
      throw sc::scene_error(p->value_location(0),
                            std::string("expected the name of a ") +
                                (type == texture_value::float_ ? "float" : "spectrum") +
                                " texture defined before it for " + p->declaration() +
                                ", found \"" + p->strings[0] + "\"");
    }
    return found->second;
  }
  if (type == texture_value::float_) {
    const float value = float(params.get_float(name, 0));
    return constant_texture(rgb::gray(value));
  }
  const std::optional<sc::rgb> c = params.get_rgb(name, use, warnings);
  if (!c) return std::nullopt;
  return constant_texture({(*c)[0], (*c)[1], (*c)[2]});
}

texture_ref texture_context::input(const std::string& name, float fallback) const {
  return read_texture_parameter(entity.parameters, name, value_type(), sc::spectrum_use::unbounded,
                                textures, warnings)
      .value_or(constant_texture(rgb::gray(fallback)));
}

texture_ref texture_context::float_input(const std::string& name, float fallback) const {
  return read_texture_parameter(entity.parameters, name, texture_value::float_,
                                sc::spectrum_use::unbounded, textures, warnings)
      .value_or(constant_texture(rgb::gray(fallback)));
}

uv_mapping uv_mapping::read(const texture_context& texture) {
  const sc::parameter_list& params = texture.entity.parameters;
  const std::string mapping = params.get_string("mapping", "uv");
  if (mapping != "uv") {
    texture.warnings.warn(params.find("mapping")->location,
                          "texture mapping \"" + mapping + "\" is not supported; texture \"" +
                              texture.entity.name + "\" uses the surface's (u, v)");
  }
  return {params.get_float("uscale", 1), params.get_float("vscale", 1),
          params.get_float("udelta", 0), params.get_float("vdelta", 0)};
}

named_textures create_textures(const std::vector<sc::texture_description>& textures,
                               sc::warning_sink& warnings) {
  named_textures out;
  for (const sc::texture_description& t : textures) {
    const texture_factory make = sc::find_kind(kinds, t.type);
    if (make == nullptr) {
      warnings.warn(t.location, "texture class \"" + t.type + "\" is not supported (supported: " +
                                    sc::kind_names(kinds) + "); texture \"" + t.name +
                                    "\" is ignored and materials that use it get their constant "
                                    "default");
      t.parameters.mark_all_used();
      out.unsupported.insert(t.name);
      continue;
    }
    if (t.value_type != "float" && t.value_type != "spectrum") {
      throw sc::scene_error(t.location,
                            "expected \"float\" or \"spectrum\" as the type of "
                            "texture \"" +
                                t.name + "\", found \"" + t.value_type + "\"");
    }
    auto& named = t.value_type == "float" ? out.floats : out.spectra;
    named[t.name] = make({t, out, warnings});
    t.parameters.report_unused(warnings, "Texture \"" + t.name + "\"");
  }
  return out;
}

}  // namespace engine
