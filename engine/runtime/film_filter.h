// The camera's pixel filter: where on the film a camera sample lands.
//
// Each pass, the renderer hands the camera one sub-pixel offset per axis, shared by every pixel:
// a Gaussian sample whose standard deviation is half the jitter width, clamped at plus or minus
// that. pbrt-v4 instead places each sample by its PixelFilter's own distribution (and weights
// it by the filter's sign). The camera turns the renderer's offset into such a position: first
// its quantile under the clamped Gaussian, then the filter's inverse distribution at that
// quantile, so that over the passes a pixel gathers its samples as the file's filter weights
// them, and edges come out as pbrt-v4 draws them. The clamp puts a sixth of the passes on each
// end of the range; those passes take their quantile within the end's share from a hash of the
// iteration, the same for every pixel of the pass as the offset is.
//
// With pixel strata (the host's supersampling, engine/runtime/pixel_strata.h) a film pixel is
// rendered as k x k sample pixels, and the sample in stratum s of an axis takes the quantile
// (s + q) / k instead of q: the k strata split the filter's distribution into equal shares, so
// the plain mean of a pixel's samples weights the scene as the filter does.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/scene/scene_description.h"

namespace engine {

class film_filter {
 public:
  // No filter: samples land where the renderer's offsets put them (scenes built in code).
  film_filter() = default;
  explicit film_filter(const qor::scene::pixel_filter_description& filter);

  // The position along axis (0: x, 1: y), in film pixels from the pixel's corner, of a sample
  // whose offset from the renderer is `jitter` (0.5 plus at most half of `spread`) in pass
  // `iteration`, in stratum `stratum` of `strata` along that axis.
  double position(int axis, float jitter, float spread, int32_t iteration, int stratum = 0,
                  int strata = 1) const;

 private:
  // The inverse of the filter's distribution along an axis: the cumulative weight at evenly
  // spaced points across [-radius, radius], normalised to end at 1.
  struct axis_distribution {
    double radius = 0.5;
    std::vector<double> cumulative;
    double inverse(double u) const;
  };
  axis_distribution axes_[2];
  bool pass_through_ = true;
};

}  // namespace engine
