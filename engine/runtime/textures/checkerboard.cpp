// Texture "checkerboard" in two dimensions: "tex1" on the squares whose floor(s) + floor(t) is
// even, "tex2" on the others, over the (s, t) of the uv mapping. It is point-sampled: the image's
// pixel samples average the edges, where pbrt-v4 filters each lookup over its footprint.
#include <cmath>

#include "engine/runtime/textures/texture.h"
#include "engine/scene/parse_scene.h"

namespace engine {

namespace {

class checkerboard_texture final : public texture {
 public:
  checkerboard_texture(uv_mapping mapping, texture_ref even, texture_ref odd)
      : mapping_(mapping), even_(std::move(even)), odd_(std::move(odd)) {}
  rgb evaluate(const texture_point& at) const override {
    const auto [s, t] = mapping_.map(at);
    const bool even =
        (static_cast<long long>(std::floor(s)) + static_cast<long long>(std::floor(t))) % 2 == 0;
    return (even ? even_ : odd_)->evaluate(at);
  }

 private:
  uv_mapping mapping_;
  texture_ref even_, odd_;
};

}  // namespace

texture_ref make_checkerboard(const texture_context& texture) {
  const qor::scene::parameter_list& params = texture.entity.parameters;
  if (const qor::scene::parameter* p = params.find("dimension")) {
    if (params.get_integer("dimension", 2) != 2) {
      throw qor::scene::scene_error(p->value_location(0),
                                    "expected 2 for " + p->declaration() +
                                        " (solid checkerboards are not supported), found " +
                                        std::to_string(params.get_integer("dimension", 2)));
    }
  }
  return std::make_shared<checkerboard_texture>(uv_mapping::read(texture), texture.input("tex1", 1),
                                                texture.input("tex2", 0));
}

}  // namespace engine
