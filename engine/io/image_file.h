// Image files: the final image and the preview file, written through OpenImageIO.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/records.h"

namespace engine::io {

enum class image_format {
  exr,   // linear float RGB
  png,   // 8-bit sRGB, clamped to [0, 1]
  jpeg,  // 8-bit sRGB, clamped to [0, 1]
  pfm,   // linear float RGB
};

// Whether the format stores 8-bit sRGB codes (PNG, JPEG) rather than linear floats.
inline bool is_display_format(image_format format) {
  return format == image_format::png || format == image_format::jpeg;
}

// The format a file name asks for, by its extension (case-insensitive: .exr, .png, .jpg, .jpeg,
// .pfm); nullopt for any other name.
std::optional<image_format> image_format_for(const std::string& path);

// The sRGB transfer function of a linear value already clamped to [0, 1], and its inverse.
float srgb_from_linear(float linear);
float linear_from_srgb(float encoded);

// Linear value -> 8-bit sRGB code: clamps to [0, 1] first; NaN and negative values give 0.
unsigned char srgb8_from_linear(float linear);

// Writes the block's width x height pixels, each multiplied by display_scale, in the format the
// extension names. The file is written under a temporary name in the same directory and renamed
// over `path` only once complete, so a reader (or a crash) never sees half an image. Throws
// std::runtime_error naming the file on any failure, leaving an existing file at `path` as it was.
void write_image(const std::string& path, const qorImage_block& block, float display_scale);

// An image read from a file, as textures and environment maps take it: rows from the top,
// `channels` floats per pixel, the values as stored (8- and 16-bit codes scaled to [0, 1], no
// transfer function undone: the reader of the file decides its encoding).
struct image_pixels {
  int width = 0, height = 0, channels = 0;
  bool eight_bit = false;    // stored with 8 bits per channel (PNG, JPEG, TGA): sRGB by convention
  bool sixteen_bit = false;  // stored as 16-bit integers
  bool tagged_linear = false;  // the file says its codes are linear
  std::vector<float> values;
};

// Reads any regular image file OpenImageIO knows (EXR, PNG, JPEG, TGA, ...); throws
// std::runtime_error with the file name and the reason when it cannot. Images above 2^28 values
// are refused rather than allocated.
image_pixels read_image(const std::string& path);

// An image as linear RGB floats, three per pixel, rows from the top of the picture down (the
// order the file stores them in, and the order pbrt-v4 indexes image pixels in).
struct rgb_image_data {
  int width = 0, height = 0;
  std::vector<float> pixels;

  const float* at(int x, int y) const { return &pixels[3 * (size_t(y) * size_t(width) + x)]; }
};

// read_image as linear RGB: R, G and B from the first three channels, or grey from the first
// channel of an image with fewer. 8- and 16-bit integer images are decoded from sRGB unless the
// file says it is linear, as pbrt-v4 reads PNGs; float images stay as they are.
rgb_image_data read_rgb_image(const std::string& path);

// The temporary name write_image uses for `path` in this process.
std::string temporary_name_for(const std::string& path);

}  // namespace engine::io
