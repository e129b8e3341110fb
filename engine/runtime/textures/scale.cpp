// Texture "scale": "tex" times the float "scale", as pbrt-v4 multiplies them.
#include "engine/runtime/textures/texture.h"

namespace engine {

namespace {

class scale_texture final : public texture {
 public:
  scale_texture(texture_ref value, texture_ref scale)
      : value_(std::move(value)), scale_(std::move(scale)) {}
  rgb evaluate(const texture_point& at) const override {
    const float s = scale_->evaluate(at).r;
    return s == 0 ? rgb{} : value_->evaluate(at) * s;
  }

 private:
  texture_ref value_, scale_;
};

}  // namespace

texture_ref make_scale(const texture_context& texture) {
  return std::make_shared<scale_texture>(texture.input("tex", 1), texture.float_input("scale", 1));
}

}  // namespace engine
