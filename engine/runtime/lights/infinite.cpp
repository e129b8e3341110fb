// LightSource "infinite": radiance arriving from every direction at infinity, either constant
// ("L", white by default) or from an image ("filename"): pbrt-v4's square equal-area octahedral
// maps, or a 2:1 equirectangular (latitude-longitude) map. "scale" multiplies it; "illuminance"
// sets its level before the scale so that the light's upper hemisphere (its own +z) gives that
// illuminance on an upward surface, as pbrt-v4 measures it. Directions go from the light's space
// (the CTM at the LightSource) to the world by the CTM's linear part.
//
// Photons start on a disc that covers the scene's bounding sphere, one radius outside it, and
// travel into the scene; their directions follow the map's radiance, so every photon of a map
// carries about the same power. Shadow rays draw directions from the same distribution.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <numbers>
#include <vector>

#include "engine/io/image_file.h"
#include "engine/runtime/lights/light.h"
#include "engine/runtime/scattering.h"
#include "engine/scene/parse_scene.h"
#include "engine/scene/vector_math.h"

namespace engine {

namespace {

namespace sc = qor::scene;

// A piecewise-constant density over [0, 1): intervals in proportion to non-negative weights.
class piecewise_constant {
 public:
  explicit piecewise_constant(std::vector<double> weights) : weight_(std::move(weights)) {
    cdf_.assign(weight_.size() + 1, 0.0);
    for (size_t i = 0; i < weight_.size(); ++i) cdf_[i + 1] = cdf_[i] + weight_[i];
    total_ = cdf_.back();
    if (!(total_ > 0)) {  // nothing to prefer: uniform
      std::fill(weight_.begin(), weight_.end(), 1.0);
      for (size_t i = 0; i <= weight_.size(); ++i) cdf_[i] = double(i);
      total_ = double(weight_.size());
    }
  }

  // The point of [0, 1) for u, by inverting the running sums, with its interval and density.
  double sample(double u, size_t& interval, double& density) const {
    const double target = u * total_;
    const auto it = std::upper_bound(cdf_.begin(), cdf_.end(), target);
    interval =
        std::min<size_t>(size_t(std::max<ptrdiff_t>(it - cdf_.begin() - 1, 0)), weight_.size() - 1);
    // Empty intervals have no width in the running sums; upper_bound already skipped them.
    const double width = weight_[interval];
    const double within = width > 0 ? std::clamp((target - cdf_[interval]) / width, 0.0, 1.0) : 0.5;
    density = density_of(interval);
    return std::min((double(interval) + within) / double(weight_.size()), 1.0 - 1e-12);
  }

  double density_of(size_t interval) const {
    return weight_[interval] * double(weight_.size()) / total_;
  }

