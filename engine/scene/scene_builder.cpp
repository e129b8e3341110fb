#include "engine/scene/scene_builder.h"

#include <algorithm>
#include <cmath>

#include "engine/scene/shapes/shape_kind.h"
#include "engine/scene/vector_math.h"

namespace qor::scene {

namespace {

using matrix = std::array<std::array<double, 4>, 4>;

transform translation(const double3& d) {
  matrix m{{{1, 0, 0, d[0]}, {0, 1, 0, d[1]}, {0, 0, 1, d[2]}, {0, 0, 0, 1}}};
  matrix inv{{{1, 0, 0, -d[0]}, {0, 1, 0, -d[1]}, {0, 0, 1, -d[2]}, {0, 0, 0, 1}}};
  return {m, inv};
}

// pbrt writes the 16 numbers of Transform and ConcatTransform column by column.
transform from_pbrt_order(const std::array<double, 16>& v) {
  matrix m;
  for (int i = 0; i < 4; i++)
    for (int j = 0; j < 4; j++) m[j][i] = v[i * 4 + j];
  return transform::from_matrix(m);
}

}  // namespace

scene_builder::scene_builder(std::string main_file, file_loader load)
    : main_file_(std::move(main_file)), load_(std::move(load)) {
  scene_.materials.push_back({{"diffuse", {}, {main_file_, 0, 0}}, ""});
  scene_.film.location = scene_.camera.location = {main_file_, 0, 0};
}

void scene_builder::apply(const transform& t) {
  if (start_transform_active_) state_.ctm = state_.ctm * t;
}

void scene_builder::require_options(const char* directive, const file_location& loc) {
  if (in_world_) {
    throw scene_error(loc, std::string("expected ") + directive +
                               " before WorldBegin, found it after the WorldBegin at " +
                               to_string(world_begin_location_));
  }
}

void scene_builder::require_world(const char* directive, const file_location& loc) {
  if (!in_world_) {
    throw scene_error(loc, std::string("expected WorldBegin before ") + directive + ", found " +
                               directive + " among the rendering options");
  }
}

// ---- transformations

void scene_builder::identity(const file_location&) {
  if (start_transform_active_) state_.ctm = transform{};
}

void scene_builder::translate(const double3& d, const file_location&) {
  apply(translation(d));
}

void scene_builder::scale(const double3& s, const file_location&) {
  apply(
      transform::from_matrix({{{s[0], 0, 0, 0}, {0, s[1], 0, 0}, {0, 0, s[2], 0}, {0, 0, 0, 1}}}));
}

void scene_builder::rotate(double degrees, const double3& axis, const file_location& loc) {
  double l = length(axis);
  if (!(l > 0) || !std::isfinite(l)) {
    throw scene_error(loc, "expected a non-zero rotation axis, found " + text(axis));
  }
  double3 a = normalize(axis);
  double theta = radians(degrees);
  double s = std::sin(theta), c = std::cos(theta);
  matrix m{};
  m[0][0] = a[0] * a[0] + (1 - a[0] * a[0]) * c;
  m[0][1] = a[0] * a[1] * (1 - c) - a[2] * s;
  m[0][2] = a[0] * a[2] * (1 - c) + a[1] * s;
  m[1][0] = a[0] * a[1] * (1 - c) + a[2] * s;
  m[1][1] = a[1] * a[1] + (1 - a[1] * a[1]) * c;
  m[1][2] = a[1] * a[2] * (1 - c) - a[0] * s;
  m[2][0] = a[0] * a[2] * (1 - c) - a[1] * s;
  m[2][1] = a[1] * a[2] * (1 - c) + a[0] * s;
  m[2][2] = a[2] * a[2] + (1 - a[2] * a[2]) * c;
  m[3][3] = 1;
  matrix transposed;
  for (int i = 0; i < 4; i++)
    for (int j = 0; j < 4; j++) transposed[i][j] = m[j][i];
  apply({m, transposed});
}

void scene_builder::look_at(const double3& eye, const double3& look, const double3& up,
                            const file_location& loc) {
  double3 d = sub(look, eye);
  if (!(length(d) > 0) || !std::isfinite(length(d))) {
    throw scene_error(
        loc, "expected LookAt's eye and target to be distinct points, found both at " + text(eye));
  }
  if (!(length(up) > 0) || !std::isfinite(length(up))) {
    throw scene_error(loc, "expected a non-zero up vector in LookAt, found " + text(up));
  }
  double3 dir = normalize(d);
  double3 right = cross(normalize(up), dir);
  if (!(length(right) > 0)) {
    throw scene_error(loc,
                      "expected an up vector that is not parallel to the viewing direction "
                      "in LookAt, found up " +
                          text(up) + " along direction " + text(dir));
  }
  right = normalize(right);
  double3 new_up = cross(dir, right);
  matrix world_from_camera{{{right[0], new_up[0], dir[0], eye[0]},
                            {right[1], new_up[1], dir[1], eye[1]},
                            {right[2], new_up[2], dir[2], eye[2]},
                            {0, 0, 0, 1}}};
  apply(transform::from_matrix(world_from_camera).inverse());
}

void scene_builder::concat_transform(const std::array<double, 16>& values, const file_location&) {
  apply(from_pbrt_order(values));
}

void scene_builder::set_transform(const std::array<double, 16>& values, const file_location&) {
  if (start_transform_active_) state_.ctm = from_pbrt_order(values);
}

void scene_builder::coordinate_system(const std::string& name, const file_location&) {
  named_coordinate_systems_[name] = state_.ctm;
}

void scene_builder::coord_sys_transform(const std::string& name, const file_location& loc) {
  auto it = named_coordinate_systems_.find(name);
  if (it == named_coordinate_systems_.end()) {
    warn_.warn(loc, "no coordinate system named \"" + name +
                        "\" (CoordinateSystem defines them; Camera defines \"camera\", WorldBegin "
                        "\"world\"); the transformation is left unchanged");
    return;
  }
  if (start_transform_active_) state_.ctm = it->second;
}

void scene_builder::active_transform(const std::string& which, const file_location& loc) {
  start_transform_active_ = which != "EndTime";
  if (!start_transform_active_ && !warned_motion_blur_) {
    warned_motion_blur_ = true;
    warn_.warn(loc, "motion blur is not supported: transformations for the end time are ignored");
  }
}

void scene_builder::transform_times(double start, double end, const file_location& loc) {
  if (start != 0 || end != 1) {
    warn_.warn(loc, "motion blur is not supported: TransformTimes is ignored");
  }
}

// ---- options

void scene_builder::camera(const std::string& type, const parameter_list& params,
                           const file_location& loc) {
  require_options("Camera", loc);
  if (!state_.ctm.invertible()) {
    throw scene_error(loc, "expected an invertible transformation at Camera, found a singular one");
  }
  camera_description& c = scene_.camera;
  c = camera_description{};
  c.given = true;
  c.type = type;
  c.location = loc;
  c.camera_from_world = state_.ctm;
  named_coordinate_systems_["camera"] = state_.ctm.inverse();
  if (type != "perspective") {
    warn_.warn(loc, "camera \"" + type +
                        "\" is not supported (only \"perspective\"); a perspective camera is "
                        "used with its parameters");
  }
  if (const parameter* p = params.find("fov")) {
    double fov = params.get_float("fov", 90);
    if (!(fov > 0 && fov < 180)) {
      throw scene_error(p->value_location(0),
                        "expected a field of view between 0 and 180 degrees, found " + text(fov));
    }
    c.fov = float(fov);
  }
  if (const parameter* p = params.find("lensradius")) {
    double r = params.get_float("lensradius", 0);
    if (r < 0)
      throw scene_error(p->value_location(0),
                        "expected a lens radius of 0 or more, found " + text(r));
    c.lens_radius = float(r);
  }
  if (const parameter* p = params.find("focaldistance")) {
    double d = params.get_float("focaldistance", 1e6);
    if (!(d > 0))
      throw scene_error(p->value_location(0),
                        "expected a positive focal distance, found " + text(d));
    c.focal_distance = float(d);
  }
  if (const parameter* p = params.find("frameaspectratio")) {
    double a = params.get_float("frameaspectratio", 1);
    if (!(a > 0))
      throw scene_error(p->value_location(0),
                        "expected a positive frame aspect ratio, found " + text(a));
    c.frame_aspect_ratio = float(a);
  }
  if (const parameter* p = params.get_array("screenwindow", parameter_type::float_)) {
    if (p->size() != 4) {
      throw scene_error(p->location, "expected 4 values [x0 x1 y0 y1] for " + p->declaration() +
                                         ", found " + std::to_string(p->size()));
    }
    if (!(p->numbers[0] < p->numbers[1] && p->numbers[2] < p->numbers[3])) {
      throw scene_error(p->location, "expected a screen window with x0 < x1 and y0 < y1, found [" +
                                         text(p->numbers[0]) + " " + text(p->numbers[1]) + " " +
                                         text(p->numbers[2]) + " " + text(p->numbers[3]) + "]");
    }
    c.screen_window = std::array<float, 4>{float(p->numbers[0]), float(p->numbers[1]),
                                           float(p->numbers[2]), float(p->numbers[3])};
  }
  params.report_unused(warn_, "Camera \"" + type + "\"");
}

void scene_builder::film(const std::string& type, const parameter_list& params,
                         const file_location& loc) {
  require_options("Film", loc);
  film_description& f = scene_.film;
  f = film_description{};
  f.location = loc;
  if (type != "rgb" && type != "gbuffer" && type != "spectral" && type != "image") {
    warn_.warn(loc, "film \"" + type + "\" is not supported; an RGB film is used");
  }
  auto resolution = [&](const char* name, int fallback) {
    const parameter* p = params.find(name);
    if (!p) return fallback;
    int64_t v = params.get_integer(name, fallback);
    if (v < 1 || v > 65536) {
      throw scene_error(
          p->value_location(0),
          std::string("expected ") + name + " between 1 and 65536, found " + std::to_string(v));
    }
    return int(v);
  };
  f.xresolution = resolution("xresolution", 1280);
  f.yresolution = resolution("yresolution", 720);
  f.filename = params.get_string("filename", "");
  const parameter* crop = params.get_array("cropwindow", parameter_type::float_);
  const parameter* bounds = params.get_array("pixelbounds", parameter_type::integer);
  f.pixel_x0 = 0;
  f.pixel_y0 = 0;
  f.pixel_x1 = f.xresolution;
  f.pixel_y1 = f.yresolution;
  if (crop && bounds) {
    warn_.warn(bounds->location,
               "both \"cropwindow\" and \"pixelbounds\" are given; the crop "
               "window is used, as pbrt-v4 does");
  }
  if (crop) {
    if (crop->size() != 4) {
      throw scene_error(crop->location, "expected 4 values [x0 x1 y0 y1] for " +
                                            crop->declaration() + ", found " +
                                            std::to_string(crop->size()));
    }
    const auto& v = crop->numbers;
    float x0 = std::clamp(float(std::min(v[0], v[1])), 0.0f, 1.0f);
    float x1 = std::clamp(float(std::max(v[0], v[1])), 0.0f, 1.0f);
    float y0 = std::clamp(float(std::min(v[2], v[3])), 0.0f, 1.0f);
    float y1 = std::clamp(float(std::max(v[2], v[3])), 0.0f, 1.0f);
    f.crop_window = {x0, x1, y0, y1};
    f.pixel_x0 = int(std::ceil(f.xresolution * x0));
    f.pixel_x1 = int(std::ceil(f.xresolution * x1));
    f.pixel_y0 = int(std::ceil(f.yresolution * y0));
    f.pixel_y1 = int(std::ceil(f.yresolution * y1));
  } else if (bounds) {
    if (bounds->size() != 4) {
      throw scene_error(bounds->location, "expected 4 values [x0 x1 y0 y1] for " +
                                              bounds->declaration() + ", found " +
                                              std::to_string(bounds->size()));
    }
    const auto& v = bounds->numbers;
    f.pixel_x0 = std::clamp(int(v[0]), 0, f.xresolution);
    f.pixel_x1 = std::clamp(int(v[1]), 0, f.xresolution);
    f.pixel_y0 = std::clamp(int(v[2]), 0, f.yresolution);
    f.pixel_y1 = std::clamp(int(v[3]), 0, f.yresolution);
    f.crop_window = {float(f.pixel_x0) / f.xresolution, float(f.pixel_x1) / f.xresolution,
                     float(f.pixel_y0) / f.yresolution, float(f.pixel_y1) / f.yresolution};
  }
  if (f.pixel_x0 >= f.pixel_x1 || f.pixel_y0 >= f.pixel_y1) {
    const parameter* p = crop ? crop : bounds;
    throw scene_error(p->location,
                      "expected a crop window that covers at least one pixel, found "
                      "pixels [" +
                          std::to_string(f.pixel_x0) + ", " + std::to_string(f.pixel_x1) + ") x [" +
                          std::to_string(f.pixel_y0) + ", " + std::to_string(f.pixel_y1) + ")");
  }
  params.report_unused(warn_, "Film \"" + type + "\"");
}

void scene_builder::sampler(const std::string& type, const parameter_list& params,
                            const file_location& loc) {
  require_options("Sampler", loc);
  scene_.settings.sampler_location = loc;
  if (const parameter* p = params.find("pixelsamples")) {
    int64_t n = params.get_integer("pixelsamples", 16);
    if (n < 1) {
      throw scene_error(p->value_location(0),
                        "expected at least 1 for \"pixelsamples\", found " + std::to_string(n));
    }
    // pbrt-v4's SPPM runs one iteration per pixel sample; numiterations (pbrt-v3) overrides.
    if (!iterations_from_integrator_) scene_.settings.iterations = int(n);
  }
  // The sample pattern is the renderer's own, whatever the sampler's type; its other parameters
  // (seed, randomization, ...) have no counterpart and are reported.
  params.report_unused(warn_, "Sampler \"" + type + "\" (only \"pixelsamples\" is used)");
}

void scene_builder::integrator(const std::string& type, const parameter_list& params,
                               const file_location& loc) {
  require_options("Integrator", loc);
  render_settings& s = scene_.settings;
  s.integrator = type;
  s.integrator_location = loc;
  s.renderer_parameters.clear();
  s.radius = 0;
  iterations_from_integrator_ = false;
  if (type == "ppm" || type == "asppm") {
    for (const parameter& p : params.parameters) {
      s.renderer_parameters.push_back({p.type_name, p.name, p.numbers, p.strings, p.location});
    }
    params.mark_all_used();
    return;
  }
  if (type != "sppm") {
    warn_.warn(loc, "integrator \"" + type +
                        "\" is not supported; the scene is rendered with progressive photon "
                        "mapping and the integrator's parameters are ignored");
    params.mark_all_used();
    return;
  }
  auto positive = [&](const char* name) -> std::optional<int64_t> {
    const parameter* p = params.find(name);
    if (!p) return std::nullopt;
    int64_t n = params.get_integer(name, 1);
    if (n < 1) {
      throw scene_error(p->value_location(0), std::string("expected a positive \"") + name +
                                                  "\", found " + std::to_string(n));
    }
    return n;
  };
  if (const parameter* p = params.find("iterations")) {
    warn_.warn(p->location,
               "pbrt-v4's \"sppm\" has no \"iterations\" parameter; it is taken as "
               "pbrt-v3's \"numiterations\"");
    s.iterations = int(*positive("iterations"));
  }
  if (auto n = positive("numiterations")) s.iterations = int(*n);
  iterations_from_integrator_ = params.find("iterations") || params.find("numiterations");
  if (const parameter* p = params.find("photonsperiteration")) {
    int64_t n = params.get_integer("photonsperiteration", -1);
    if (n == -1) {
      s.photons_per_iteration = 0;
    } else if (n < 1) {
      throw scene_error(p->value_location(0),
                        "expected a positive \"photonsperiteration\" (or -1 for one photon per "
                        "pixel), found " +
                            std::to_string(n));
    } else {
      s.photons_per_iteration = n;
    }
  }
  if (const parameter* p = params.find("radius")) {
    const double r = params.get_float("radius", 1);
    if (!(r > 0) || !std::isfinite(r)) {
      throw scene_error(p->value_location(0),
                        "expected a positive finite \"radius\", found " + text(r));
    }
    s.radius = float(r);
  }
  if (const parameter* p = params.find("maxdepth")) {
    positive("maxdepth");
    warn_.warn(p->location,
               "\"maxdepth\" is not used: photon paths end by Russian roulette on the surfaces' "
               "albedo, camera paths after 8 mirror or glass bounces");
  }
  params.report_unused(warn_, "Integrator \"sppm\"");
}

void scene_builder::pixel_filter(const std::string& type, const parameter_list& params,
                                 const file_location& loc) {
  require_options("PixelFilter", loc);
  struct filter_defaults {
    const char* type;
    float radius;
  };
  static constexpr filter_defaults kinds[] = {
      {"box", 0.5f}, {"gaussian", 1.5f}, {"mitchell", 2.0f}, {"sinc", 4.0f}, {"triangle", 2.0f}};
  const auto kind = std::find_if(std::begin(kinds), std::end(kinds),
                                 [&](const filter_defaults& k) { return type == k.type; });
  if (kind == std::end(kinds)) {
    warn_.warn(loc, "pixel filter \"" + type + "\" is not supported; a Gaussian one is used");
    params.mark_all_used();
    return;
  }
  pixel_filter_description& f = scene_.pixel_filter;
  f = pixel_filter_description{};
  f.type = type;
  f.location = loc;
  auto positive = [&](const char* name, float fallback) {
    const double v = params.get_float(name, fallback);
    if (!(v > 0) || !std::isfinite(v)) {
      throw scene_error(
          params.find(name)->value_location(0),
          std::string("expected a positive ") + name + ", found " + std::to_string(v));
    }
    return float(v);
  };
  f.radius[0] = positive("xradius", kind->radius);
  f.radius[1] = positive("yradius", kind->radius);
  if (type == "gaussian") f.sigma = positive("sigma", f.sigma);
  if (type == "mitchell") {
    f.b = float(params.get_float("B", f.b));
    f.c = float(params.get_float("C", f.c));
  }
  if (type == "sinc") f.tau = positive("tau", f.tau);
  params.report_unused(warn_, "PixelFilter \"" + type + "\"");
}

void scene_builder::accelerator(const std::string&, const parameter_list& params,
                                const file_location& loc) {
  require_options("Accelerator", loc);
  params.mark_all_used();  // the ray tracer chooses its own acceleration structure
}

void scene_builder::color_space(const std::string& name, const file_location& loc) {
  if (name != "srgb") {
    warn_.warn(loc,
               "colour space \"" + name + "\" is not supported; colours are read as linear sRGB");
  }
}

void scene_builder::option(const parameter_list& params, const file_location&) {
  params.mark_all_used();  // pbrt's run-time options have no meaning here
}

void scene_builder::make_named_medium(const std::string& name, const parameter_list& params,
                                      const file_location& loc) {
  warn_.warn(loc, "participating media are not supported; medium \"" + name + "\" is ignored");
  params.mark_all_used();
}

void scene_builder::medium_interface(const std::string& inside, const std::string& outside,
                                     const file_location& loc) {
  if (!inside.empty() || !outside.empty()) {
    warn_.warn(loc, "participating media are not supported; MediumInterface is ignored");
  }
}

// ---- the world

void scene_builder::world_begin(const file_location& loc) {
  require_options("WorldBegin", loc);
  in_world_ = true;
  world_begin_location_ = loc;
  state_.ctm = transform{};
  start_transform_active_ = true;
  named_coordinate_systems_["world"] = transform{};
}

void scene_builder::world_end(const file_location&) {}

void scene_builder::attribute_begin(const file_location& loc) {
  stack_.push_back({block_kind::attribute, state_, loc});
}

void scene_builder::transform_begin(const file_location& loc) {
  stack_.push_back({block_kind::transform, state_, loc});
}

namespace {
const char* begin_name(int kind) {
  static const char* names[] = {"AttributeBegin", "TransformBegin", "ObjectBegin", "Import"};
  return names[kind];
}
const char* end_name(int kind) {
  static const char* names[] = {"AttributeEnd", "TransformEnd", "ObjectEnd",
                                "the end of the imported file"};
  return names[kind];
}
}  // namespace

void scene_builder::close_block(block_kind kind, const char* directive, const file_location& loc) {
  if (stack_.empty() || (kind != block_kind::import && stack_.back().kind == block_kind::import)) {
    throw scene_error(loc, std::string("expected ") + begin_name(int(kind)) + " before this " +
                               directive + ", found no open " + begin_name(int(kind)));
  }
  const open_block& open = stack_.back();
  if (open.kind != kind) {
    throw scene_error(loc, std::string("expected ") + end_name(int(open.kind)) + " to close the " +
                               begin_name(int(open.kind)) + " at " + to_string(open.location) +
                               ", found " + directive);
  }
}

void scene_builder::attribute_end(const file_location& loc) {
  close_block(block_kind::attribute, "AttributeEnd", loc);
  state_ = stack_.back().saved;
  stack_.pop_back();
}

void scene_builder::transform_end(const file_location& loc) {
  close_block(block_kind::transform, "TransformEnd", loc);
  state_.ctm = stack_.back().saved.ctm;
  stack_.pop_back();
}

void scene_builder::import_begin(const file_location& loc) {
  stack_.push_back({block_kind::import, state_, loc});
}

void scene_builder::import_end(const file_location& loc) {
  close_block(block_kind::import, "the end of the imported file", loc);
  state_ = stack_.back().saved;
  stack_.pop_back();
}

void scene_builder::attribute(const std::string& target, const parameter_list& params,
                              const file_location& loc) {
  warn_.warn(loc,
             "Attribute is not supported; the defaults it sets for \"" + target + "\" are ignored");
  params.mark_all_used();
}

void scene_builder::reverse_orientation(const file_location&) {
  state_.reverse_orientation = !state_.reverse_orientation;
}

void scene_builder::texture(const std::string& name, const std::string& value_type,
                            const std::string& texture_class, const parameter_list& params,
                            const file_location& loc) {
  require_world("Texture", loc);
  texture_description t;
  t.type = texture_class;
  t.parameters = params;
  t.location = loc;
  t.name = name;
  t.value_type = value_type;
  t.world_from_texture = state_.ctm;
  scene_.textures.push_back(std::move(t));
}

// ---- materials

void scene_builder::material(const std::string& type, const parameter_list& params,
                             const file_location& loc) {
  require_world("Material", loc);
  scene_.materials.push_back({{type, params, loc}, ""});
  state_.material = int32_t(scene_.materials.size() - 1);
}

void scene_builder::make_named_material(const std::string& name, const parameter_list& params,
                                        const file_location& loc) {
  require_world("MakeNamedMaterial", loc);
  const parameter* type = params.find("type");
  if (!type) {
    throw scene_error(loc, "expected a \"string type\" parameter for MakeNamedMaterial \"" + name +
                               "\", found none");
  }
  std::string type_name = params.get_string("type", "");
  auto it = named_materials_.find(name);
  if (it != named_materials_.end() && it->second.defined) {
    throw scene_error(loc, "expected one definition of named material \"" + name +
                               "\", found a second (the first at " +
                               to_string(scene_.materials[it->second.index].location) + ")");
  }
  material_description m{{type_name, params, loc}, name};
  if (it != named_materials_.end()) {
    // Used before it was defined: fill in the entry the shapes already point at.
    scene_.materials[it->second.index] = m;
    it->second.defined = true;
  } else {
    scene_.materials.push_back(m);
    named_materials_[name] = {int32_t(scene_.materials.size() - 1), true, loc};
  }
}

void scene_builder::named_material(const std::string& name, const file_location& loc) {
  require_world("NamedMaterial", loc);
  auto it = named_materials_.find(name);
  if (it == named_materials_.end()) {
    // pbrt-v4 looks named materials up once the whole file is read; keep a place for this one.
    scene_.materials.push_back({{"", {}, loc}, name});
    it = named_materials_
             .emplace(name, named_material_entry{int32_t(scene_.materials.size() - 1), false, loc})
             .first;
  }
  state_.material = it->second.index;
}

// ---- lights

void scene_builder::light_source(const std::string& type, const parameter_list& params,
                                 const file_location& loc) {
  require_world("LightSource", loc);
  scene_.lights.push_back({{type, params, loc}, state_.ctm});
}

void scene_builder::area_light_source(const std::string& type, const parameter_list& params,
                                      const file_location& loc) {
  require_world("AreaLightSource", loc);
  scene_.area_lights.push_back({{type, params, loc}});
  state_.area_light = int32_t(scene_.area_lights.size() - 1);
}

// ---- shapes

void scene_builder::shape(const std::string& type, const parameter_list& params,
                          const file_location& loc) {
  require_world("Shape", loc);
  if (!state_.ctm.invertible()) {
    throw scene_error(loc,
                      "expected an invertible transformation at Shape, found a singular one "
                      "(a Scale by 0?)");
  }
  const shape_factory make = find_shape_kind(type);
  if (make == nullptr) {
    warn_.warn(loc, "shape \"" + type + "\" is not supported (supported: " + shape_kind_names() +
                        "); it is ignored");
    params.mark_all_used();
    return;
  }
  const shape_context context{
      type,
      params,
      state_.ctm,
      state_.reverse_orientation,
      loc,
      warn_,
      [&](const std::string& name, const file_location& at, const char* what) {
        return load_relative(name, loc.file, main_file_, load_, at, what);
      }};
  shape_description s = make(context);
  if (const parameter* alpha = params.find("alpha")) {
    if (alpha->type == parameter_type::texture || params.get_float("alpha", 1) != 1) {
      warn_.warn(alpha->location, "alpha cut-outs are not supported; the shape is opaque");
    }
  }
  params.report_unused(warn_, "Shape \"" + type + "\"");

  s.area_light = state_.area_light;
  if (current_object_ >= 0 && s.area_light >= 0) {
    warn_.warn(loc,
               "area lights are not supported inside ObjectBegin/ObjectEnd, as in pbrt-v4; "
               "this shape does not emit");
    s.area_light = -1;
  }
  s.material = state_.material;
  s.reverse_orientation = state_.reverse_orientation;
  s.transform_swaps_handedness = state_.ctm.swaps_handedness();
  s.source_type = type;
  s.location = loc;
  if (current_object_ >= 0) {
    scene_.objects[current_object_].shapes.push_back(std::move(s));
  } else {
    scene_.shapes.push_back(std::move(s));
  }
}

// ---- instancing

void scene_builder::object_begin(const std::string& name, const file_location& loc) {
  require_world("ObjectBegin", loc);
  if (current_object_ >= 0) {
    throw scene_error(loc, "expected ObjectEnd to close the ObjectBegin at " +
                               to_string(scene_.objects[current_object_].location) +
                               ", found another ObjectBegin");
  }
  if (auto it = object_names_.find(name); it != object_names_.end()) {
    throw scene_error(loc, "expected one definition of object \"" + name +
                               "\", found a second (the first at " +
                               to_string(scene_.objects[it->second].location) + ")");
  }
  stack_.push_back({block_kind::object, state_, loc});
  scene_.objects.push_back({name, {}, loc});
  current_object_ = int32_t(scene_.objects.size() - 1);
  object_names_[name] = current_object_;
}

void scene_builder::object_end(const file_location& loc) {
  require_world("ObjectEnd", loc);
  close_block(block_kind::object, "ObjectEnd", loc);
  state_ = stack_.back().saved;
  stack_.pop_back();
  current_object_ = -1;
}

void scene_builder::object_instance(const std::string& name, const file_location& loc) {
  require_world("ObjectInstance", loc);
  if (current_object_ >= 0) {
    throw scene_error(loc, "expected ObjectEnd to close the ObjectBegin at " +
                               to_string(scene_.objects[current_object_].location) +
                               " before ObjectInstance, found ObjectInstance inside it");
  }
  if (!state_.ctm.invertible()) {
    throw scene_error(loc,
                      "expected an invertible transformation at ObjectInstance, found a "
                      "singular one");
  }
  instance_description instance;
  instance.world_from_instance = state_.ctm;
  instance.location = loc;
  // pbrt-v4 resolves instances once the whole file is read, so an object may be defined later.
  pending_instances_.push_back({name, scene_.instances.size()});
  scene_.instances.push_back(instance);
}

void scene_builder::unsupported_directive(const std::string& name, const file_location& loc) {
  warn_.warn(loc, name +
                      " is a directive of an earlier pbrt version with no counterpart here; "
                      "it and its arguments are ignored");
}

void scene_builder::end_of_input(const file_location& loc) {
  if (!stack_.empty()) {
    const open_block& open = stack_.back();
    throw scene_error(open.location, std::string("expected ") + end_name(int(open.kind)) +
                                         " to close this " + begin_name(int(open.kind)) +
                                         ", found end of file at " + to_string(loc));
  }
  for (const pending_instance& p : pending_instances_) {
    auto it = object_names_.find(p.name);
    if (it == object_names_.end()) {
      throw scene_error(
          scene_.instances[p.instance].location,
          "expected an object defined by ObjectBegin \"" + p.name + "\", found no such object");
    }
    scene_.instances[p.instance].object = it->second;
  }
  for (const auto& [name, entry] : named_materials_) {
    if (!entry.defined) {
      throw scene_error(entry.first_use, "expected a material defined by MakeNamedMaterial \"" +
                                             name + "\", found no such material");
    }
  }
}

}  // namespace qor::scene
