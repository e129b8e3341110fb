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

std::string quoted(std::string_view text) {
  std::string out = "'";
  out.append(text).append("'");
  return out;
}

// The shortest text that reads back as the same double or float.
template <typename number>
std::string number_text(number value) {
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

// What the user's guide says a field takes, by value_range.
constexpr const char* values_text[] = {"any", "0, 1",   "0, 1, 2", "0, 1, 2",
                                       "≥ 1", "(0, 1]", "> 0",     "file name"};
static_assert(std::size(values_text) == size_t(file_name) + 1);

parameter_value default_value(const parameter_field& field) {
  switch (field.type) {
    case int32:
      return {&field, static_cast<int32_t>(field.default_value)};
    case float32:
      return {&field, static_cast<float>(field.default_value)};
    case string:
      break;
  }
  return {&field, std::string()};
}

// The default as parse_value takes it; "" for a null string.
std::string default_text(const parameter_field& field) {
  parameter_block block(parameter_block_size);
  block.assign(default_value(field));
  return block.value_text(field);
}

}  // namespace

const parameter_field* find_parameter(std::string_view name) {
  for (const parameter_field& field : parameter_fields()) {
    if (field.name == name) return &field;
  }
  return nullptr;
}

parameter_value parse_value(const parameter_field& field, std::string_view text) {
  const std::string name(field.name);
  if (field.type == string) return string_value(field, text);
  if (field.type == int32) {
    if (field.range == switch_value) {
      if (text == "true" || text == "on" || text == "yes") return integer_value(field, 1);
      if (text == "false" || text == "off" || text == "no") return integer_value(field, 0);
    }
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
      throw parameter_error(name + " expects an integer, got " + quoted(text));
    }
    return integer_value(field, static_cast<double>(value));
  }
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    throw parameter_error(name + " expects a number, got " + quoted(text));
  }
  return real_value(field, value);
}

parameter_value integer_value(const parameter_field& field, double value) {
  const std::string name(field.name);
  if (field.type == string) throw parameter_error(name + " expects a string");
  if (field.type == float32) return real_value(field, value);
  if (value != std::floor(value)) {
    throw parameter_error(name + " expects an integer, got " + number_text(value));
  }
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    throw parameter_error(name + " is out of the 32-bit range, got " + number_text(value));
  }
  check_integer(field, value);
  return {&field, static_cast<int32_t>(value)};
}

parameter_value real_value(const parameter_field& field, double value) {
  const std::string name(field.name);
  if (field.type == string) throw parameter_error(name + " expects a string");
  if (field.type == int32) {
    // An integral float is an integer the user wrote with a decimal point: still refused, the
    // field counts things.
    throw parameter_error(name + " expects an integer, got " + number_text(value));
  }
  check_real(field, value);
  return {&field, static_cast<float>(value)};
}

parameter_value string_value(const parameter_field& field, std::string_view value) {
  if (field.type != string) {
    throw parameter_error(std::string(field.name) + " expects " +
                          (field.type == int32 ? "an integer" : "a number") + ", got a string");
  }
  return {&field, std::string(value)};
}

parameter_value parse_assignment(std::string_view assignment) {
  const size_t equals = assignment.find('=');
  if (equals == std::string_view::npos || equals == 0) {
    throw parameter_error("expected NAME=VALUE, got " + quoted(assignment));
  }
  const std::string_view name = assignment.substr(0, equals);
  const parameter_field* field = find_parameter(name);
  if (field == nullptr) {
    throw parameter_error("unknown parameter " + quoted(name) + " (--list-parameters lists them)");
  }
  return parse_value(*field, assignment.substr(equals + 1));
}

parameter_block::parameter_block(size_t size)
    : bytes_(size, 0), sources_(parameter_fields().size(), parameter_source::module) {}

void parameter_block::assign(const parameter_value& value) {
  sources_[size_t(value.field - parameter_fields().data())] = value.source;
  unsigned char* at = bytes_.data() + value.field->offset;
  if (const int32_t* integer = std::get_if<int32_t>(&value.value)) {
    std::memcpy(at, integer, sizeof *integer);
  } else if (const float* real = std::get_if<float>(&value.value)) {
    std::memcpy(at, real, sizeof *real);
  } else {
    const std::string& text = std::get<std::string>(value.value);
    const char* pointer = nullptr;
    if (!text.empty()) {
      strings_.push_back(std::make_unique<std::string>(text));
      pointer = strings_.back()->c_str();
    }
    std::memcpy(at, &pointer, sizeof pointer);
  }
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
    case float32:
      return number_text(get_float(field));
    case string: {
      const char* value = get_string(field);
      return value ? value : "";
    }
  }
  return "";
}

parameter_source parameter_block::source(const parameter_field& field) const {
  return sources_[size_t(&field - parameter_fields().data())];
}

void fill_table_defaults(parameter_block& block) {
  for (const parameter_field& field : parameter_fields()) {
    parameter_value value = default_value(field);
    value.source = parameter_source::module;
    block.assign(value);
  }
}

std::string describe_parameters(const parameter_block& block) {
  size_t name_width = 4;
  for (const parameter_field& field : parameter_fields()) {
    name_width = std::max(name_width, field.name.size());
  }
  auto column = [](std::string text, size_t width) {
    text.resize(std::max(text.size(), width), ' ');
    return text;
  };
  constexpr const char* source_text[] = {"module", "scene", "host", "--set"};
  std::string out = column("name", name_width + 2) + column("type", 9) + column("value", 12) +
                    column("from", 8) + column("default", 10) + "meaning\n";
  for (const parameter_field& field : parameter_fields()) {
    const std::string value = block.value_text(field);
    const std::string fallback = default_text(field);
    out += column(std::string(field.name), name_width + 2) + column(type_name(field.type), 9) +
           column(value.empty() ? "-" : value, 12) +
           column(source_text[size_t(block.source(field))], 8) +
           column(fallback.empty() ? "-" : fallback, 10) + std::string(field.meaning) + "\n";
  }
  return out;
}

std::string parameters_markdown() {
  std::string out = "| name | default | values | effect |\n|---|---|---|---|\n";
  for (const parameter_field& field : parameter_fields()) {
    const std::string fallback = default_text(field);
    out += "| `" + std::string(field.name) + "` | " + (fallback.empty() ? "none" : fallback) +
           " | " + values_text[size_t(field.range)] + " | " + std::string(field.effect) + " |\n";
  }
  return out;
}

}  // namespace qor::cli
