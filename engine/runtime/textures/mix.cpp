// Texture "mix": (1 - amount) tex1 + amount tex2, with a float "amount" that may be textured.
#include "engine/runtime/textures/texture.h"

namespace engine {

namespace {

class mix_texture final : public texture {
 public:
  mix_texture(texture_ref first, texture_ref second, texture_ref amount)
      : first_(std::move(first)), second_(std::move(second)), amount_(std::move(amount)) {}
  rgb evaluate(const texture_point& at) const override {
    const float t = amount_->evaluate(at).r;
    // Each side is evaluated only where it counts, as an image lookup is not free.
    rgb out;
    if (t != 1) out += first_->evaluate(at) * (1 - t);
    if (t != 0) out += second_->evaluate(at) * t;
    return out;
  }

 private:
  texture_ref first_, second_, amount_;
};

}  // namespace

texture_ref make_mix(const texture_context& texture) {
  return std::make_shared<mix_texture>(texture.input("tex1", 0), texture.input("tex2", 1),
                                       texture.float_input("amount", 0.5f));
}

}  // namespace engine
