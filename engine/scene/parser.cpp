#include "engine/scene/parser.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "engine/scene/spectra.h"
#include "engine/scene/tokenizer.h"

namespace qor::scene {

scene_error::scene_error(file_location location, const std::string& message)
    : std::runtime_error(to_string(location) + ": error: " + message),
      location_(std::move(location)),
      message_(message) {}

file_loader default_file_loader() {
  return [](const std::string& path) -> std::optional<std::string> {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return std::move(text).str();
  };
}

loaded_file load_relative(const std::string& name, const std::string& including_file,
                          const std::string& main_file, const file_loader& load,
                          const file_location& loc, const char* what) {
  namespace fs = std::filesystem;
  std::vector<std::string> candidates;
  if (fs::path(name).is_absolute()) {
    candidates.push_back(name);
  } else {
    for (const std::string& base : {including_file, main_file}) {
      std::string path = (fs::path(base).parent_path() / name).lexically_normal().string();
      if (std::find(candidates.begin(), candidates.end(), path) == candidates.end())
        candidates.push_back(path);
    }
  }
  for (const std::string& path : candidates) {
    if (auto contents = load(path)) return {path, std::move(*contents)};
  }
  std::string looked;
  for (size_t i = 0; i < candidates.size(); i++)
    looked += (i ? " or \"" : "\"") + candidates[i] + "\"";
  throw scene_error(loc,
                    std::string("expected ") + what + " at " + looked + ", found no readable file");
}

namespace {

using kind = token::kind_type;

// The numeric types hold numbers only; bool holds true/false; string and texture hold strings;
// spectrum holds either numbers or one name.
bool is_numeric(parameter_type t) {
  return t != parameter_type::boolean && t != parameter_type::string &&
         t != parameter_type::texture && t != parameter_type::spectrum;
}

bool looks_like_declaration(const std::string& text) {
  std::istringstream words(text);
  std::string type, name, extra;
  words >> type >> name;
  return !name.empty() && !(words >> extra) && parse_parameter_type(type).has_value();
}

std::optional<double> parse_number(std::string_view text) {
  if (text.empty()) return std::nullopt;
  char c = text[0];
  if (!(c == '-' || c == '+' || c == '.' || (c >= '0' && c <= '9'))) return std::nullopt;
  if (c == '+') text.remove_prefix(1);
  double v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (end != text.data() + text.size()) return std::nullopt;
  if (ec == std::errc::result_out_of_range) return HUGE_VAL;  // reported as not finite
  if (ec != std::errc()) return std::nullopt;
  return v;
}

class parser {
 public:
  parser(parser_target& target, const file_loader& load, std::string main_file)
      : target_(target), load_(load), main_file_(std::move(main_file)) {}

  void run(const std::string& text) {
    files_.push_back({std::make_unique<tokenizer>(text, main_file_), false});
    while (true) {
      tokenizer& tz = *files_.back().tokens;
      token t = tz.next();
      if (t.kind == kind::end) {
        file_location loc = location(t);
        bool imported = files_.back().imported;
        if (files_.size() == 1) {
          target_.end_of_input(loc);
          return;
        }
        files_.pop_back();
        if (imported) target_.import_end(loc);
        continue;
      }
      if (t.kind != kind::word) {
        throw error(
            t, "expected a directive (Shape, Material, AttributeBegin, ...), found " + describe(t));
      }
      directive(t);
    }
  }

 private:
  struct open_file {
    std::unique_ptr<tokenizer> tokens;
    bool imported;
  };

  tokenizer& tz() { return *files_.back().tokens; }
  file_location location(const token& t) { return {tz().file(), t.line, t.column}; }
  scene_error error(const token& t, const std::string& message) {
    return scene_error(location(t), message);
  }

  double number(const std::string& directive) {
    token t = tz().next();
    if (t.kind == kind::word) {
      if (auto v = parse_number(t.raw)) return finite(*v, t);
    }
    throw error(t, "expected a number after " + directive + ", found " + describe(t));
  }

  double3 numbers3(const std::string& directive) {
    double3 v;
    for (double& x : v) x = number(directive);
    return v;
  }

