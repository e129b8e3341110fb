// The per-render arrays of a renderer, owned by a test: what render_frame allocates, for tests
// that drive one stage (the eye pass, point creation, the views) without the whole loop.
#pragma once

#include <cstring>
#include <vector>

#include "module/render/qor_ppm.h"
#include "tests/module/module_test.h"

struct render_arrays {
  render_arrays(qorPPM& renderer, int width, int height, int threads, bool second_set = false)
      : framebuffer_bytes(qorImage_block::bytes(width, height) / 4 + 1),
        points(static_cast<size_t>(width) * height),
        points2(second_set ? static_cast<size_t>(width) * height : 0),
        pixel_points(static_cast<size_t>(width) * height),
        candidates(static_cast<size_t>(threads > 0 ? threads : 1)) {
    // The vectors value-initialise their records: every array starts zero-filled.
    *block = {0, 0, width, height};
    renderer.framebuffer = block;
    renderer.pixels = block->pixels();
    renderer.points = points.data();
    renderer.points2 = second_set ? points2.data() : nullptr;
    renderer.pixel_points = pixel_points.data();
    renderer.candidates = candidates.data();
    renderer.max_points = width * height;
    renderer.width = width;
    renderer.height = height;
    renderer.point_count = 0;
    renderer.point2_count = 0;
  }

  float* pixel(int x, int y) { return block->pixels() + 3 * (y * block->width + x); }
  float* pixels() { return block->pixels(); }

  std::vector<uint32_t> framebuffer_bytes;  // 32-bit words, so the block is float-aligned
  qorImage_block* block = reinterpret_cast<qorImage_block*>(framebuffer_bytes.data());
  std::vector<measurement_point> points;
  std::vector<measurement_point> points2;
  std::vector<measurement_point> pixel_points;
  std::vector<candidate_buffer> candidates;
};

// Plays the host's shading of a camera ray through pixel (x, y): the ray hits the plane z = depth
// in front of the pixel, facing the camera, and the shader asks the renderer for the indirect
// light there, which makes a candidate. Returns what the slot returned.
inline int shade_camera_hit(qorPPM& renderer, qorRay& ray, int x, int y, float weight = 0.5f,
                            double depth = 10.0) {
  ray.thread->pixel_x = x;
  ray.thread->pixel_y = y;
  ray.depth = 0;
  ray.weight = weight;
  set3(ray.hit_position, static_cast<double>(x), static_cast<double>(y), depth);
  set3(ray.shading_normal, 0.0, 0.0, -1.0);
  float result[3];
  return renderer.indirect_illumination(result, ray);
}
