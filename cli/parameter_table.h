// The host's side of the renderer's parameter block: its fields by name (the module's own list,
// module/ppm_parameters.h), values checked against each field's type and range, and the block
// the host hands to the installer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "module/ppm_parameters.h"

namespace qor::cli {

using parameter_field = ppm_parameter;
using parameter_type = ppm_parameter_type;
using value_range = ppm_parameter_range;

inline constexpr size_t parameter_block_size = sizeof(ppm_parameters);

// Every field of the block, in offset order.
inline std::span<const parameter_field> parameter_fields() {
  return ppm_parameter_table;
}

// Null when no field has this name.
const parameter_field* find_parameter(std::string_view name);

// A value that does not fit its field. what() says why, without naming the option it came from.
class parameter_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where a field's value came from, as --list-parameters shows it: the module's installer, the
// scene file, the host's own choice for the scene, or the command line.
enum class parameter_source { module, scene, host, command_line };

// A value checked against its field: what each setting of a scene or a command line becomes
// before anything is built, so that writing it into a block cannot fail.
struct parameter_value {
  const parameter_field* field;
  std::variant<int32_t, float, std::string> value;  // a string field's "" is null
  parameter_source source = parameter_source::command_line;
};

// Each throws parameter_error for a value of the wrong type or out of the field's range.
parameter_value parse_value(const parameter_field& field, std::string_view text);  // as typed
parameter_value integer_value(const parameter_field& field, double value);
parameter_value real_value(const parameter_field& field, double value);
parameter_value string_value(const parameter_field& field, std::string_view value);
// "name=value", the argument of --set.
parameter_value parse_assignment(std::string_view assignment);

// The block the host hands to the installer: raw bytes in the module's layout, plus the strings
// that its pointer fields point at. Not copyable, since the block holds pointers into itself;
// moving keeps those pointers valid.
class parameter_block {
 public:
  explicit parameter_block(size_t size);
  parameter_block(parameter_block&&) = default;
  parameter_block& operator=(parameter_block&&) = default;

  void* data() { return bytes_.data(); }
  // The block's values came from the module's installer until assign() says otherwise.
  size_t size() const { return bytes_.size(); }

  void assign(const parameter_value& value);
  void assign(const std::vector<parameter_value>& values) {
    for (const parameter_value& value : values) assign(value);
  }

  int32_t get_int(const parameter_field& field) const;
  float get_float(const parameter_field& field) const;
  const char* get_string(const parameter_field& field) const;
  // The field's value in the text parse_value takes (a null string as "").
  std::string value_text(const parameter_field& field) const;
  parameter_source source(const parameter_field& field) const;

 private:
  std::vector<unsigned char> bytes_;
  std::vector<parameter_source> sources_;              // one per field, in table order
  std::vector<std::unique_ptr<std::string>> strings_;  // owned texts the block points at
};

// Fills every field with the table's default, for when no module is at hand to do it.
void fill_table_defaults(parameter_block& block);

// The table as --list-parameters prints it, with the block's current values.
std::string describe_parameters(const parameter_block& block);
// The table as the user's guide shows it (docs/USAGE.md), in Markdown.
std::string parameters_markdown();

}  // namespace qor::cli
