#include "engine/runtime/camera.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "engine/runtime/scattering.h"

namespace engine {

affine_transform inverse(const affine_transform& t) {
  const auto& m = t.m;
  const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                     m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                     m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  const double inv = 1.0 / det;
  affine_transform r;
  r.m[0][0] = (m[1][1] * m[2][2] - m[1][2] * m[2][1]) * inv;
  r.m[0][1] = (m[0][2] * m[2][1] - m[0][1] * m[2][2]) * inv;
  r.m[0][2] = (m[0][1] * m[1][2] - m[0][2] * m[1][1]) * inv;
  r.m[1][0] = (m[1][2] * m[2][0] - m[1][0] * m[2][2]) * inv;
  r.m[1][1] = (m[0][0] * m[2][2] - m[0][2] * m[2][0]) * inv;
  r.m[1][2] = (m[0][2] * m[1][0] - m[0][0] * m[1][2]) * inv;
  r.m[2][0] = (m[1][0] * m[2][1] - m[1][1] * m[2][0]) * inv;
  r.m[2][1] = (m[0][1] * m[2][0] - m[0][0] * m[2][1]) * inv;
  r.m[2][2] = (m[0][0] * m[1][1] - m[0][1] * m[1][0]) * inv;
  for (int i = 0; i < 3; ++i) {
    r.m[i][3] = -(r.m[i][0] * m[0][3] + r.m[i][1] * m[1][3] + r.m[i][2] * m[2][3]);
  }
  return r;
}

perspective_camera::perspective_camera(const perspective_view& view, int width, int height)
    : world_from_camera_(view.world_from_camera),
      camera_from_world_(inverse(view.world_from_camera)),
      width_(std::max(1, width)),
      height_(std::max(1, height)),
      fov_(view.fov),
      lens_radius_(view.lens_radius),
      focal_distance_(view.focal_distance) {
  if (view.screen_window) {
    for (int i = 0; i < 4; ++i) screen_[i] = (*view.screen_window)[i];
  } else {
    // The shorter image axis spans [-1, 1].
    const double aspect = double(width_) / double(height_);
    if (aspect > 1) {
      screen_[0] = -aspect;
      screen_[1] = aspect;
      screen_[2] = -1;
      screen_[3] = 1;
    } else {
      screen_[0] = -1;
      screen_[1] = 1;
      screen_[2] = -1 / aspect;
      screen_[3] = 1 / aspect;
    }
  }
  tan_half_fov_ = std::tan(double(fov_) * pi / 360.0);
  pixel_tangent_x_ = (screen_[1] - screen_[0]) * tan_half_fov_ / width_;
  pixel_tangent_y_ = (screen_[3] - screen_[2]) * tan_half_fov_ / height_;
  origin_ = position();
  corner_direction_ =
      world_from_camera_.vector({screen_[0] * tan_half_fov_, screen_[3] * tan_half_fov_, 1});
  step_x_ = world_from_camera_.vector({pixel_tangent_x_, 0, 0});
  step_y_ = world_from_camera_.vector({0, -pixel_tangent_y_, 0});
}

void perspective_camera::generate_ray(double x, double y, double lens_u, double lens_v,
                                      vec3& origin, vec3& direction) const {
  if (!(lens_radius_ > 0)) {
    // The linear map's normalised image is the camera-space direction's, transformed and
    // normalised (the map is linear, so normalising before it changes nothing).
    origin = origin_;
    direction = normalize(corner_direction_ + step_x_ * x + step_y_ * y);
    return;
  }
  // Raster y points down, screen y up.
  const double sx = screen_[0] + (x / width_) * (screen_[1] - screen_[0]);
  const double sy = screen_[3] - (y / height_) * (screen_[3] - screen_[2]);
  vec3 o{0, 0, 0};
  vec3 d = normalize(vec3{sx * tan_half_fov_, sy * tan_half_fov_, 1});
  if (lens_radius_ > 0) {
    double lx, ly;
    sample_concentric_disk(lens_u, lens_v, lx, ly);
    const vec3 lens{lx * lens_radius_, ly * lens_radius_, 0};
    const vec3 focus = d * (focal_distance_ / d.z);
    o = lens;
    d = normalize(focus - lens);
  }
  origin = world_from_camera_.point(o);
  direction = normalize(world_from_camera_.vector(d));
}

void perspective_camera::fill_camera_record(qorCamera& record) const {
  std::memset(static_cast<void*>(&record), 0, sizeof record);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c)
      record.world_from_camera[4 * r + c] = float(world_from_camera_.m[r][c]);
  record.fov = fov_;
  record.width = width_;
  record.height = height_;
  record.lens_radius = float(lens_radius_);
  record.focal_distance = float(focal_distance_);
  record.emission_shader = nullptr;
  record.near_clip = 0;
  record.far_clip = std::numeric_limits<float>::infinity();
  // The module takes (left + right) x fov in radians / width as the tangent of the angle one
  // pixel subtends, and sizes its measurement points by it. The screen window is in units of
  // tan(fov / 2), so it is handed over rescaled to units of the field of view: then that product
  // is the pixel's width on the image plane at distance 1 (pixel_tangent_x), not about twice it.
  const double fov_radians = double(fov_) * pi / 180.0;
  double to_fov_units = tan_half_fov_ / fov_radians;
  if (!(fov_radians > 0) || !std::isfinite(to_fov_units) || !(to_fov_units > 0)) {
    to_fov_units = 0.5;  // the limit for a vanishing field of view
  }
  record.screen_left = float(-screen_[0] * to_fov_units);
  record.screen_right = float(screen_[1] * to_fov_units);
  record.screen_bottom = float(-screen_[2] * to_fov_units);
  record.screen_top = float(screen_[3] * to_fov_units);
}

void perspective_camera::fill_view_record(qorView& record) const {
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) record.camera_from_world[4 * r + c] = camera_from_world_.m[r][c];
  position().store(record.camera_position);
}

}  // namespace engine
