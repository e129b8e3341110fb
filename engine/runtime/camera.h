// pbrt-v4's perspective camera: camera rays through raster points, and the camera and view
// records the host interface publishes.
#pragma once

#include "engine/runtime/traceable_scene.h"
#include "host/records.h"

namespace engine {

class perspective_camera {
 public:
  perspective_camera() = default;
  perspective_camera(const perspective_view& view, int width, int height);

  // The ray through raster point (x, y): x to the right in [0, width), y downwards in
  // [0, height). With a lens, (lens_u, lens_v) pick the point on the lens. Direction unit length.
  void generate_ray(double x, double y, double lens_u, double lens_v, vec3& origin,
                    vec3& direction) const;

  vec3 position() const { return world_from_camera_.point({0, 0, 0}); }
  // The image plane at distance 1 in camera space spans [-tan, tan] times these extents, and
  // one pixel spans pixel_tangent_x by pixel_tangent_y of it.
  double pixel_tangent_x() const { return pixel_tangent_x_; }
  double pixel_tangent_y() const { return pixel_tangent_y_; }

  void fill_camera_record(qorCamera& record) const;
  void fill_view_record(qorView& record) const;

 private:
  affine_transform world_from_camera_;
  affine_transform camera_from_world_;
  double screen_[4] = {-1, 1, -1, 1};  // x0 x1 y0 y1, pbrt's screen window
  double tan_half_fov_ = 1;
  double pixel_tangent_x_ = 0, pixel_tangent_y_ = 0;
  int width_ = 1, height_ = 1;
  float fov_ = 90;
  double lens_radius_ = 0, focal_distance_ = 1e6;
  // A pinhole ray's direction, before it is normalised, is linear in the raster point: the
  // world direction through raster (0, 0) plus x and y times the world step of one pixel.
  vec3 origin_;
  vec3 corner_direction_, step_x_, step_y_;
};

// The inverse of an affine transform whose linear part is invertible.
affine_transform inverse(const affine_transform& t);

}  // namespace engine
