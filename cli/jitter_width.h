// The host's width of the renderer's sub-pixel jitter, fitted to the scene's pixel filter.
//
// Each pass, the renderer moves every camera sample by one offset drawn from a Gaussian whose
// standard deviation is half the jitter width, clamped to plus or minus half the width: averaged
// over passes, that is the image's pixel filter, and the host chooses only its width. pbrt-v4
// weights samples by the file's `PixelFilter`; the host picks the width whose response to a
// straight edge (the share of a pixel's weight on one side of the edge, as the edge crosses the
// pixel) is nearest, by least squares, to that filter's. Pixels along silhouettes are where the
// two filters differ most: with a width of one pixel, a third of the samples sit on the pixel's
// border, and against pbrt-v4's box filter the silhouettes carried most of the image's error.
#pragma once

#include "engine/scene/scene_description.h"

namespace qor::cli {

// The jitter width in pixels (the options' sample_spread): 0.80 for pbrt-v4's box filter of
// radius 0.5, 1.2 for its default Gaussian.
float jitter_width_for(const qor::scene::pixel_filter_description& filter);

}  // namespace qor::cli
