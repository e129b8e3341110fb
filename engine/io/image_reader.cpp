#include "engine/io/image_reader.h"

#include <cmath>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include <OpenImageIO/imageio.h>

namespace engine::io {

namespace {

float linear_from_srgb(float v) {
  return v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f);
}

}  // namespace

rgb_image_data read_rgb_image(const std::string& path) {
  // Regular files only: a scene that names a device or a pipe fails here instead of blocking.
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    throw std::runtime_error(std::filesystem::exists(path, error) ? "not a regular file"
                                                                  : "no such file");
  }
  auto input = OIIO::ImageInput::open(path);
  if (!input) {
    std::string reason = OIIO::geterror();
    throw std::runtime_error(reason.empty() ? "cannot open the image" : reason);
  }
  const OIIO::ImageSpec& image_spec = input->spec();
  const int channels = image_spec.nchannels;
  if (image_spec.width <= 0 || image_spec.height <= 0 || channels <= 0 || image_spec.depth > 1) {
    throw std::runtime_error("the image has no pixels");
  }
  if (double(image_spec.width) * double(image_spec.height) > double(1 << 28)) {
    throw std::runtime_error("the image is too large (" + std::to_string(image_spec.width) + " x " +
                             std::to_string(image_spec.height) + " pixels)");
  }
  std::vector<float> raw(size_t(image_spec.width) * size_t(image_spec.height) * size_t(channels));
  if (!input->read_image(0, 0, 0, channels, OIIO::TypeDesc::FLOAT, raw.data())) {
    std::string reason = input->geterror();
    throw std::runtime_error(reason.empty() ? "cannot read the pixels" : reason);
  }
  const bool integer = image_spec.format.basetype == OIIO::TypeDesc::UINT8 ||
                       image_spec.format.basetype == OIIO::TypeDesc::UINT16;
  const std::string color_space = image_spec.get_string_attribute("oiio:ColorSpace");
  const bool decode_srgb = integer && color_space != "Linear" && color_space != "linear";

  rgb_image_data image;
  image.width = image_spec.width;
  image.height = image_spec.height;
  image.pixels.resize(size_t(image.width) * size_t(image.height) * 3);
  for (size_t p = 0; p < size_t(image.width) * size_t(image.height); ++p) {
    const float* in = &raw[p * size_t(channels)];
    for (int c = 0; c < 3; ++c) {
      const float v = channels >= 3 ? in[c] : in[0];
      image.pixels[3 * p + size_t(c)] = decode_srgb ? linear_from_srgb(v) : v;
    }
  }
  return image;
}

}  // namespace engine::io
