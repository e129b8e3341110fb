#include "cli/renderer_settings.h"

#include <limits>

namespace qor::cli {

namespace {

using qor::scene::file_location;

settings_error scene_fault(const file_location& location, const std::string& why) {
  return settings_error(qor::scene::to_string(location) + ": error: " + why);
}

const parameter_field& field_named(const char* name) {
  const parameter_field* field = find_parameter(name);
  if (field == nullptr) throw std::logic_error(std::string("no parameter ") + name);
  return *field;
}

parameter_value raw_parameter_value(const std::string& integrator,
                                    const qor::scene::raw_parameter& p) {
  const parameter_field* field = find_parameter(p.name);
  if (field == nullptr) {
    throw scene_fault(p.location, "expected a parameter of Integrator \"" + integrator +
                                      "\", found unknown \"" + p.name +
                                      "\" (qor-render --list-parameters lists them)");
  }
  if (p.type != "integer" && p.type != "bool" && p.type != "float" && p.type != "string") {
    throw scene_fault(p.location, p.name + " cannot take a value of type \"" + p.type + "\"");
  }
  const size_t count = p.numbers.size() + p.strings.size();
  if (count != 1) {
    throw scene_fault(p.location,
                      "expected one value for \"" + p.name + "\", found " + std::to_string(count));
  }
  try {
    if (p.type == "integer" || p.type == "bool") {
      if (p.numbers.empty()) throw parameter_error(p.name + " expects a number");
      return integer_value(*field, p.numbers[0]);
    }
    if (p.type == "float") {
      if (p.numbers.empty()) throw parameter_error(p.name + " expects a number");
      return real_value(*field, p.numbers[0]);
    }
    if (p.strings.empty()) throw parameter_error(p.name + " expects a string");
    return string_value(*field, p.strings[0]);
  } catch (const parameter_error& error) {
    throw scene_fault(p.location, error.what());
  }
}

}  // namespace

std::vector<parameter_value> scene_parameters(const qor::scene::render_settings& settings) {
  std::vector<parameter_value> values;
  const file_location& count_location = settings.integrator_location.line > 0
                                            ? settings.integrator_location
                                            : settings.sampler_location;
  try {
    values.push_back(integer_value(field_named("max_iterations"), settings.iterations));
  } catch (const parameter_error& error) {
    throw scene_fault(count_location, error.what());
  }
  if (settings.photons_per_iteration > 0) {
    if (settings.photons_per_iteration > std::numeric_limits<int32_t>::max()) {
      throw scene_fault(settings.integrator_location,
                        "expected at most 2147483647 photons per iteration, found " +
                            std::to_string(settings.photons_per_iteration));
    }
    try {
      values.push_back(integer_value(field_named("photons_per_pass"),
                                     static_cast<double>(settings.photons_per_iteration)));
    } catch (const parameter_error& error) {
      throw scene_fault(settings.integrator_location, error.what());
    }
  }
  for (const qor::scene::raw_parameter& p : settings.renderer_parameters) {
    values.push_back(raw_parameter_value(settings.integrator, p));
  }
  for (parameter_value& value : values) value.source = parameter_source::scene;
  return values;
}

std::vector<parameter_value> command_line_parameters(
    const std::vector<parameter_setting>& settings) {
  std::vector<parameter_value> values;
  for (const parameter_setting& setting : settings) {
    try {
      values.push_back(parse_assignment(setting.assignment));
    } catch (const parameter_error& error) {
      throw settings_error("error: " + setting.option + ": " + error.what());
    }
  }
  return values;
}

}  // namespace qor::cli
