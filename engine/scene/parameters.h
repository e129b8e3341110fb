// A directive's parameter list ("type name" value...), checked against its declared type when it
// is read, and looked up by name by whoever builds the record. Parameters nobody looked up are
// reported, each at its own location.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/scene/scene_basics.h"

namespace qor::scene {

enum class parameter_type {
  integer,
  float_,
  point2,
  vector2,
  point3,
  vector3,
  normal3,
  boolean,
  string,
  texture,
  rgb,
  blackbody,
  spectrum,
};

const char* to_string(parameter_type type);
// The type named in a declaration ("point" and "vector" are pbrt's short names for the
// three-component types, "color" is pbrt-v3's "rgb"); nullopt when unknown.
std::optional<parameter_type> parse_parameter_type(std::string_view name);

struct value_position {
  int line, column;
};

struct parameter {
  parameter_type type;
  std::string type_name;  // as written ("point" or "point3")
  std::string name;
  std::vector<double> numbers;            // numeric types and bool (0 or 1)
  std::vector<std::string> strings;       // string, texture, and a named spectrum
  std::vector<value_position> positions;  // one per value, for messages about one value
  file_location location;                 // of the "type name" string
  mutable bool used = false;

  size_t size() const { return numbers.size() + strings.size(); }
  file_location value_location(size_t i) const {
    if (i >= positions.size()) return location;
    return {location.file, positions[i].line, positions[i].column};
  }
  std::string declaration() const { return "\"" + type_name + " " + name + "\""; }
};

class warning_sink;

// Colours that pbrt reads as spectra. Emission spectra that are not rgb are normalised to unit
// luminance, as pbrt-v4 does for every light (it divides by the spectrum's photometric value).
enum class spectrum_use { reflectance, emission, unbounded };

class parameter_list {
 public:
  std::vector<parameter> parameters;

  const parameter* find(const std::string& name) const;

  // Each returns the default when the parameter is absent and throws scene_error when it is
  // present with another type, with the wrong number of values, or with a value out of range.
  double get_float(const std::string& name, double fallback) const;
  int64_t get_integer(const std::string& name, int64_t fallback) const;
  bool get_bool(const std::string& name, bool fallback) const;
  std::string get_string(const std::string& name, const std::string& fallback) const;
  double3 get_point3(const std::string& name, const double3& fallback) const;
  // A colour from "rgb", "float" (grey), "blackbody" or "spectrum"; nullopt when absent. A
  // "texture" of that name gives a warning, and the default is used.
  std::optional<rgb> get_rgb(const std::string& name, spectrum_use use, warning_sink& warn) const;
  // A conductor's complex index from its "eta" and "k" parameters (each rgb, float or spectrum),
  // the measured metal `fallback_metal` ("Cu") standing in for either when absent. When both are
  // spectra the pair is made from the spectral Fresnel reflectance (conductor_index_rgb), and
  // the spectra come with it for a reflectance at every angle.
  struct conductor_spectra {
    rgb eta, k;
    std::vector<double> eta_pairs, k_pairs;  // empty unless both are spectra
  };
  conductor_spectra get_conductor_index(const std::string& eta_name, const std::string& k_name,
                                        const char* fallback_metal, warning_sink& warn) const;

  // Whole arrays, for meshes.
  const parameter* get_array(const std::string& name, parameter_type type) const;
  std::vector<float3> get_float3s(const std::string& name, parameter_type type) const;

  // Throws when the parameter exists with another type than the one expected.
  void check_type(const parameter& p, std::initializer_list<parameter_type> types) const;

  void mark_all_used() const {
    for (auto& p : parameters) p.used = true;
  }
  // One warning per parameter nobody looked up, at its own location.
  void report_unused(warning_sink& warn, const std::string& owner) const;
};

class warning_sink {
 public:
  std::vector<scene_warning> warnings;
  void warn(const file_location& location, std::string message) {
    warnings.push_back({location, std::move(message)});
  }
};

}  // namespace qor::scene
