// Pixel strata, the host's supersampling: with k strata per axis the engine hands the renderer an
// image k times the film's width and height, region and all. Sample pixel (x, y) is stratum
// (x mod k, y mod k) of film pixel (x / k, y / k); the camera places it in that stratum of the
// pixel filter's distribution (film_filter), so each of a pixel's k x k samples carries an equal
// share of the filter's weight and the film pixel is their plain mean. The renderer never learns
// of it: it sees a larger image with smaller pixels, and sizes its points by them.
//
// Why: every pass then samples a film pixel at k x k places instead of one, which resolves the
// edges within a pixel (a silhouette, a spot light's rim) that one shared sub-pixel offset per
// pass resolves only slowly, and the points' smallest radius shrinks with the sample pixels.
#pragma once

#include <vector>

#include "host/records.h"

namespace engine {

constexpr int max_pixel_strata = 4;

// A block of the film's image made from a block of sample pixels: the mean of each k x k group.
// The block's origin and size must be multiples of k, as the engine's region always is.
class film_block {
 public:
  film_block(const qorImage_block& samples, int strata);
  const qorImage_block& block() const {
    return *reinterpret_cast<const qorImage_block*>(storage_.data());
  }

 private:
  std::vector<float> storage_;  // the 16-byte header (four floats long), then the RGB floats
};

}  // namespace engine