 private:
  std::vector<double> weight_;
  std::vector<double> cdf_;  // running sums of the weights, from 0
  double total_ = 0;
};

// The map's parameterisation of the unit sphere by image coordinates (s, t) in [0, 1)^2, with t
// from the top row down.
enum class map_layout { octahedral, equirectangular };

// pbrt-v4's equal-area octahedral mapping: the square folds onto the sphere with +z in the
// middle and -z at the four corners, every pixel covering the same solid angle.
vec3 sphere_from_octahedral(double s, double t) {
  const double u = 2 * s - 1, v = 2 * t - 1;
  const double au = std::abs(u), av = std::abs(v);
  const double signed_distance = 1 - (au + av);  // > 0 inside the inner diamond (+z)
  const double r = 1 - std::abs(signed_distance);
  const double phi = (r == 0 ? 1 : (av - au) / r + 1) * std::numbers::pi / 4;
  const double z = std::copysign(1 - r * r, signed_distance);
  const double ring = r * std::sqrt(std::max(0.0, 2 - r * r));
  return {std::copysign(std::cos(phi), u) * ring, std::copysign(std::sin(phi), v) * ring, z};
}

void octahedral_from_sphere(const vec3& d, double& s, double& t) {
  const double x = std::abs(d.x), y = std::abs(d.y), z = std::abs(d.z);
  const double r = std::sqrt(std::max(0.0, 1 - z));
  const double a = std::max(x, y), b = std::min(x, y);
  double phi = (a == 0 ? 0.0 : std::atan(b / a)) * 2 / std::numbers::pi;  // 0 .. 1 over 45 deg
  if (x < y) phi = 1 - phi;
  double v = phi * r, u = r - v;
  if (d.z < 0) {  // the lower hemisphere folds out over the triangles beyond the diamond
    std::swap(u, v);
    u = 1 - u;
    v = 1 - v;
  }
  s = (std::copysign(u, d.x) + 1) / 2;
  t = (std::copysign(v, d.y) + 1) / 2;
}

// pbrt's latitude-longitude maps: the top row looks along +z, phi = atan2(y, x) runs along a row.
vec3 sphere_from_equirectangular(double s, double t) {
  const double theta = t * std::numbers::pi, phi = s * 2 * std::numbers::pi;
  return {std::sin(theta) * std::cos(phi), std::sin(theta) * std::sin(phi), std::cos(theta)};
}

void equirectangular_from_sphere(const vec3& d, double& s, double& t) {
  double phi = std::atan2(d.y, d.x);
  if (phi < 0) phi += 2 * std::numbers::pi;
  s = phi / (2 * std::numbers::pi);
  t = std::acos(std::clamp(d.z, -1.0, 1.0)) / std::numbers::pi;
}

// The radiance of an image map in the light's space, with the distribution its directions are
// drawn from. Pixels are looked up without filtering, as pbrt-v4 looks up its environment maps.
class radiance_map {
 public:
  radiance_map(const io::rgb_image_data& image, map_layout layout)
      : width_(image.width), height_(image.height), layout_(layout) {
    texels_.resize(size_t(width_) * size_t(height_));
    for (size_t p = 0; p < texels_.size(); ++p) {
      const float* v = &image.pixels[3 * p];
      texels_[p] = rgb{v[0], v[1], v[2]};
    }
    // Pixels weighted by the solid angle they cover (per unit of s and t), so that a direction's
    // density over the sphere follows its radiance. A black row is never chosen (unless the whole
    // map is black, when every direction is equally likely).
    std::vector<double> row_weights(size_t(height_), 0.0);
    for (int y = 0; y < height_; ++y) {
      std::vector<double> weights(static_cast<size_t>(width_));
      const double area = solid_angle_density((y + 0.5) / height_);
      for (int x = 0; x < width_; ++x) {
        weights[size_t(x)] = texel(x, y).mean() * area;
        row_weights[size_t(y)] += weights[size_t(x)];
      }
      rows_.emplace_back(std::move(weights));
    }
    row_choice_ = std::make_unique<piecewise_constant>(std::move(row_weights));
  }

  // Radiance arriving from light-space direction d (unit).
  rgb radiance(const vec3& d) const {
    double s, t;
    if (layout_ == map_layout::octahedral) {
      octahedral_from_sphere(d, s, t);
    } else {
      equirectangular_from_sphere(d, s, t);
    }
    return texel(std::clamp(int(s * width_), 0, width_ - 1),
                 std::clamp(int(t * height_), 0, height_ - 1));
  }

  // A light-space direction drawn in proportion to radiance times solid angle, with its density
  // per steradian (0 where the map is black).
  vec3 sample(double u1, double u2, double& density) const {
    size_t row, column;
    double row_density, column_density;
    const double t = row_choice_->sample(u1, row, row_density);
    const double s = rows_[row].sample(u2, column, column_density);
    const double sin_factor = solid_angle_density(t);
    density = sin_factor > 0 ? row_density * column_density / sin_factor : 0;
    return direction_of(s, t);
  }

  // Integral of radiance over the sphere (W / m^2 of flux through a unit area facing every way
  // at once), per channel.
  rgb radiant_exitance_integral() const {
    double sum[3] = {0, 0, 0};
    for (int y = 0; y < height_; ++y) {
      const double pixel_solid_angle = row_solid_angle(y) / width_;
      for (int x = 0; x < width_; ++x) {
        for (int c = 0; c < 3; ++c) sum[c] += texel(x, y)[c] * pixel_solid_angle;
      }
    }
    return rgb{float(sum[0]), float(sum[1]), float(sum[2])};
  }

  // pbrt-v4's measure of a map's illuminance on an upward (+z) surface: the luminance of the
  // pixels whose centres lie above the horizon times their cosine there, each weighted by half
  // its solid angle (pbrt-v4 weighs each pixel of its square maps by 2 pi / pixels). Scenes set
  // "illuminance" against this measure, so it is kept, half weights and all.
  double upper_illuminance_measure() const {
    double sum = 0;
    for (int y = 0; y < height_; ++y) {
      const double half_pixel = row_solid_angle(y) / width_ / 2;
      for (int x = 0; x < width_; ++x) {
        const vec3 d = direction_of((x + 0.5) / width_, (y + 0.5) / height_);
        if (d.z <= 0) continue;
        const rgb& L = texel(x, y);
        sum += (0.2126 * L.r + 0.7152 * L.g + 0.0722 * L.b) * d.z * half_pixel;
      }
    }
    return sum;
  }

