// Smoothing of the per-pixel estimates for display.
//
// Both smoothers write only smoothed_radiance (and their own scratch fields): the progressive
// estimate itself is never changed. They stop at edges found by the surface normal and, for the
// Gaussian smoother, by the photon count, so that light does not bleed across geometry or
// between regions of very different photon density.
#include <cmath>

#include "module/render/qor_ppm.h"

namespace {

constexpr int kernel_reach = 16;  // the Gaussian window is 33 x 33 pixels
constexpr int kernel_side = 2 * kernel_reach + 1;
constexpr int pass_count = 32;  // passes of each five-point series

// Records of one surface: their shading normals differ by less than about 37 degrees. A record
// without a point has a zero normal and so matches nothing, not even itself.
bool same_surface(const measurement_point& a, const measurement_point& b) {
  const float cos_angle =
      (a.normal[0] * b.normal[0] + a.normal[1] * b.normal[1]) + a.normal[2] * b.normal[2];
  return cos_angle > 0.8f;
}

// Photon counts of comparable density. The 25 keeps records with few photons from being split by
// noise; a record that has gathered nothing yet takes any neighbour.
bool counts_agree(float own, float other) {
  if (own == 0.0f && other != 0.0f) return true;
  return std::fabs(own - other) / ((own + 25.0f) + other) < 0.25f;
}

// Mean relative difference of two smoothed estimates over the three channels.
float relative_difference(const measurement_point& p, const measurement_point& q) {
  float t[3];
  for (int c = 0; c < 3; ++c) {
    t[c] = std::fabs(q.smoothed_radiance[c] - p.smoothed_radiance[c]) /
           std::fabs(q.smoothed_radiance[c] + p.smoothed_radiance[c] + 1e-5f);
  }
  return ((t[1] + t[0]) + t[2]) * 0.33333334f;
}

// An edge between two neighbours of one surface whose estimates, both backed by photons, still
// differ after smoothing.
bool marks_edge(const measurement_point& p, const measurement_point& q) {
  return q.photon_count > 2.0f && same_surface(p, q) && relative_difference(p, q) > 0.05f;
}

}  // namespace

void qorPPM::smooth_points(int rows) {
  if (iteration <= 0) return;
  qor_sprint("Smooth measurement points\n");
  if (pixel_points == nullptr) return;

  // Gaussian weights exp(-d^2 / 64) over the window, normalised to sum 1.
  float kernel[kernel_side][kernel_side];
  float total = 0.0f;
  for (int dy = -kernel_reach; dy <= kernel_reach; ++dy) {
    for (int dx = -kernel_reach; dx <= kernel_reach; ++dx) {
      const float w = expf(static_cast<float>(dx * dx + dy * dy) * -0.015625f);
      kernel[dy + kernel_reach][dx + kernel_reach] = w;
      total += w;
    }
  }
  const float normalise = 1.0f / total;
  for (auto& row : kernel) {
    for (float& w : row) w *= normalise;
  }

  const int columns = width;
  for (int y = 0; y < rows; ++y) {
    for (int x = 0; x < columns; ++x) {
      measurement_point& p = pixel_points[static_cast<size_t>(y) * columns + x];
      float acc[3];
      float weight_sum;
      int taken;
      // First over the neighbours of the same surface and photon density; when fewer than four
      // records (p included) qualify, the density test is dropped so that sparse pixels still
      // get a meaningful average.
      auto gather = [&](bool by_density) {
        acc[0] = acc[1] = acc[2] = 0.0f;
        weight_sum = 0.0f;
        taken = 0;
        for (int dy = -kernel_reach; dy <= kernel_reach; ++dy) {
          const int qy = y + dy;
          if (qy < 0 || qy >= rows) continue;
          for (int dx = -kernel_reach; dx <= kernel_reach; ++dx) {
            const int qx = x + dx;
            if (qx < 0 || qx >= columns) continue;
            const measurement_point& q = pixel_points[static_cast<size_t>(qy) * columns + qx];
            if (!same_surface(p, q)) continue;
            if (by_density && !counts_agree(p.photon_count, q.photon_count)) continue;
            const float w = kernel[dy + kernel_reach][dx + kernel_reach];
            for (int c = 0; c < 3; ++c) acc[c] += w * q.radiance[c];
            weight_sum += w;
            ++taken;
          }
        }
      };
      gather(true);
      if (taken < 4) gather(false);
      const float inverse = 1.0f / (weight_sum + 1e-10f);
      for (int c = 0; c < 3; ++c) p.smoothed_radiance[c] = acc[c] * inverse;
    }
  }
}