  // pbrt computes in single precision: a number beyond float's range is as good as infinite.
  double finite(double v, const token& t) {
    if (!std::isfinite(v) || std::abs(v) > double(FLT_MAX)) {
      throw error(t, "expected a finite number, found " + describe(t));
    }
    return v;
  }

  std::string string_argument(const std::string& what, const std::string& directive) {
    token t = tz().next();
    if (t.kind != kind::string) {
      throw error(t,
                  "expected " + what + " in quotes after " + directive + ", found " + describe(t));
    }
    return t.value;
  }

  std::array<double, 16> matrix(const std::string& directive) {
    std::array<double, 16> m;
    bool bracketed = tz().peek().kind == kind::open_bracket;
    token open;
    if (bracketed) open = tz().next();
    for (double& v : m) v = number(directive);
    if (bracketed) {
      token close = tz().next();
      if (close.kind != kind::close_bracket) {
        throw error(close, "expected ']' after the 16 numbers of " + directive + ", found " +
                               describe(close));
      }
    }
    return m;
  }

  void add_value(parameter& p, const token& t) {
    auto wrong = [&](const char* expected) {
      return error(t, std::string("expected ") + expected + " for " + p.declaration() + ", found " +
                          describe(t));
    };
    if (is_numeric(p.type) ||
        (p.type == parameter_type::spectrum && p.strings.empty() && t.kind == kind::word)) {
      const char* expected = p.type == parameter_type::integer ? "an integer" : "a number";
      if (t.kind != kind::word) throw wrong(expected);
      auto v = parse_number(t.raw);
      if (!v) throw wrong(expected);
      double x = finite(*v, t);
      if (p.type == parameter_type::integer &&
          (x != std::floor(x) || x < -2147483648.0 || x > 2147483647.0)) {
        throw wrong("an integer between -2147483648 and 2147483647");
      }
      p.numbers.push_back(x);
    } else if (p.type == parameter_type::boolean) {
      std::string_view text = t.kind == kind::string || t.kind == kind::word ? t.text() : "";
      if (text == "true") {
        p.numbers.push_back(1);
      } else if (text == "false") {
        p.numbers.push_back(0);
      } else {
        throw wrong("true or false");
      }
    } else {
      // string, texture, or a spectrum by name
      if (t.kind != kind::string) {
        throw wrong(p.type == parameter_type::spectrum ? "a spectrum name or numbers"
                                                       : "a quoted string");
      }
      if (p.type == parameter_type::spectrum && !p.numbers.empty()) throw wrong("a number");
      p.strings.push_back(t.value);
    }
    p.positions.push_back({t.line, t.column});
  }

  parameter_list parameters() {
    parameter_list list;
    while (tz().peek().kind == kind::string) {
      token decl = tz().next();
      std::istringstream words(decl.value);
      std::string type_name, name, extra;
      words >> type_name >> name;
      if (name.empty() || (words >> extra)) {
        throw error(decl,
                    "expected a parameter declaration \"type name\", found " + describe(decl));
      }
      auto type = parse_parameter_type(type_name);
      if (!type) {
        throw error(decl,
                    "expected a parameter type (integer, float, point2, vector2, point3, vector3, "
                    "normal, bool, string, texture, rgb, blackbody or spectrum), found \"" +
                        type_name + "\"");
      }
      parameter p;
      p.type = *type;
      p.type_name = type_name;
      p.name = name;
      p.location = location(decl);

      token v = tz().next();
      if (v.kind == kind::open_bracket) {
        while (true) {
          token e = tz().next();
          if (e.kind == kind::close_bracket) break;
          // A capitalised word is a directive: the list was never closed.
          if (e.kind == kind::end || (e.kind == kind::word && e.raw[0] >= 'A' && e.raw[0] <= 'Z')) {
            throw error(v, "expected ']' to close the '[' of " + p.declaration() + ", found " +
                               describe(e) + " at line " + std::to_string(e.line) + ", column " +
                               std::to_string(e.column));
          }
          // So is a parameter declaration inside a list of anything but strings.
          if (e.kind == kind::string && is_numeric(p.type) && looks_like_declaration(e.value)) {
            throw error(v, "expected ']' to close the '[' of " + p.declaration() + ", found " +
                               describe(e) + " at line " + std::to_string(e.line) + ", column " +
                               std::to_string(e.column));
          }
          if (e.kind == kind::open_bracket) {
            throw error(
                e, "expected a value or ']' in the list of " + p.declaration() + ", found '['");
          }
          add_value(p, e);
        }
        if (p.size() == 0) {
          throw error(v, "expected at least one value for " + p.declaration() + ", found []");
        }
      } else if (v.kind == kind::string || v.kind == kind::word) {
        add_value(p, v);
      } else {
        throw error(v, "expected a value for " + p.declaration() + ", found " + describe(v));
      }

      size_t group = 1;
      switch (p.type) {
        case parameter_type::point2:
        case parameter_type::vector2:
          group = 2;
          break;
        case parameter_type::point3:
        case parameter_type::vector3:
        case parameter_type::normal3:
        case parameter_type::rgb:
          group = 3;
          break;
        default:
          break;
      }
      if (p.size() % group != 0) {
        throw scene_error(p.location, "expected a multiple of " + std::to_string(group) +
                                          " values for " + p.declaration() + ", found " +
                                          std::to_string(p.size()));
      }
      if (p.type == parameter_type::spectrum && p.strings.size() == 1 &&
          !is_named_spectrum(p.strings[0])) {
        read_spectrum_file(p);
      }
      list.parameters.push_back(std::move(p));
    }
    return list;
  }

