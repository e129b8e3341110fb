#include "engine/scene/parameters.h"

#include <cmath>

#include "engine/scene/parse_scene.h"
#include "engine/scene/spectra.h"

namespace qor::scene {

const char* to_string(parameter_type type) {
  switch (type) {
    case parameter_type::integer:
      return "integer";
    case parameter_type::float_:
      return "float";
    case parameter_type::point2:
      return "point2";
    case parameter_type::vector2:
      return "vector2";
    case parameter_type::point3:
      return "point3";
    case parameter_type::vector3:
      return "vector3";
    case parameter_type::normal3:
      return "normal";
    case parameter_type::boolean:
      return "bool";
    case parameter_type::string:
      return "string";
    case parameter_type::texture:
      return "texture";
    case parameter_type::rgb:
      return "rgb";
    case parameter_type::blackbody:
      return "blackbody";
    case parameter_type::spectrum:
      return "spectrum";
  }
  return "?";
}

std::optional<parameter_type> parse_parameter_type(std::string_view name) {
  struct entry {
    const char* name;
    parameter_type type;
  };
  static const entry entries[] = {
      {"integer", parameter_type::integer},   {"float", parameter_type::float_},
      {"point2", parameter_type::point2},     {"vector2", parameter_type::vector2},
      {"point3", parameter_type::point3},     {"point", parameter_type::point3},
      {"vector3", parameter_type::vector3},   {"vector", parameter_type::vector3},
      {"normal3", parameter_type::normal3},   {"normal", parameter_type::normal3},
      {"bool", parameter_type::boolean},      {"string", parameter_type::string},
      {"texture", parameter_type::texture},   {"rgb", parameter_type::rgb},
      {"color", parameter_type::rgb},         {"blackbody", parameter_type::blackbody},
      {"spectrum", parameter_type::spectrum},
  };
  for (const entry& e : entries)
    if (name == e.name) return e.type;
  return std::nullopt;
}

const parameter* parameter_list::find(const std::string& name) const {
  // The last declaration wins when a name is repeated, as it would in a dictionary.
  for (auto it = parameters.rbegin(); it != parameters.rend(); ++it) {
    if (it->name == name) {
      for (auto& p : parameters)
        if (p.name == name) p.used = true;
      return &*it;
    }
  }
  return nullptr;
}

void parameter_list::check_type(const parameter& p,
                                std::initializer_list<parameter_type> types) const {
  for (parameter_type t : types)
    if (p.type == t) return;
  std::string expected;
  size_t i = 0;
  for (parameter_type t : types) {
    if (i > 0) expected += i + 1 == types.size() ? " or " : ", ";
    expected.append("\"").append(to_string(t)).append(" ").append(p.name).append("\"");
    ++i;
  }
  throw scene_error(p.location, "expected " + expected + ", found " + p.declaration());
}

namespace {

void check_count(const parameter& p, size_t count) {
  if (p.size() != count) {
    throw scene_error(p.location, "expected " + std::to_string(count) +
                                      (count == 1 ? " value" : " values") + " for " +
                                      p.declaration() + ", found " + std::to_string(p.size()));
  }
}

}  // namespace

double parameter_list::get_float(const std::string& name, double fallback) const {
  const parameter* p = find(name);
  if (!p) return fallback;
  check_type(*p, {parameter_type::float_, parameter_type::integer});
  check_count(*p, 1);
  return p->numbers[0];
}

int64_t parameter_list::get_integer(const std::string& name, int64_t fallback) const {
  const parameter* p = find(name);
  if (!p) return fallback;
  check_type(*p, {parameter_type::integer});
  check_count(*p, 1);
  return int64_t(p->numbers[0]);
}

bool parameter_list::get_bool(const std::string& name, bool fallback) const {
  const parameter* p = find(name);
  if (!p) return fallback;
  check_type(*p, {parameter_type::boolean});
  check_count(*p, 1);
  return p->numbers[0] != 0;
}

std::string parameter_list::get_string(const std::string& name, const std::string& fallback) const {
  const parameter* p = find(name);
  if (!p) return fallback;
  check_type(*p, {parameter_type::string});
  check_count(*p, 1);
  return p->strings[0];
}

double3 parameter_list::get_point3(const std::string& name, const double3& fallback) const {
  const parameter* p = find(name);
  if (!p) return fallback;
  check_type(*p, {parameter_type::point3, parameter_type::vector3, parameter_type::normal3});
  check_count(*p, 3);
  return {p->numbers[0], p->numbers[1], p->numbers[2]};
}

std::optional<rgb> parameter_list::get_rgb(const std::string& name, spectrum_use use,
                                           warning_sink& warn) const {
  const parameter* p = find(name);
  if (!p) return std::nullopt;
  check_type(*p, {parameter_type::rgb, parameter_type::float_, parameter_type::blackbody,
                  parameter_type::spectrum, parameter_type::texture});
  rgb c{0, 0, 0};
  bool normalise = false;
  switch (p->type) {
    case parameter_type::texture:
      check_count(*p, 1);
      warn.warn(p->location, "textures are not supported: " + p->declaration() +
                                 " is ignored and the constant default is used");
      return std::nullopt;
    case parameter_type::rgb:
      check_count(*p, 3);
      for (int i = 0; i < 3; i++) c[i] = float(p->numbers[i]);
      break;
    case parameter_type::float_:
      check_count(*p, 1);
      c = {float(p->numbers[0]), float(p->numbers[0]), float(p->numbers[0])};
      break;
    case parameter_type::blackbody: {
      // pbrt-v3 wrote [temperature scale]; pbrt-v4 writes the temperature alone.
      if (p->size() != 1 && p->size() != 2) check_count(*p, 1);
      if (!(p->numbers[0] > 0)) {
        throw scene_error(p->value_location(0), "expected a positive temperature in kelvin for " +
                                                    p->declaration() + ", found " +
                                                    std::to_string(p->numbers[0]));
      }
      c = blackbody_rgb(p->numbers[0]);
      if (p->size() == 2)
        for (float& v : c) v *= float(p->numbers[1]);
      normalise = true;
      break;
    }
    case parameter_type::spectrum:
      if (!p->strings.empty()) {
        check_count(*p, 1);
        auto named = named_spectrum_rgb(p->strings[0]);
        if (!named) {
          warn.warn(p->value_location(0),
                    "spectrum \"" + p->strings[0] +
                        "\" is a named spectrum this renderer has no colour for; " +
                        p->declaration() + " is ignored and the default is used");
          return std::nullopt;
        }
        c = *named;
      } else {
        if (p->numbers.size() < 2 || p->numbers.size() % 2 != 0) {
          throw scene_error(p->location, "expected (wavelength, value) pairs for " +
                                             p->declaration() + ", found " +
                                             std::to_string(p->numbers.size()) + " numbers");
        }
        for (size_t i = 2; i < p->numbers.size(); i += 2) {
          if (!(p->numbers[i] > p->numbers[i - 2])) {
            throw scene_error(p->value_location(i), "expected wavelengths in increasing order in " +
                                                        p->declaration() + ", found " +
                                                        std::to_string(p->numbers[i]) + " after " +
                                                        std::to_string(p->numbers[i - 2]));
          }
        }
        c = sampled_spectrum_rgb(p->numbers, use == spectrum_use::emission
                                                 ? spectrum_meaning::emission
                                                 : spectrum_meaning::reflectance);
      }
      normalise = true;
      break;
    default:
      break;
  }
  if (use == spectrum_use::emission && normalise) {
    float y = luminance(c);
    if (y > 0)
      for (float& v : c) v /= y;
  }
  if (use == spectrum_use::reflectance) {
    for (float& v : c) v = std::max(v, 0.0f);
    if (p->type == parameter_type::rgb || p->type == parameter_type::float_) {
      for (size_t i = 0; i < p->numbers.size(); i++) {
        if (p->numbers[i] < 0 || p->numbers[i] > 1) {
          throw scene_error(p->value_location(i), "expected a reflectance between 0 and 1 in " +
                                                      p->declaration() + ", found " +
                                                      std::to_string(p->numbers[i]));
        }
      }
    } else {
      for (float& v : c) v = std::min(v, 1.0f);
    }
  }
  if (use == spectrum_use::emission && p->type != parameter_type::spectrum) {
    for (size_t i = 0; i < p->numbers.size(); i++) {
      if (p->numbers[i] < 0) {
        throw scene_error(p->value_location(i), "expected a non-negative value in " +
                                                    p->declaration() + ", found " +
                                                    std::to_string(p->numbers[i]));
      }
    }
  }
  return c;
}

parameter_list::conductor_spectra parameter_list::get_conductor_index(const std::string& eta_name,
                                                                      const std::string& k_name,
                                                                      const char* fallback_metal,
                                                                      warning_sink& warn) const {
  const std::string metal = std::string("metal-") + fallback_metal;
  // Each as a spectrum when it is one (inline, from a file, or a measured table), else as RGB.
  auto read = [&](const std::string& name, const char* suffix, std::vector<double>& pairs) {
    const std::optional<rgb> c = get_rgb(name, spectrum_use::unbounded, warn);
    const parameter* p = find(name);
    if (!p) {
      pairs = named_spectrum_pairs(metal + suffix);
    } else if (p->type == parameter_type::spectrum) {
      pairs = p->strings.empty() ? p->numbers : named_spectrum_pairs(p->strings[0]);
    }
    return c.value_or(*named_spectrum_rgb(metal + suffix));
  };
  std::vector<double> eta_pairs, k_pairs;
  const rgb eta = read(eta_name, "-eta", eta_pairs), k = read(k_name, "-k", k_pairs);
  if (eta_pairs.empty() || k_pairs.empty()) return {eta, k, {}, {}};
  const complex_index index = conductor_index_rgb(eta_pairs, k_pairs);
  return {index.eta, index.k, std::move(eta_pairs), std::move(k_pairs)};
}

const parameter* parameter_list::get_array(const std::string& name, parameter_type type) const {
  const parameter* p = find(name);
  if (!p) return nullptr;
  check_type(*p, {type});
  return p;
}

std::vector<float3> parameter_list::get_float3s(const std::string& name,
                                                parameter_type type) const {
  std::vector<float3> out;
  const parameter* p = get_array(name, type);
  if (!p) return out;
  out.resize(p->numbers.size() / 3);
  for (size_t i = 0; i < out.size(); i++)
    for (int j = 0; j < 3; j++) out[i][j] = float(p->numbers[3 * i + j]);
  return out;
}

void parameter_list::report_unused(warning_sink& warn, const std::string& owner) const {
  for (const parameter& p : parameters) {
    if (!p.used) {
      warn.warn(p.location,
                "parameter " + p.declaration() + " is not used by " + owner + " and is ignored");
      p.used = true;
    }
  }
}

}  // namespace qor::scene