// Two series of five-point averages: the first only finds the edges of the estimate, the second
// smooths again from the estimate itself with detail records (at edges) kept apart from smooth
// ones and averaged over two passes only.
void qorPPM::smooth_points_2() {
  if (iteration <= 0) return;
  qor_sprint("Smooth measurement points 2\n");
  for (int k = 0; k < pass_count; ++k) smooth_pass(k, false);
  classify_points();
  for (int k = 0; k < pass_count; ++k) smooth_pass(k, true);
}

// Pass k of a series: one simultaneous (Jacobi) step of the average over a record and its four
// neighbours. Pass 0 starts from the estimate, later passes from the previous pass's result.
void qorPPM::smooth_pass(int k, bool restricted) {
  if (iteration < 1) return;
  qor_sprint("Smooth measurement points (iteration %d) [%d x %d]\n", k, width, height);
  if (pixel_points == nullptr || width <= 0 || height <= 0) {
    qor_sprint("+");
    return;
  }
  const size_t records = static_cast<size_t>(width) * static_cast<size_t>(height);
  for (size_t r = 0; r < records; ++r) {
    measurement_point& p = pixel_points[r];
    const float* from = k == 0 ? p.radiance : p.smoothed_radiance;
    for (int c = 0; c < 3; ++c) p.smoothing_input[c] = from[c];
  }
  qor_sprint("+");

  const int neighbour_dx[4] = {0, 0, -1, 1};  // above, below, left, right
  const int neighbour_dy[4] = {-1, 1, 0, 0};
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      measurement_point& p = pixel_points[static_cast<size_t>(y) * width + x];
      // A record takes part in passes 0 .. smoothing_limit of the restricted series.
      if (restricted && p.smoothing_limit < k) continue;
      float sum[3] = {p.smoothing_input[0], p.smoothing_input[1], p.smoothing_input[2]};
      float count = 1.0f;
      for (int n = 0; n < 4; ++n) {
        const int qx = x + neighbour_dx[n];
        const int qy = y + neighbour_dy[n];
        if (qx < 0 || qx >= width || qy < 0 || qy >= height) continue;
        const measurement_point& q = pixel_points[static_cast<size_t>(qy) * width + qx];
        if (!same_surface(p, q)) continue;
        if (restricted && q.smoothing_limit != p.smoothing_limit) continue;
        for (int c = 0; c < 3; ++c) sum[c] += q.smoothing_input[c];
        count += 1.0f;
      }
      const float inverse = 1.0f / count;
      for (int c = 0; c < 3; ++c) p.smoothed_radiance[c] = sum[c] * inverse;
    }
  }
}

// Marks each record as detail (1: an edge to its right or lower neighbour) or smooth (32). Each
// edge is found once, from the record on its left or upper side.
void qorPPM::classify_points() {
  if (pixel_points == nullptr || width <= 0 || height <= 0) return;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      measurement_point& p = pixel_points[static_cast<size_t>(y) * width + x];
      bool edge = false;
      if (p.photon_count > 2.0f) {
        if (x < width - 1 && marks_edge(p, pixel_points[static_cast<size_t>(y) * width + x + 1])) {
          edge = true;
        }
        if (y < height - 1 && marks_edge(p, pixel_points[static_cast<size_t>(y + 1) * width + x])) {
          edge = true;
        }
      }
      p.smoothing_limit = edge ? 1 : pass_count;
    }
  }
}
