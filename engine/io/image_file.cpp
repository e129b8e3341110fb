#include "engine/io/image_file.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <OpenImageIO/imageio.h>

namespace engine::io {

namespace {

std::string lower_extension(const std::string& path) {
  std::string extension = std::filesystem::path(path).extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension;
}

// OpenImageIO picks its writer, and the PNM writer picks PFM, by the file's extension.
const char* writer_extension(image_format format) {
  switch (format) {
    case image_format::exr:
      return "exr";
    case image_format::png:
      return "png";
    case image_format::jpeg:
      return "jpg";
    case image_format::pfm:
      return "pfm";
  }
  return "";
}

bool is_display_format(image_format format) {
  return format == image_format::png || format == image_format::jpeg;
}

// Removes the temporary file unless the write got as far as renaming it.
struct temporary_file {
  std::string name;
  bool kept = false;
  ~temporary_file() {
    if (!kept) {
      std::error_code ignored;
      std::filesystem::remove(name, ignored);
    }
  }
};

}  // namespace

std::optional<image_format> image_format_for(const std::string& path) {
  const std::string extension = lower_extension(path);
  if (extension == ".exr") return image_format::exr;
  if (extension == ".png") return image_format::png;
  if (extension == ".jpg" || extension == ".jpeg") return image_format::jpeg;
  if (extension == ".pfm") return image_format::pfm;
  return std::nullopt;
}

float srgb_from_linear(float linear) {
  if (linear <= 0.0031308f) return 12.92f * linear;
  return 1.055f * std::pow(linear, 1.0f / 2.4f) - 0.055f;
}

unsigned char srgb8_from_linear(float linear) {
  if (!(linear > 0.0f)) return 0;  // also NaN
  if (linear >= 1.0f) return 255;
  return static_cast<unsigned char>(std::lround(srgb_from_linear(linear) * 255.0f));
}

std::string temporary_name_for(const std::string& path) {
  const std::filesystem::path target(path);
  // Hidden, unique to this process, and ending in the same extension, which the writers read.
  std::string name = ".";
  name.append(target.stem().string())
      .append(".tmp-")
      .append(std::to_string(static_cast<long>(::getpid())))
      .append(target.extension().string());
  return (target.parent_path() / name).string();
}

void write_image(const std::string& path, const qorImage_block& block, float display_scale) {
  const auto format = image_format_for(path);
  if (!format) {
    throw std::runtime_error("cannot write '" + path +
                             "': unknown image format (use .exr, .png, .jpg or .pfm)");
  }
  if (block.width <= 0 || block.height <= 0) {
    throw std::runtime_error("cannot write '" + path + "': the image is empty (" +
                             std::to_string(block.width) + " x " + std::to_string(block.height) +
                             ")");
  }
  const size_t values = size_t(3) * size_t(block.width) * size_t(block.height);
  const float* pixels = block.pixels();

  OIIO::ImageSpec spec(block.width, block.height, 3,
                       is_display_format(*format) ? OIIO::TypeDesc::UINT8 : OIIO::TypeDesc::FLOAT);
  std::vector<float> linear;
  std::vector<unsigned char> encoded;
  const void* data = nullptr;
  if (is_display_format(*format)) {
    encoded.resize(values);
    for (size_t i = 0; i < values; ++i) encoded[i] = srgb8_from_linear(pixels[i] * display_scale);
    data = encoded.data();
    spec.attribute("oiio:ColorSpace", "sRGB");
    if (*format == image_format::jpeg) spec.attribute("Compression", "jpeg:95");
  } else {
    linear.resize(values);
    for (size_t i = 0; i < values; ++i) linear[i] = pixels[i] * display_scale;
    data = linear.data();
    spec.attribute("oiio:ColorSpace", "Linear");
    if (*format == image_format::exr) spec.attribute("compression", "zip");
  }

  auto fail = [&](const std::string& why) {
    return std::runtime_error("cannot write '" + path + "': " + why);
  };

  temporary_file temporary{temporary_name_for(path)};
  auto out = OIIO::ImageOutput::create(writer_extension(*format));
  if (!out) throw fail(OIIO::geterror());
  if (!out->open(temporary.name, spec)) throw fail(out->geterror());
  const bool written = out->write_image(spec.format, data);
  const bool closed = out->close();
  if (!written || !closed) throw fail(out->geterror());

  std::error_code error;
  std::filesystem::rename(temporary.name, path, error);
  if (error) throw fail(error.message());
  temporary.kept = true;
}

}  // namespace engine::io
