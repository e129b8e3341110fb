// The views of the current estimate that the output step paints into the output block.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "module/render/qor_ppm.h"

namespace {

constexpr double pi = 3.141592653589793;
constexpr double inverse_pi_squared = 0.10132118364233779;

// The records a view paints; an array that is not allocated (outside a render) holds none.
struct record_range {
  record_range(const measurement_point* first_in, size_t count_in)
      : first(first_in), count(first_in != nullptr ? count_in : 0) {}
  const measurement_point* first;
  size_t count;
};

float* pixel_of(float* image, int32_t width, const measurement_point& p) {
  return image + 3 * (static_cast<ptrdiff_t>(p.pixel_y) * width + p.pixel_x);
}

void set_grey(float* pixel, float v) {
  pixel[0] = pixel[1] = pixel[2] = v;
}

}  // namespace

void qorPPM::visualize(qorScene& scene, view shown, int32_t iteration) {
  qor_sprint("[%d] Visualize %d\n", iteration + 1, static_cast<int32_t>(shown));
  if (output_block == nullptr) return;  // frame set-up could not allocate it
  const qorOptions& options = qor_options(scene);
  const int32_t w = options.width;
  const int32_t h = options.height;
  output_block->x0 = 0;
  output_block->y0 = 0;
  output_block->width = w;
  output_block->height = h;
  float* image = output_block->pixels();
  const size_t floats = static_cast<size_t>(w) * static_cast<size_t>(h) * 3;
  if (shown == view::rendered || shown == view::accumulation || shown == view::edges) {
    std::memcpy(image, pixels, floats * sizeof(float));
  } else {
    std::fill(image, image + floats, 0.0f);
  }

  // Before the first photon pass has been folded in, the estimate is still in the units of the
  // emitters' mean weight.
  const float scale = iteration >= 1 ? 1.0f : mean_emitter_weight;
  const float display_scale = options.display_scale;

  // With one eye pass the points are the per-pixel estimate; otherwise the per-pixel records
  // carry it between passes.
  const record_range source =
      sampling_mode == 0
          ? record_range{points, point_count}
          : record_range{pixel_points, static_cast<size_t>(width) * static_cast<size_t>(height)};
  const record_range pass_points{points, point_count};

  switch (shown) {
    case view::rendered:
    case view::photon_estimate:
      for (size_t i = 0; i < source.count; ++i) {
        const measurement_point& p = source.first[i];
        float* px = pixel_of(image, w, p);
        for (int c = 0; c < 3; ++c) {
          px[c] += light_irradiance ? p.radiance[c] + p.light_radiance[c] : p.radiance[c];
        }
      }
      break;
    case view::radius: {
      float largest = 0.0f;
      for (size_t i = 0; i < pass_points.count; ++i) {
        largest = std::max(largest, pass_points.first[i].radius);
      }
      qor_sprint("max radius = %g\n", static_cast<double>(largest));
      const float inverse = 1.0f / (largest * display_scale);
      for (size_t i = 0; i < pass_points.count; ++i) {
        const measurement_point& p = pass_points.first[i];
        float* px = pixel_of(image, w, p);
        set_grey(px, p.radius * inverse);
        if (!(p.radius > p.min_radius)) px[0] = 10.0f;
      }
      break;
    }
    case view::pass_flux:
      // The raw flux of the pass, as radiance over the point's disc.
      for (size_t i = 0; i < pass_points.count; ++i) {
        const measurement_point& p = pass_points.first[i];
        const float k = static_cast<float>(static_cast<double>(scale / (p.radius * p.radius)) *
                                           inverse_pi_squared);
        float* px = pixel_of(image, w, p);
        for (int c = 0; c < 3; ++c) px[c] = p.pass_flux[c] * k;
      }
      break;
    case view::smoothed:
      for (size_t i = 0; i < source.count; ++i) {
        const measurement_point& p = source.first[i];
        float* px = pixel_of(image, w, p);
        for (int c = 0; c < 3; ++c) px[c] += p.smoothed_radiance[c];
      }
      break;
    case view::noise:
      for (size_t i = 0; i < pass_points.count; ++i) {
        const measurement_point& p = pass_points.first[i];
        set_grey(pixel_of(image, w, p), std::sqrt(p.variance_sum / static_cast<float>(iteration)));
      }
      break;
    case view::photon_offset: {
      // Relative to the point's disc.
      const float q = static_cast<float>(0.1 / static_cast<double>(display_scale));
      for (size_t i = 0; i < pass_points.count; ++i) {
        const measurement_point& p = pass_points.first[i];
        float* px = pixel_of(image, w, p);
        if (!(p.photon_count > 10.0f)) {
          set_grey(px, 0.0f);
          continue;
        }
        const float* o = p.offset_sum;
        const float numerator = (o[0] * o[0] + o[1] * o[1] + o[2] * o[2]) * q;
        const float disc = p.photon_count * (p.radius * p.radius);
        set_grey(px, static_cast<float>(static_cast<double>(numerator) /
                                        (static_cast<double>(disc) * pi)));
      }
      break;
    }
    case view::edges:
      for (size_t i = 0; i < source.count; ++i) {
        const measurement_point& p = source.first[i];
        const float t = 2.0f * std::fabs(p.normal_deviation / static_cast<float>(iteration + 1)) *
                        (1.0f / display_scale);
        float* px = pixel_of(image, w, p);
        for (int c = 0; c < 3; ++c) px[c] += p.radiance[c] + t;
      }
      break;
    default:
      // The accumulation image as copied; black for view::none and numbers past the last view.
      break;
  }
  qor_show_block(scene, output_block);
}
