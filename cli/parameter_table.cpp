#include "cli/parameter_table.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace qor::cli {

namespace {

using enum parameter_type;
using enum value_range;

constexpr parameter_field fields[] = {
    {"refine_mode", 0, int32, refine_mode, "2",
     "refinement after each photon pass: 0 none, 1 classic in-place, 2 progressive"},
    {"reserved_option", 4, int32, any, "1", "kept for compatibility; copied, never read"},
    {"sampling_mode", 8, int32, switch_value, "1",
     "0: one eye pass for the whole render; 1: a new eye pass every iteration"},
    {"indirect_photons", 12, int32, switch_value, "1",
     "store photons that left a diffuse bounce in the points"},
    {"caustic_photons", 16, int32, switch_value, "1",
     "store photons that met only specular surfaces (caustics) in the points"},
    {"direct_photons", 20, int32, switch_value, "1",
     "store photons on their first segment from the light (direct light) in the points"},
    {"show_first_pass", 24, int32, switch_value, "0", "show the image after the first eye pass"},
    {"point_mode", 28, int32, point_mode, "0",
     "0: one point set; 1: a second set every iteration; 2: a second set built once"},
    {"smooth", 32, int32, switch_value, "0",
     "smooth the per-pixel estimates after each photon pass (key 's' toggles it)"},
    {"light_irradiance", 36, int32, switch_value, "0",
     "add the direct light of photon lights to the points"},
    {"points_file", 40, string, any, "",
     "text file the second point set is written to every iteration; empty: none"},
    {"alpha", 48, float32, unit_interval, "0.999",
     "share of the new photons the progressive update keeps, in (0, 1]"},
    {"max_iterations", 52, int32, any, "1000", "iteration limit; below 1: until stopped"},
    {"photons_per_pass", 56, int32, positive, "1000000", "photons emitted per iteration"},
    {"output_every", 60, int32, positive, "1", "show the image every N iterations"},
    {"min_radius_scale", 64, float32, positive_finite, "0.5",
     "smallest point radius, relative to the pixel's footprint"},
    {"radius_scale", 68, float32, positive_finite, "6",
     "initial point radius, relative to the pixel's footprint"},
};

std::string quoted(std::string_view text) {
  std::string out = "'";
  out.append(text).append("'");
  return out;
}

std::string number_text(double value) {
  char text[32];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value);
  return error == std::errc() ? std::string(text, end) : std::string("?");
}

void check_integer(const parameter_field& field, double value) {
  const std::string name(field.name);
  const std::string shown = number_text(value);
  switch (field.range) {
    case switch_value:
      if (value != 0 && value != 1) {
        throw parameter_error(name + " must be 0 or 1 (or true/false), got " + shown);
      }
      break;
    case refine_mode:
      if (value != 0 && value != 1 && value != 2) {
        throw parameter_error(
            name + " must be 0 (none), 1 (classic in-place) or 2 (progressive), got " + shown);
      }
      break;
    case point_mode:
      if (value != 0 && value != 1 && value != 2) {
        throw parameter_error(name + " must be 0, 1 or 2, got " + shown);
      }
      break;
    case positive:
      if (value < 1) throw parameter_error(name + " must be at least 1, got " + shown);
      break;
    default:
      break;
  }
}

void check_real(const parameter_field& field, double value) {
  const std::string name(field.name);
  if (!std::isfinite(value)) {
    throw parameter_error(name + " must be a finite number, got " + number_text(value));
  }
  const float stored = static_cast<float>(value);
  if (field.range == unit_interval && !(stored > 0.0f && stored <= 1.0f)) {
    throw parameter_error(name + " must be above 0 and at most 1, got " + number_text(value));
  }
  if (field.range == positive_finite && !(stored > 0.0f && std::isfinite(stored))) {
    throw parameter_error(name + " must be a positive finite number, got " + number_text(value));
  }
}

const char* type_name(parameter_type type) {
  switch (type) {
    case int32:
      return "integer";
    case float32:
      return "float";
    case string:
      return "string";
  }
  return "";
}

}  // namespace

std::span<const parameter_field> parameter_fields() {
  return fields;
}

const parameter_field* find_parameter(std::string_view name) {
  for (const parameter_field& field : fields) {
    if (field.name == name) return &field;
  }
  return nullptr;
}

parameter_block::parameter_block(size_t size) : bytes_(size, 0) {}

