// Textures: values that vary over a surface. Each texture kind will be one file in this folder
// that defines its class and its factory, make_<kind>, and one line in texture_kinds.cpp; none is
// defined yet, so a Texture directive warns and materials keep their constant values.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "engine/runtime/vector_math.h"
#include "engine/scene/scene_description.h"

namespace engine {

class texture {
 public:
  virtual ~texture() = default;
  // The value at surface coordinates (u, v) of the world-space point p.
  virtual rgb evaluate(double u, double v, const vec3& p) const = 0;
};

// The scene's textures by the name their Texture directive gives, as materials find them.
using named_textures = std::map<std::string, std::shared_ptr<const texture>>;

// What a texture kind's factory reads: its record, the textures defined before it (a mix or a
// scale names others), and where warnings go.
struct texture_context {
  const qor::scene::texture_description& entity;
  const named_textures& textures;
  qor::scene::warning_sink& warnings;
};

using texture_factory = std::shared_ptr<const texture> (*)(const texture_context&);

// The textures of a scene, in file order; a class no file defines gives a warning and no
// texture.
named_textures create_textures(const std::vector<qor::scene::texture_description>& textures,
                               qor::scene::warning_sink& warnings);

}  // namespace engine
