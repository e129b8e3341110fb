// Per-pixel point history and the points file.
//
// In the scheme with a new eye pass per iteration the measurement points of one pass are new
// records. pixel_points keeps each pixel's progressive state (radius, statistics, estimate) from
// one pass to the next: the new points inherit it before the photon pass and give it back after.
#include <cstdio>

#include "module/render/qor_ppm.h"

namespace {

// Records of pixel_points: one per pixel of the renderer's image, row-major.
size_t pixel_record_count(const qorPPM& renderer) {
  if (renderer.pixel_points == nullptr || renderer.width <= 0 || renderer.height <= 0) return 0;
  return static_cast<size_t>(renderer.width) * static_cast<size_t>(renderer.height);
}

// The history record of the pixel a point was sampled in, or null for a pixel outside the image
// (the eye pass never makes one; the check keeps a stray point from writing past the array).
measurement_point* history_of(qorPPM& renderer, const measurement_point& point) {
  if (point.pixel_x < 0 || point.pixel_x >= renderer.width || point.pixel_y < 0 ||
      point.pixel_y >= renderer.height) {
    return nullptr;
  }
  const size_t index = static_cast<size_t>(point.pixel_y) * static_cast<size_t>(renderer.width) +
                       static_cast<size_t>(point.pixel_x);
  return &renderer.pixel_points[index];
}

void copy3(float to[3], const float from[3]) {
  to[0] = from[0];
  to[1] = from[1];
  to[2] = from[2];
}

}  // namespace

void qorPPM::carry_over_points() {
  if (point_count == 0) return;
  const size_t records = pixel_record_count(*this);

  // The history holds the mean over the passes so far; scaling it by i / (i + 1) makes room for
  // the coming pass. At the first pass (and after a reset) the factor is 0 and clears it.
  const int32_t i = iteration;
  const float decay = static_cast<float>(i) / static_cast<float>(i + 1);
  for (size_t r = 0; r < records; ++r) {
    measurement_point& q = pixel_points[r];
    for (int c = 0; c < 3; ++c) {
      q.offset_sum[c] *= decay;
      q.radiance[c] *= decay;
    }
  }
  if (i <= 0 || records == 0) return;

  // A point continues its pixel's estimate: it takes the pixel's radius and statistics and keeps
  // the geometry, pixel, reflectance and weight of its own hit. A pixel without history (radius 0)
  // leaves the point as the eye pass made it.
  for (uint32_t k = 0; k < point_count; ++k) {
    measurement_point& p = points[k];
    const measurement_point* q = history_of(*this, p);
    if (q == nullptr || !(q->radius > 0.0f)) continue;
    copy3(p.radiance, q->radiance);
    copy3(p.light_radiance, q->light_radiance);
    copy3(p.offset_sum, q->offset_sum);
    p.variance_sum = q->variance_sum;
    p.normal_deviation = q->normal_deviation;
    p.radius = q->radius;
    p.photon_count = q->photon_count;
  }
}

void qorPPM::merge_points() {
  if (pixel_record_count(*this) != 0) {
    for (uint32_t k = 0; k < point_count; ++k) {
      const measurement_point& p = points[k];
      measurement_point* q = history_of(*this, p);
      if (q == nullptr) continue;
      if (iteration > 0) {
        copy3(q->radiance, p.radiance);
        copy3(q->light_radiance, p.light_radiance);
        // How far the surface seen through the pixel turned since the last pass: 0 for the same
        // orientation, up to 2 for the opposite one. Formed with the pixel's previous normal.
        const float cos_turn =
            (q->normal[0] * p.normal[0] + q->normal[1] * p.normal[1]) + q->normal[2] * p.normal[2];
        q->normal_deviation += 1.0f - cos_turn;
        copy3(q->normal, p.normal);
        copy3(q->offset_sum, p.offset_sum);
        q->variance_sum = p.variance_sum;
        q->radius = p.radius;
        q->pass_photons = p.pass_photons;
        q->photon_count = p.photon_count;
        q->pixel_x = p.pixel_x;
        q->pixel_y = p.pixel_y;
      } else if (p.radius > 0.0f) {
        *q = p;  // the first pass starts the pixel's history with the whole point
      }
    }
  }

  // The second set keeps its points across passes in one mode; its pass accumulators restart.
  if (points2 != nullptr) {
    const uint32_t capacity = max_points > 0 ? static_cast<uint32_t>(max_points) : 0u;
    const uint32_t count = point2_count < capacity ? point2_count : capacity;
    for (uint32_t k = 0; k < count; ++k) {
      measurement_point& p = points2[k];
      p.pass_flux[0] = p.pass_flux[1] = p.pass_flux[2] = 0.0f;
      p.pass_photons = 0;
    }
  }
}

// Writes one line per second-set point: position, radius and the displayed radiance. The stream
// is closed before returning, so the file on disk is complete after every pass and no handle is
// held between passes (a viewer may read or replace the file while the render goes on).
void qorPPM::save_points_file(float display_scale) {
  if (points_file == nullptr) return;
  qor_sprint("Saving points file\n");
  std::FILE* file = std::fopen(points_file, "w+");
  if (file == nullptr) return;  // an unwritable file is skipped; the render goes on
  const uint32_t capacity = max_points > 0 ? static_cast<uint32_t>(max_points) : 0u;
  const uint32_t count =
      points2 == nullptr ? 0u : (point2_count < capacity ? point2_count : capacity);
  for (uint32_t k = 0; k < count; ++k) {
    const measurement_point& p = points2[k];
    const float r = p.radiance[0] * display_scale;
    const float g = p.radiance[1] * display_scale;
    const float b = p.radiance[2] * display_scale;
    std::fprintf(file, " %g %g %g %g %g %g %g\n", static_cast<double>(p.position[0]),
                 static_cast<double>(p.position[1]), static_cast<double>(p.position[2]),
                 static_cast<double>(p.radius), static_cast<double>(r), static_cast<double>(g),
                 static_cast<double>(b));
  }
  std::fclose(file);
}

// Clears the accumulated statistics of every pixel but keeps the radii the pixels have reached,
// so the restarted estimate does not begin again from the initial, blurry radius.
void qorPPM::reset_points() {
  qor_info("Reset points\n");
  const size_t records = pixel_record_count(*this);
  if (records != 0 && iteration > 0) {
    for (size_t r = 0; r < records; ++r) {
      measurement_point& q = pixel_points[r];
      q.pass_photons = 0;
      q.photon_count = 0.0f;
      q.offset_sum[0] = q.offset_sum[1] = q.offset_sum[2] = 0.0f;
      q.radiance[0] = q.radiance[1] = q.radiance[2] = 0.0f;
      q.normal_deviation = 0.0f;
      q.variance_sum = 0.0f;
    }
  }
  iteration = 0;
}
