// Texture "constant": "value" everywhere.
#include "engine/runtime/textures/texture.h"

namespace engine {

texture_ref make_constant(const texture_context& texture) {
  return texture.input("value", 1);
}

}  // namespace engine
