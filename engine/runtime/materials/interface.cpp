// Material "interface" (also "none" and ""): marks a medium boundary; the surface itself is
// invisible, and rays pass through it unchanged.
#include "engine/runtime/materials/material.h"

namespace engine {

namespace {

class interface_material final : public surface_material {
 public:
  interface_material() : surface_material("interface") {}

  scattering scatter(const vec3& d, const facing_normals&, const scatter_numbers&,
                     const texture_point&, bool) const override {
    scattering out;
    out.kind = scattering::kind_type::pass;
    out.direction = d;
    return out;
  }
  bool passes_through() const override { return true; }
};

}  // namespace

std::shared_ptr<surface_material> make_interface(const material_context&) {
  return std::make_shared<interface_material>();
}

}  // namespace engine