void parameter_block::set(const parameter_field& field, std::string_view text) {
  const std::string name(field.name);
  if (field.type == string) {
    set_string(field, text);
    return;
  }
  if (field.type == int32) {
    if (field.range == switch_value) {
      if (text == "true" || text == "on" || text == "yes") return set_integer(field, 1);
      if (text == "false" || text == "off" || text == "no") return set_integer(field, 0);
    }
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
      throw parameter_error(name + " expects an integer, got " + quoted(text));
    }
    set_integer(field, static_cast<double>(value));
    return;
  }
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    throw parameter_error(name + " expects a number, got " + quoted(text));
  }
  set_real(field, value);
}

void parameter_block::set_integer(const parameter_field& field, double value) {
  const std::string name(field.name);
  if (field.type == string) throw parameter_error(name + " expects a string");
  if (field.type == float32) return set_real(field, value);
  if (value != std::floor(value)) {
    throw parameter_error(name + " expects an integer, got " + number_text(value));
  }
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    throw parameter_error(name + " is out of the 32-bit range, got " + number_text(value));
  }
  check_integer(field, value);
  const int32_t stored = static_cast<int32_t>(value);
  std::memcpy(bytes_.data() + field.offset, &stored, sizeof stored);
}

void parameter_block::set_real(const parameter_field& field, double value) {
  const std::string name(field.name);
  if (field.type == string) throw parameter_error(name + " expects a string");
  if (field.type == int32) {
    // An integral float is an integer the user wrote with a decimal point: still refused, the
    // field counts things.
    throw parameter_error(name + " expects an integer, got " + number_text(value));
  }
  check_real(field, value);
  const float stored = static_cast<float>(value);
  std::memcpy(bytes_.data() + field.offset, &stored, sizeof stored);
}

void parameter_block::set_string(const parameter_field& field, std::string_view value) {
  if (field.type != string) {
    throw parameter_error(std::string(field.name) + " expects " +
                          (field.type == int32 ? "an integer" : "a number") + ", got a string");
  }
  const char* pointer = nullptr;
  if (!value.empty()) {
    strings_.push_back(std::make_unique<std::string>(value));
    pointer = strings_.back()->c_str();
  }
  std::memcpy(bytes_.data() + field.offset, &pointer, sizeof pointer);
}

int32_t parameter_block::get_int(const parameter_field& field) const {
  int32_t value;
  std::memcpy(&value, bytes_.data() + field.offset, sizeof value);
  return value;
}

float parameter_block::get_float(const parameter_field& field) const {
  float value;
  std::memcpy(&value, bytes_.data() + field.offset, sizeof value);
  return value;
}

const char* parameter_block::get_string(const parameter_field& field) const {
  const char* value;
  std::memcpy(&value, bytes_.data() + field.offset, sizeof value);
  return value;
}

std::string parameter_block::value_text(const parameter_field& field) const {
  switch (field.type) {
    case int32:
      return std::to_string(get_int(field));
    case float32: {
      char text[32];
      const auto [end, error] = std::to_chars(text, text + sizeof text, get_float(field));
      return error == std::errc() ? std::string(text, end) : std::string("?");
    }
    case string: {
      const char* value = get_string(field);
      return value ? value : "";
    }
  }
  return "";
}

void fill_table_defaults(parameter_block& block) {
  for (const parameter_field& field : fields) block.set(field, field.default_value);
}

void apply_assignment(parameter_block& block, std::string_view assignment) {
  const size_t equals = assignment.find('=');
  if (equals == std::string_view::npos || equals == 0) {
    throw parameter_error("expected NAME=VALUE, got " + quoted(assignment));
  }
  const std::string_view name = assignment.substr(0, equals);
  const parameter_field* field = find_parameter(name);
  if (field == nullptr) {
    throw parameter_error("unknown parameter " + quoted(name) + " (--list-parameters lists them)");
  }
  block.set(*field, assignment.substr(equals + 1));
}

std::string describe_parameters(const parameter_block& block) {
  size_t name_width = 4;
  for (const parameter_field& field : fields) name_width = std::max(name_width, field.name.size());
  auto column = [](std::string text, size_t width) {
    text.resize(std::max(text.size(), width), ' ');
    return text;
  };
  std::string out = column("name", name_width + 2) + column("type", 9) + column("value", 10) +
                    column("default", 10) + "meaning\n";
  for (const parameter_field& field : fields) {
    std::string value = block.value_text(field);
    std::string fallback(field.default_value);
    out += column(std::string(field.name), name_width + 2) + column(type_name(field.type), 9) +
           column(value.empty() ? "-" : value, 10) + column(fallback.empty() ? "-" : fallback, 10) +
           std::string(field.meaning) + "\n";
  }
  return out;
}

}  // namespace qor::cli
