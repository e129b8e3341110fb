#include "engine/io/convergence.h"

#include <cstdio>
#include <stdexcept>

#include "engine/io/image_file.h"

namespace engine::io {

convergence_log::convergence_log(const std::string& reference_path, const std::string& csv_path)
    : reference_path_(reference_path), csv_path_(csv_path) {
  image_pixels reference;
  try {
    reference = read_image(reference_path);
  } catch (const std::runtime_error& e) {
    throw std::runtime_error("cannot read the reference: " + std::string(e.what()));
  }
  if (reference.channels < 3) {
    throw std::runtime_error("cannot read the reference '" + reference_path + "': it has " +
                             std::to_string(reference.channels) + " channels, RGB needs 3");
  }
  width_ = reference.width;
  height_ = reference.height;
  // Channels 0 to 2 only: an alpha or depth channel does not take part.
  const size_t pixels = size_t(width_) * size_t(height_);
  reference_.resize(3 * pixels);
  for (size_t p = 0; p < pixels; ++p) {
    for (size_t c = 0; c < 3; ++c) {
      reference_[3 * p + c] = reference.values[p * size_t(reference.channels) + c];
    }
  }
  csv_.open(csv_path, std::ios::trunc);
  if (!csv_) throw std::runtime_error("cannot write the convergence file '" + csv_path + "'");
  csv_ << "iteration,seconds,photons,rel_mse,mean_ratio\n" << std::flush;
}

convergence_point convergence_log::score(const qorImage_block& block, float display_scale) const {
  int dx = 0, dy = 0;
  if (block.width != width_ || block.height != height_) {
    dx = block.x0;
    dy = block.y0;
    if (dx < 0 || dy < 0 || dx + block.width > width_ || dy + block.height > height_) {
      throw std::runtime_error("the reference '" + reference_path_ + "' is " +
                               std::to_string(width_) + "x" + std::to_string(height_) +
                               ", the image " + std::to_string(block.width) + "x" +
                               std::to_string(block.height) + " at (" + std::to_string(block.x0) +
                               ", " + std::to_string(block.y0) + ")");
    }
  }
  double error = 0, sum = 0, reference_sum = 0;
  const float* pixels = block.pixels();
  for (int y = 0; y < block.height; y++) {
    for (int x = 0; x < block.width; x++) {
      for (int c = 0; c < 3; c++) {
        const double v =
            double(pixels[3 * (size_t(y) * size_t(block.width) + size_t(x)) + c]) * display_scale;
        const double r =
            reference_[3 * (size_t(y + dy) * size_t(width_) + size_t(x + dx)) + size_t(c)];
        error += (v - r) * (v - r) / (r * r + 0.01);
        sum += v;
        reference_sum += r;
      }
    }
  }
  const double n = 3.0 * double(block.width) * double(block.height);
  return {error / n, reference_sum > 0 ? sum / reference_sum : 0};
}

void convergence_log::append(int iteration, double seconds, uint64_t photons,
                             const convergence_point& point) {
  char line[160];
  std::snprintf(line, sizeof line, "%d,%.3f,%llu,%.6g,%.6g\n", iteration, seconds,
                static_cast<unsigned long long>(photons), point.rel_mse, point.mean_ratio);
  csv_ << line << std::flush;
}

}  // namespace engine::io
