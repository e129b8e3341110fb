// What this host knows of the ppm renderer's parameter block: the name, byte offset, type and
// default of each field, and the values each may take. The table drives --set, the short options,
// --list-parameters and the parameters of `Integrator "ppm"` in a scene.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qor::cli {

enum class parameter_type { int32, float32, string };

// The values a field accepts beyond its type.
enum class value_range {
  any,              // any value of the type
  switch_value,     // 0 or 1 (also false/true, off/on, no/yes)
  refine_mode,      // 0 none, 1 classic in-place update, 2 progressive update
  point_mode,       // 0, 1 or 2
  positive,         // integers >= 1
  unit_interval,    // floats in (0, 1]
  positive_finite,  // floats > 0, finite
};

struct parameter_field {
  std::string_view name;
  size_t offset;  // in the block
  parameter_type type;
  value_range range;
  std::string_view default_value;  // as the renderer's installer fills it, in the text --set takes
  std::string_view meaning;
};

// Every field of the 72-byte block, in offset order.
std::span<const parameter_field> parameter_fields();
inline constexpr size_t parameter_block_size = 72;

// Null when no field has this name.
const parameter_field* find_parameter(std::string_view name);

// A value that does not fit its field. what() says why, without naming the option it came from.
class parameter_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The block the host hands to the installer: raw bytes in the module's layout, plus the strings
// that its pointer fields point at. Not copyable, since the block holds pointers into itself;
// moving keeps those pointers valid.
class parameter_block {
 public:
  explicit parameter_block(size_t size);
  parameter_block(parameter_block&&) = default;
  parameter_block& operator=(parameter_block&&) = default;

  void* data() { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }

  // Each checks the field's type and range and throws parameter_error on a bad value.
  void set(const parameter_field& field, std::string_view text);  // as typed on a command line
  void set_integer(const parameter_field& field, double value);
  void set_real(const parameter_field& field, double value);
  void set_string(const parameter_field& field, std::string_view value);  // "": null

  int32_t get_int(const parameter_field& field) const;
  float get_float(const parameter_field& field) const;
  const char* get_string(const parameter_field& field) const;
  // The field's value in the text set() takes (a null string as "").
  std::string value_text(const parameter_field& field) const;

 private:
  std::vector<unsigned char> bytes_;
  std::vector<std::unique_ptr<std::string>> strings_;  // owned texts the block points at
};

// Fills every field with the table's default, for when no module is at hand to do it.
void fill_table_defaults(parameter_block& block);

// Applies "name=value" (the argument of --set).
void apply_assignment(parameter_block& block, std::string_view assignment);

// The table as --list-parameters prints it, with the block's current values.
std::string describe_parameters(const parameter_block& block);

}  // namespace qor::cli