  void rescale(float factor) {
    for (rgb& t : texels_) t = t * factor;
  }

 private:
  const rgb& texel(int x, int y) const { return texels_[size_t(y) * size_t(width_) + size_t(x)]; }

  vec3 direction_of(double s, double t) const {
    return layout_ == map_layout::octahedral ? sphere_from_octahedral(s, t)
                                             : sphere_from_equirectangular(s, t);
  }

  // Solid angle per unit of image area (s, t) at row coordinate t: 4 pi for the equal-area map,
  // 2 pi^2 sin(theta) for the latitude-longitude map.
  double solid_angle_density(double t) const {
    if (layout_ == map_layout::octahedral) return 4 * std::numbers::pi;
    return 2 * std::numbers::pi * std::numbers::pi * std::sin(t * std::numbers::pi);
  }

  // The solid angle of row y, exactly.
  double row_solid_angle(int y) const {
    if (layout_ == map_layout::octahedral) return 4 * std::numbers::pi / height_;
    const double t0 = double(y) / height_ * std::numbers::pi;
    const double t1 = double(y + 1) / height_ * std::numbers::pi;
    return 2 * std::numbers::pi * (std::cos(t0) - std::cos(t1));
  }

  int width_, height_;
  map_layout layout_;
  std::vector<rgb> texels_;  // W / (m^2 sr), rows from the top
  std::vector<piecewise_constant> rows_;
  std::unique_ptr<piecewise_constant> row_choice_;  // the marginal density of the rows
};

// A 3x3 matrix, row-major, that carries directions between the light's space and the world.
struct direction_map {
  double m[3][3];
  vec3 apply(const vec3& v) const {
    return {m[0][0] * v.x + m[0][1] * v.y + m[0][2] * v.z,
            m[1][0] * v.x + m[1][1] * v.y + m[1][2] * v.z,
            m[2][0] * v.x + m[2][1] * v.y + m[2][2] * v.z};
  }
};

class infinite_light final : public scene_light {
 public:
  // map: null for constant radiance. Both maps are the CTM's linear part and its inverse.
  infinite_light(std::shared_ptr<const radiance_map> map, const rgb& constant,
                 const direction_map& world_from_light, const direction_map& light_from_world,
                 const scene_extent& scene)
      : scene_light(light_type::infinite),
        map_(std::move(map)),
        constant_(constant),
        world_from_light_(world_from_light),
        light_from_world_(light_from_world),
        center_(scene.center),
        radius_(scene.radius) {}

  rgb total_power() const override {
    const rgb integral =
        map_ ? map_->radiant_exitance_integral() : constant_ * float(4 * std::numbers::pi);
    return integral * float(std::numbers::pi * radius_ * radius_);
  }

  photon_start emit(const double u[4]) const override {
    double density;
    const vec3 towards_light = sample_direction(u[0], u[1], density);
    photon_start start;
    start.direction = -towards_light;
    double x, y;
    sample_concentric_disk(u[2], u[3], x, y);
    vec3 t, b;
    orthonormal_basis(towards_light, t, b);
    start.origin = center_ + towards_light * radius_ + (t * x + b * y) * radius_;
    if (density > 0) {
      start.power =
          radiance_from(towards_light) * float(std::numbers::pi * radius_ * radius_ / density);
    }
    return start;
  }

  bool incident(const vec3&, double u1, double u2, incident_light& out) const override {
    double density;
    out.direction = sample_direction(u1, u2, density);
    out.distance = INFINITY;
    if (!(density > 0)) return false;
    out.irradiance = radiance_from(out.direction) * float(1 / density);
    return !out.irradiance.is_black();
  }

  rgb escaping_radiance(const vec3& direction) const override { return radiance_from(direction); }

 private:
  // Radiance arriving from world direction w (unit, pointing away from the scene).
  rgb radiance_from(const vec3& w) const {
    if (!map_) return constant_;
    return map_->radiance(normalize(light_from_world_.apply(w)));
  }

  // A world direction towards the light (unit) and its density per steradian.
  vec3 sample_direction(double u1, double u2, double& density) const {
    if (!map_) {
      density = 1 / (4 * std::numbers::pi);
      return sample_uniform_sphere(u1, u2);
    }
    const vec3 d = map_->sample(u1, u2, density);
    return normalize(world_from_light_.apply(d));
  }

