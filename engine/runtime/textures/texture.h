// Textures: values that vary over a surface. Each texture kind is one file in this folder that
// defines its class and its factory, make_<kind>, and one line in texture_kinds.cpp.
#pragma once

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "engine/runtime/traceable_scene.h"
#include "engine/runtime/vector_math.h"
#include "engine/scene/scene_description.h"

namespace engine {

// A surface point as textures see it. The (u, v) of pbrt-v4's shapes is worked out only when a
// texture asks for it: most hits are on untextured materials, and a sphere's (u, v) costs an
// atan2 and an acos. Not thread-safe; one lives for one shading query.
class texture_point {
 public:
  // `barycentrics` are the hit's (b1, b2) on a triangle; a sphere ignores them.
  texture_point(const traceable_scene& scene, const surface_id& id, double b1, double b2,
                const vec3& world_position)
      : scene_(&scene), id_(id), b1_(b1), b2_(b2), position(world_position) {}
  // A point with known surface coordinates (tests, constant lookups).
  texture_point(double u, double v, const vec3& world_position)
      : uv_(std::array<double, 2>{u, v}), position(world_position) {}

  std::array<double, 2> uv() const;

 private:
  const traceable_scene* scene_ = nullptr;
  surface_id id_;
  double b1_ = 0, b2_ = 0;
  mutable std::optional<std::array<double, 2>> uv_;

 public:
  vec3 position;  // world space
};

class texture {
 public:
  virtual ~texture() = default;
  // The value at a surface point; a float texture gives grey.
  virtual rgb evaluate(const texture_point& at) const = 0;
  // True when the value does not depend on the point (a constant given in place of a texture).
  virtual bool constant() const { return false; }
};

// A value given as a number, a colour or a texture's name: what a material or a texture reads
// for each of its textured parameters.
using texture_ref = std::shared_ptr<const texture>;
texture_ref constant_texture(const rgb& value);

// The scene's textures by the name their Texture directive gives; pbrt-v4 keeps float and
// spectrum textures apart, so one name may denote one of each.
struct named_textures {
  std::map<std::string, texture_ref> floats;
  std::map<std::string, texture_ref> spectra;
  std::set<std::string> unsupported;  // of a class no file defines: warned about where used
};

enum class texture_value { float_, spectrum };

// Reads the parameter `name` of `params` as a textured value of the given type: "texture name"
// (a texture defined earlier), or a literal float (grey), rgb, blackbody or spectrum. nullopt
// when absent, and with a warning when it names a texture of an unsupported class. A name no
// texture has is an error at the parameter.
std::optional<texture_ref> read_texture_parameter(const qor::scene::parameter_list& params,
                                                  const std::string& name, texture_value type,
                                                  qor::scene::spectrum_use use,
                                                  const named_textures& textures,
                                                  qor::scene::warning_sink& warnings);

// What a texture kind's factory reads: its record, the textures defined before it (a mix or a
// scale names others), and where warnings go.
struct texture_context {
  const qor::scene::texture_description& entity;
  const named_textures& textures;
  qor::scene::warning_sink& warnings;

  texture_value value_type() const {
    return entity.value_type == "float" ? texture_value::float_ : texture_value::spectrum;
  }
  // A textured parameter of the texture's own value type (pbrt-v4's "tex1", "scale", ...);
  // `fallback` grey when absent.
  texture_ref input(const std::string& name, float fallback) const;
  // A float parameter that may be textured ("amount", "scale").
  texture_ref float_input(const std::string& name, float fallback) const;
};

// pbrt-v4's (s, t) of the "uv" mapping: (uscale u + udelta, vscale v + vdelta). Other mappings
// are warned about and read as "uv".
struct uv_mapping {
  double su = 1, sv = 1, du = 0, dv = 0;
  static uv_mapping read(const texture_context& texture);
  std::array<double, 2> map(const texture_point& at) const {
    const std::array<double, 2> uv = at.uv();
    return {su * uv[0] + du, sv * uv[1] + dv};
  }
};

using texture_factory = texture_ref (*)(const texture_context&);

// The textures of a scene, in file order; a class no file defines gives a warning and no
// texture.
named_textures create_textures(const std::vector<qor::scene::texture_description>& textures,
                               qor::scene::warning_sink& warnings);

}  // namespace engine