  // A "spectrum" given by a string that is not a named spectrum names a file of (wavelength,
  // value) pairs, found as Include finds its files. It is read here, where the including file
  // is known, and becomes the parameter's numbers as if they had been written inline.
  void read_spectrum_file(parameter& p) {
    const file_location at = p.value_location(0);
    loaded_file file =
        load_relative(p.strings[0], tz().file(), main_file_, load_, at, "the spectrum file");
    p.numbers = scene::read_spectrum_file(file.contents, file.path);
    p.strings.clear();
    p.positions.assign(p.numbers.size(), p.positions.front());
  }

  void include(const token& directive, bool imported) {
    token name = tz().next();
    if (name.kind != kind::string) {
      throw error(name, "expected a file name in quotes after " + std::string(directive.raw) +
                            ", found " + describe(name));
    }
    if (files_.size() >= size_t(max_include_depth)) {
      throw error(directive, "expected Include/Import nested at most " +
                                 std::to_string(max_include_depth) +
                                 " files deep, found deeper nesting (does a file include itself?)");
    }
    if (++files_read_ > max_included_files) {
      throw error(directive, "expected at most " + std::to_string(max_included_files) +
                                 " included files, found more");
    }
    loaded_file file = load_relative(name.value, tz().file(), main_file_, load_, location(name),
                                     "the included file");
    if (imported) target_.import_begin(location(directive));
    files_.push_back({std::make_unique<tokenizer>(std::move(file.contents), file.path), imported});
  }

  // Skips what follows a directive this renderer does not implement: strings, numbers and lists.
  void skip_arguments() {
    while (true) {
      const token& t = tz().peek();
      if (t.kind == kind::end) return;
      if (t.kind == kind::word && !parse_number(t.raw) && t.raw != "true" && t.raw != "false")
        return;
      tz().next();
    }
  }

