// The error of the image so far against a reference image, at each output step: what a user
// compares two settings or two renderers by. The figures are the ones scripts/compare-peer and
// scripts/compare-reference print, so a run's last row and those scripts agree.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "host/records.h"

namespace engine::io {

struct convergence_point {
  double rel_mse = 0;     // mean over pixels and R, G, B of (x - r)^2 / (r^2 + 0.01)
  double mean_ratio = 0;  // the image's mean over the reference's
};

class convergence_log {
 public:
  // Reads the reference (any format OpenImageIO reads, linear RGB) and creates the CSV file with
  // its header line. Throws std::runtime_error naming the file that cannot be read or written.
  convergence_log(const std::string& reference_path, const std::string& csv_path);

  // Scores a block (pixels times display_scale, as the image file gets them). The reference is
  // either the block's size or the whole frame the block is a region of (its x0, y0). Throws
  // std::runtime_error when it is neither.
  convergence_point score(const qorImage_block& block, float display_scale) const;

  // Appends "iteration,seconds,photons,rel_mse,mean_ratio" and flushes, so that a plot can be
  // drawn while the render runs.
  void append(int iteration, double seconds, uint64_t photons, const convergence_point& point);

  const std::string& csv_path() const { return csv_path_; }

 private:
  std::string reference_path_, csv_path_;
  int width_ = 0, height_ = 0;
  std::vector<float> reference_;  // RGB, row-major
  std::ofstream csv_;
};

}  // namespace engine::io
