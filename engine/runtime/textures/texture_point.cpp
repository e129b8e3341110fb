// The (u, v) of pbrt-v4's shapes at a hit, worked out when a texture first asks.
#include <cmath>

#include "engine/runtime/textures/texture.h"

namespace engine {

std::array<double, 2> texture_point::uv() const {
  if (uv_) return *uv_;
  const raw_hit hit{0, id_.instance, id_.shape, id_.primitive, float(b1_), float(b2_)};
  const shape& s = hit_shape(*scene_, hit);
  std::array<double, 2> uv{0, 0};
  if (s.kind == geometry_kind::sphere) {
    // pbrt-v4's sphere: u = phi / 2 pi with phi in [0, 2 pi) about the sphere's z axis, v from
    // its south pole (0) to its north pole (1).
    vec3 p = position;
    if (id_.instance >= 0) p = scene_->instances[size_t(id_.instance)].object_from_world.point(p);
    const vec3 r = p - s.center;
    const double x = dot(r, s.axes[0]), y = dot(r, s.axes[1]), z = dot(r, s.axes[2]);
    double phi = std::atan2(y, x);
    if (phi < 0) phi += 2 * pi;
    const double cos_theta = std::clamp(z / std::max(length(r), 1e-300), -1.0, 1.0);
    uv = {phi / (2 * pi), 1 - std::acos(cos_theta) / pi};
  } else {
    const triangle_mesh& m = s.mesh;
    const double b0 = 1 - b1_ - b2_;
    if (!m.uv.empty()) {
      const uint32_t* i = &m.indices[3 * size_t(id_.primitive)];
      for (int c = 0; c < 2; ++c)
        uv[c] = m.uv[i[0]][c] * b0 + m.uv[i[1]][c] * b1_ + m.uv[i[2]][c] * b2_;
    } else {
      // pbrt-v4 gives a triangle without uv the corners (0, 0), (1, 0), (1, 1).
      uv = {b1_ + b2_, b2_};
    }
  }
  uv_ = uv;
  return uv;
}

}  // namespace engine
