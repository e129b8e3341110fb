// Texture "imagemap": an image file (anything OpenImageIO reads: PNG, EXR, JPEG, TGA, ...) over
// the uv mapping, filtered bilinearly. As in pbrt-v4, (s, t) = (0, 0) is the image's bottom-left
// corner; 8-bit images are sRGB-encoded unless "encoding" says otherwise, others linear; a float
// texture takes the mean of the channels.
#include <cmath>
#include <filesystem>
#include <stdexcept>

#include "engine/io/image_file.h"
#include "engine/runtime/textures/texture.h"
#include "engine/scene/parse_scene.h"

namespace engine {

namespace {

namespace sc = qor::scene;

enum class wrap_mode { repeat, clamp, black };

// The image as linear RGB, rows from the top.
struct rgb_image {
  int width = 0, height = 0;
  std::vector<rgb> pixels;
};

class image_texture final : public texture {
 public:
  image_texture(rgb_image image, uv_mapping mapping, wrap_mode wrap, bool nearest, float scale,
                bool invert)
      : image_(std::move(image)),
        mapping_(mapping),
        wrap_(wrap),
        nearest_(nearest),
        scale_(scale),
        invert_(invert) {}

  rgb evaluate(const texture_point& at) const override {
    const auto [s, t] = mapping_.map(at);
    const double x = s * image_.width - 0.5, y = (1 - t) * image_.height - 0.5;
    rgb value;
    if (nearest_) {
      value = texel(int(std::lround(x)), int(std::lround(y)));
    } else {
      const double fx = std::floor(x), fy = std::floor(y);
      const float dx = float(x - fx), dy = float(y - fy);
      const int x0 = int(fx), y0 = int(fy);
      value = texel(x0, y0) * ((1 - dx) * (1 - dy)) + texel(x0 + 1, y0) * (dx * (1 - dy)) +
              texel(x0, y0 + 1) * ((1 - dx) * dy) + texel(x0 + 1, y0 + 1) * (dx * dy);
    }
    value = value * scale_;
    if (invert_) value = rgb{1 - value.r, 1 - value.g, 1 - value.b};
    return {std::max(value.r, 0.0f), std::max(value.g, 0.0f), std::max(value.b, 0.0f)};
  }

 private:
  rgb texel(int x, int y) const {
    const int w = image_.width, h = image_.height;
    switch (wrap_) {
      case wrap_mode::repeat:
        x = ((x % w) + w) % w;
        y = ((y % h) + h) % h;
        break;
      case wrap_mode::clamp:
        x = std::clamp(x, 0, w - 1);
        y = std::clamp(y, 0, h - 1);
        break;
      case wrap_mode::black:
        if (x < 0 || x >= w || y < 0 || y >= h) return {};
        break;
    }
    return image_.pixels[size_t(y) * size_t(w) + size_t(x)];
  }

  rgb_image image_;
  uv_mapping mapping_;
  wrap_mode wrap_;
  bool nearest_;
  float scale_;
  bool invert_;
};

// The file named by "filename", relative to the scene file that names it.
std::filesystem::path image_path(const texture_context& texture, const sc::parameter& p) {
  std::filesystem::path path(texture.entity.parameters.get_string("filename", ""));
  if (path.is_relative() && !p.location.file.empty()) {
    path = std::filesystem::path(p.location.file).parent_path() / path;
  }
  return path;
}

}  // namespace

texture_ref make_imagemap(const texture_context& texture) {
  const sc::parameter_list& params = texture.entity.parameters;
  const sc::parameter* file = params.find("filename");
  if (file == nullptr) {
    throw sc::scene_error(texture.entity.location,
                          "expected a \"string filename\" for imagemap texture \"" +
                              texture.entity.name + "\", found none");
  }
  const std::filesystem::path path = image_path(texture, *file);
  io::image_pixels pixels;
  try {
    pixels = io::read_image(path.string());
  } catch (const std::exception& e) {
    throw sc::scene_error(file->value_location(0),
                          std::string("expected a readable image: ") + e.what());
  }

  const std::string wrap_name = params.get_string("wrap", "repeat");
  wrap_mode wrap = wrap_mode::repeat;
  if (wrap_name == "clamp") {
    wrap = wrap_mode::clamp;
  } else if (wrap_name == "black") {
    wrap = wrap_mode::black;
  } else if (wrap_name != "repeat") {
    throw sc::scene_error(params.find("wrap")->value_location(0),
                          "expected \"repeat\", \"clamp\" or \"black\" for \"string wrap\", found "
                          "\"" +
                              wrap_name + "\"");
  }
  // "point" looks up the nearest texel; every other filter is bilinear here.
  const bool nearest = params.get_string("filter", "bilinear") == "point";
  params.find("maxanisotropy");

  const std::string encoding = params.get_string("encoding", pixels.eight_bit ? "sRGB" : "linear");
  double gamma = 1;
  if (encoding.rfind("gamma ", 0) == 0) {
    gamma = std::atof(encoding.c_str() + 6);
  } else if (encoding != "sRGB" && encoding != "linear") {
    throw sc::scene_error(params.find("encoding")->value_location(0),
                          "expected \"sRGB\", \"linear\" or \"gamma <value>\" for \"string "
                          "encoding\", found \"" +
                              encoding + "\"");
  }
  auto decode = [&](float v) {
    if (encoding == "sRGB") return io::linear_from_srgb(v);
    return gamma == 1 ? v : float(std::pow(std::max(v, 0.0f), gamma));
  };

  rgb_image image;
  image.width = pixels.width;
  image.height = pixels.height;
  image.pixels.resize(size_t(pixels.width) * size_t(pixels.height));
  const int c = pixels.channels;
  const bool mean = texture.value_type() == texture_value::float_;
  for (size_t i = 0; i < image.pixels.size(); ++i) {
    const float* v = &pixels.values[i * size_t(c)];
    // Grey images repeat their channel; a fourth channel (alpha) is not colour.
    const int colour_channels = c >= 3 ? 3 : 1;
    rgb value = colour_channels == 3 ? rgb{decode(v[0]), decode(v[1]), decode(v[2])}
                                     : rgb::gray(decode(v[0]));
    if (mean) value = rgb::gray((value.r + value.g + value.b) / 3);
    image.pixels[i] = value;
  }
  return std::make_shared<image_texture>(std::move(image), uv_mapping::read(texture), wrap, nearest,
                                         float(params.get_float("scale", 1)),
                                         params.get_bool("invert", false));
}

}  // namespace engine