  void directive(const token& t) {
    const std::string name(t.raw);
    const file_location loc = location(t);
    auto typed = [&](auto method) {
      std::string type = string_argument("a type name", name);
      parameter_list params = parameters();
      (target_.*method)(type, params, loc);
    };

    if (name == "AttributeBegin") return target_.attribute_begin(loc);
    if (name == "AttributeEnd") return target_.attribute_end(loc);
    if (name == "TransformBegin") return target_.transform_begin(loc);
    if (name == "TransformEnd") return target_.transform_end(loc);
    if (name == "Identity") return target_.identity(loc);
    if (name == "Translate") return target_.translate(numbers3(name), loc);
    if (name == "Scale") return target_.scale(numbers3(name), loc);
    if (name == "Rotate") {
      double angle = number(name);
      return target_.rotate(angle, numbers3(name), loc);
    }
    if (name == "LookAt") {
      double3 eye = numbers3(name), look = numbers3(name), up = numbers3(name);
      return target_.look_at(eye, look, up, loc);
    }
    if (name == "Transform") return target_.set_transform(matrix(name), loc);
    if (name == "ConcatTransform") return target_.concat_transform(matrix(name), loc);
    if (name == "CoordinateSystem")
      return target_.coordinate_system(string_argument("a name", name), loc);
    if (name == "CoordSysTransform")
      return target_.coord_sys_transform(string_argument("a name", name), loc);
    if (name == "ActiveTransform") {
      token which = tz().next();
      if (which.kind != kind::word ||
          (which.raw != "StartTime" && which.raw != "EndTime" && which.raw != "All")) {
        throw error(which, "expected StartTime, EndTime or All after ActiveTransform, found " +
                               describe(which));
      }
      return target_.active_transform(std::string(which.raw), loc);
    }
    if (name == "TransformTimes") {
      double start = number(name);
      return target_.transform_times(start, number(name), loc);
    }
    if (name == "ReverseOrientation") return target_.reverse_orientation(loc);
    if (name == "Camera") return typed(&parser_target::camera);
    if (name == "Film") return typed(&parser_target::film);
    if (name == "Sampler") return typed(&parser_target::sampler);
    if (name == "Integrator") return typed(&parser_target::integrator);
    if (name == "PixelFilter") return typed(&parser_target::pixel_filter);
    if (name == "Accelerator") return typed(&parser_target::accelerator);
    if (name == "ColorSpace") return target_.color_space(string_argument("a name", name), loc);
    if (name == "Option") {
      parameter_list params = parameters();
      if (params.parameters.size() != 1) {
        throw error(t, "expected one parameter after Option, found " +
                           std::to_string(params.parameters.size()));
      }
      return target_.option(params, loc);
    }
    if (name == "MakeNamedMedium") {
      std::string medium = string_argument("a name", name);
      return target_.make_named_medium(medium, parameters(), loc);
    }
    if (name == "MediumInterface") {
      std::string inside = string_argument("a medium name", name);
      std::string outside = inside;
      if (tz().peek().kind == kind::string) outside = tz().next().value;
      return target_.medium_interface(inside, outside, loc);
    }
    if (name == "WorldBegin") return target_.world_begin(loc);
    if (name == "WorldEnd") return target_.world_end(loc);
    if (name == "Attribute") {
      std::string target =
          string_argument("a target (shape, light, material, medium, texture)", name);
      return target_.attribute(target, parameters(), loc);
    }
    if (name == "Texture") {
      std::string texture = string_argument("a texture name", name);
      std::string value_type = string_argument("a texture type (float, spectrum)", name);
      std::string texture_class = string_argument("a texture class", name);
      return target_.texture(texture, value_type, texture_class, parameters(), loc);
    }
    if (name == "Material") return typed(&parser_target::material);
    if (name == "MakeNamedMaterial") {
      std::string material = string_argument("a material name", name);
      return target_.make_named_material(material, parameters(), loc);
    }
    if (name == "NamedMaterial")
      return target_.named_material(string_argument("a material name", name), loc);
    if (name == "LightSource") return typed(&parser_target::light_source);
    if (name == "AreaLightSource") return typed(&parser_target::area_light_source);
    if (name == "Shape") return typed(&parser_target::shape);
    if (name == "ObjectBegin")
      return target_.object_begin(string_argument("an object name", name), loc);
    if (name == "ObjectEnd") return target_.object_end(loc);
    if (name == "ObjectInstance")
      return target_.object_instance(string_argument("an object name", name), loc);
    if (name == "Include") return include(t, false);
    if (name == "Import") return include(t, true);
    // Directives of pbrt's earlier versions that have no counterpart here.
    if (name == "SurfaceIntegrator" || name == "VolumeIntegrator" || name == "Volume" ||
        name == "Renderer") {
      skip_arguments();
      return target_.unsupported_directive(name, loc);
    }
    throw error(
        t, "expected a directive (Shape, Material, AttributeBegin, ...), found " + describe(t));
  }

  parser_target& target_;
  const file_loader& load_;
  std::string main_file_;
  std::vector<open_file> files_;
  int files_read_ = 0;
};

}  // namespace

void parse(const std::string& text, const std::string& file_name, parser_target& target,
           const file_loader& load) {
  parser p(target, load, file_name);
  p.run(text);
}

}  // namespace qor::scene