  std::shared_ptr<const radiance_map> map_;
  rgb constant_;
  direction_map world_from_light_, light_from_world_;
  vec3 center_;
  double radius_;
};

std::string resolve_next_to(const std::string& name, const sc::file_location& where) {
  namespace fs = std::filesystem;
  const fs::path path(name);
  if (path.is_absolute() || where.file.empty()) return name;
  return (fs::path(where.file).parent_path() / path).lexically_normal().string();
}

}  // namespace

light_source make_infinite(const light_context& light) {
  const sc::parameter_list& params = light.parameters();
  const sc::file_location& loc = light.entity.location;
  const float scale = float(params.get_float("scale", 1));
  const float illuminance = light.non_negative("illuminance");
  if (const sc::parameter* portal = params.find("portal")) {
    light.warnings.warn(portal->location,
                        "\"portal\" of an infinite light is not supported; the light is sampled "
                        "over the whole sphere instead (the image is the same, only noisier)");
    portal->used = true;
  }

  const sc::parameter* file_parameter = params.find("filename");
  const sc::parameter* radiance_parameter = params.find("L");
  if (file_parameter && radiance_parameter) {
    throw sc::scene_error(
        radiance_parameter->location,
        "expected either \"L\" or \"filename\" for an infinite light, found both");
  }

  const sc::transform& t = light.world_from_light;
  direction_map world_from_light, light_from_world;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      world_from_light.m[r][c] = t.m[r][c];
      light_from_world.m[r][c] = t.m_inverse[r][c];
    }
  }
  if (!t.invertible()) {
    throw sc::scene_error(loc, "expected an invertible transformation for an infinite light");
  }

  std::shared_ptr<const radiance_map> map;
  rgb constant;
  std::string summary;
  if (file_parameter) {
    const std::string name = params.get_string("filename", "");
    const sc::file_location at = file_parameter->value_location(0);
    const std::string path = resolve_next_to(name, loc);
    io::rgb_image_data image;
    try {
      image = io::read_rgb_image(path);
    } catch (const std::exception& e) {
      throw sc::scene_error(at, std::string("expected a readable environment image: ") + e.what());
    }
    map_layout layout;
    if (image.width == image.height) {
      layout = map_layout::octahedral;
    } else if (image.width == 2 * image.height) {
      layout = map_layout::equirectangular;
    } else {
      throw sc::scene_error(at,
                            "expected a square (equal-area octahedral) or 2:1 "
                            "(equirectangular) environment image, found \"" +
                                path + "\" of " + std::to_string(image.width) + " x " +
                                std::to_string(image.height) + " pixels");
    }
    size_t negative = 0;
    for (float& v : image.pixels) {
      if (!std::isfinite(v)) {
        throw sc::scene_error(at, "expected finite radiance in the environment image, found a " +
                                      std::string(std::isnan(v) ? "NaN" : "infinite") +
                                      " value in \"" + path + "\"");
      }
      if (v < 0) {
        ++negative;
        v = 0;
      }
    }
    if (negative > 0) {
      light.warnings.warn(at, "environment image \"" + path + "\" has " + std::to_string(negative) +
                                  " negative values; they are taken as 0");
    }
    const int width = image.width, height = image.height;
    auto made = std::make_shared<radiance_map>(image, layout);
    // pbrt-v4 measures the map before "scale", then applies both.
    double factor = scale;
    if (illuminance > 0) {
      const double measure = made->upper_illuminance_measure();
      if (!(measure > 0)) {
        throw sc::scene_error(loc,
                              "expected an environment image with light above the horizon "
                              "to scale to \"illuminance\", found none in \"" +
                                  path + "\"");
      }
      factor *= illuminance / measure;
    }
    made->rescale(float(factor));
    light.finite_intensity(made->radiant_exitance_integral());
    map = made;
    summary = "infinite light, image " + path + " (" + std::to_string(width) + " x " +
              std::to_string(height) +
              (layout == map_layout::octahedral ? ", equal-area octahedral" : ", equirectangular") +
              ")";
  } else {
    // A constant sky of radiance L; "illuminance" E gives L = E / pi, what a uniform upper
    // hemisphere needs to give E on an upward surface.
    const rgb L = light.emission("L");
    constant = light.finite_intensity(
        L * (illuminance > 0 ? scale * float(illuminance / std::numbers::pi) : scale));
    summary = "infinite light, radiance " + text(constant);
  }
  return {summary,
          [=](const scene_extent& scene) {
            return std::make_unique<infinite_light>(map, constant, world_from_light,
                                                    light_from_world, scene);
          },
          loc};
}

}  // namespace engine
