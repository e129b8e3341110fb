// Reading images that a scene names (environment maps, later textures) through OpenImageIO.
#pragma once

#include <string>
#include <vector>

namespace engine::io {

// An image as linear RGB floats, three per pixel, rows from the top of the picture down (the
// order the file stores them in, and the order pbrt-v4 indexes image pixels in).
struct rgb_image_data {
  int width = 0, height = 0;
  std::vector<float> pixels;

  const float* at(int x, int y) const { return &pixels[3 * (size_t(y) * size_t(width) + x)]; }
};

// Reads the first subimage of a file: R, G and B from its first three channels, or grey from the
// first channel of an image with fewer (grey, grey and alpha). 8- and 16-bit integer images are
// decoded from sRGB unless the file says it is linear, as pbrt-v4 reads PNGs; float images stay as
// they are. Throws std::runtime_error with OpenImageIO's reason (the caller names the file and
// where the scene asked for it). Images above 2^28 pixels are refused rather than allocated.
rgb_image_data read_rgb_image(const std::string& path);

}  // namespace engine::io
