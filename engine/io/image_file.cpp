#include "engine/io/image_file.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "engine/io/image_codec.h"
#include "engine/io/image_writer_child.h"

namespace engine::io {

namespace {

std::string lower_extension(const std::string& path) {
  std::string extension = std::filesystem::path(path).extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension;
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

// OpenImageIO 2.4 (Debian 12) reads PFM but cannot write it, and the format is a few lines: a
// text header whose negative scale says little-endian, then float rows from the bottom up.
void write_pfm(const std::string& name, const std::vector<float>& values, int width, int height) {
  std::FILE* file = std::fopen(name.c_str(), "wb");
  if (file == nullptr) throw std::runtime_error(std::strerror(errno));
  static_assert(std::endian::native == std::endian::little);
  bool ok = std::fprintf(file, "PF\n%d %d\n-1.0\n", width, height) > 0;
  const size_t row = size_t(3) * size_t(width);
  for (int y = height - 1; ok && y >= 0; --y) {
    ok = std::fwrite(values.data() + row * size_t(y), sizeof(float), row, file) == row;
  }
  const int saved_errno = errno;
  if (std::fclose(file) != 0 || !ok) {
    throw std::runtime_error(std::strerror(ok ? errno : saved_errno));
  }
}

}  // namespace

std::optional<image_format> image_format_for(const std::string& path) {
  const std::string extension = lower_extension(path);
  if (extension == ".exr") return image_format::exr;
  if (extension == ".png") return image_format::png;
  if (extension == ".jpg" || extension == ".jpeg") return image_format::jpeg;
  if (extension == ".pfm") return image_format::pfm;
  return std::nullopt;
}

float linear_from_srgb(float encoded) {
  return encoded <= 0.04045f ? encoded / 12.92f : std::pow((encoded + 0.055f) / 1.055f, 2.4f);
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

image_pixels read_image(const std::string& path) {
  // Regular files only: a scene that names a device or a pipe fails here instead of blocking.
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    throw std::runtime_error(
        "cannot read image \"" + path +
        "\": " + (std::filesystem::exists(path, error) ? "not a regular file" : "no such file"));
  }
  return loaded_image_codec().read(path);
}

rgb_image_data read_rgb_image(const std::string& path) {
  const image_pixels raw = read_image(path);
  const bool decode_srgb = (raw.eight_bit || raw.sixteen_bit) && !raw.tagged_linear;
  rgb_image_data image;
  image.width = raw.width;
  image.height = raw.height;
  const size_t count = size_t(raw.width) * size_t(raw.height);
  image.pixels.resize(3 * count);
  for (size_t p = 0; p < count; ++p) {
    const float* in = &raw.values[p * size_t(raw.channels)];
    for (int c = 0; c < 3; ++c) {
      const float v = raw.channels >= 3 ? in[c] : in[0];
      image.pixels[3 * p + size_t(c)] = decode_srgb ? linear_from_srgb(v) : v;
    }
  }
  return image;
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
  auto failure = [&](const std::string& why) {
    std::string message = "cannot write '";
    message.append(path).append("': ").append(why);
    return std::runtime_error(message);
  };
  const auto format = image_format_for(path);
  if (!format) throw failure("unknown image format (use .exr, .png, .jpg or .pfm)");
  if (block.width <= 0 || block.height <= 0) {
    throw failure("the image is empty (" + std::to_string(block.width) + " x " +
                  std::to_string(block.height) + ")");
  }

  const size_t values = size_t(3) * size_t(block.width) * size_t(block.height);
  const float* pixels = block.pixels();
  std::vector<float> linear;
  std::vector<unsigned char> encoded;
  if (is_display_format(*format)) {
    encoded.resize(values);
    for (size_t i = 0; i < values; ++i) encoded[i] = srgb8_from_linear(pixels[i] * display_scale);
  } else {
    linear.resize(values);
    for (size_t i = 0; i < values; ++i) linear[i] = pixels[i] * display_scale;
  }

  temporary_file temporary{temporary_name_for(path)};
  try {
    if (*format == image_format::pfm) {
      write_pfm(temporary.name, linear, block.width, block.height);
    } else {
      const void* data = encoded.empty() ? static_cast<const void*>(linear.data()) : encoded.data();
      if (!image_writer_child::write(temporary.name, *format, block.width, block.height, data)) {
        loaded_image_codec().write(temporary.name, *format, block.width, block.height, data);
      }
    }
  } catch (const std::runtime_error& error) {
    throw failure(error.what());
  }

  std::error_code error;
  std::filesystem::rename(temporary.name, path, error);
  if (error) throw failure(error.message());
  temporary.kept = true;
}

}  // namespace engine::io
