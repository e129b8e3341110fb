// The image codec library: the engine's image files through OpenImageIO (see image_codec.h).
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imageio.h>

#include <stdexcept>

#include "engine/io/image_codec.h"

namespace {

using engine::io::image_format;
using engine::io::image_pixels;

// EXR, PNG and JPEG; OpenImageIO picks the writer by the extension.
void write_with_openimageio(const std::string& name, image_format format, int width, int height,
                            const void* data) {
  const bool display = engine::io::is_display_format(format);
  OIIO::ImageSpec layout(width, height, 3, display ? OIIO::TypeDesc::UINT8 : OIIO::TypeDesc::FLOAT);
  layout.attribute("oiio:ColorSpace", display ? "sRGB" : "Linear");
  if (format == image_format::exr) layout.attribute("compression", "zip");
  if (format == image_format::jpeg) layout.attribute("Compression", "jpeg:95");

  auto out = OIIO::ImageOutput::create(name);
  if (!out) throw std::runtime_error(OIIO::geterror());
  if (!out->open(name, layout)) throw std::runtime_error(out->geterror());
  const bool written = out->write_image(layout.format, data);
  const bool closed = out->close();
  if (!written || !closed) throw std::runtime_error(out->geterror());
}

image_pixels read_with_openimageio(const std::string& path) {
  // An ImageBuf reads the file's own description (its pixel format and colour space tag) before
  // any pixel, so the size is checked before anything is allocated.
  OIIO::ImageBuf file(path);
  const OIIO::ImageSpec& header = file.nativespec();
  if (file.has_error()) {
    throw std::runtime_error("cannot read image \"" + path + "\": " + file.geterror());
  }
  // Bounded like the rest of the reader's input: 2^28 values are a gigabyte of floats.
  const int64_t count = int64_t(header.width) * header.height * header.nchannels;
  if (header.width <= 0 || header.height <= 0 || header.nchannels <= 0 || header.depth > 1 ||
      count > (int64_t(1) << 28)) {
    throw std::runtime_error("image \"" + path + "\" has an unusable size " +
                             std::to_string(header.width) + " x " + std::to_string(header.height) +
                             " x " + std::to_string(header.nchannels));
  }
  image_pixels out;
  out.width = header.width;
  out.height = header.height;
  out.channels = header.nchannels;
  out.eight_bit = header.format.basetype == OIIO::TypeDesc::UINT8;
  out.sixteen_bit = header.format.basetype == OIIO::TypeDesc::UINT16;
  const std::string color_space = header.get_string_attribute("oiio:ColorSpace");
  out.tagged_linear = color_space == "Linear" || color_space == "linear";
  out.values.resize(size_t(count));
  if (!file.read(0, 0, true, OIIO::TypeDesc::FLOAT) ||
      !file.get_pixels(OIIO::ROI::All(), OIIO::TypeDesc::FLOAT, out.values.data())) {
    throw std::runtime_error("cannot read image \"" + path + "\": " + file.geterror());
  }
  return out;
}

constexpr engine::io::image_codec openimageio_codec{write_with_openimageio, read_with_openimageio};

}  // namespace

extern "C" __attribute__((visibility("default"))) const engine::io::image_codec* qor_image_codec() {
  return &openimageio_codec;
}
