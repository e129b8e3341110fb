// The directive layer: reads tokens, checks each directive's arguments and parameter list, follows
// Include and Import, and calls one method of a parser_target per directive. It knows the file
// format only; what the directives mean is the target's business (see scene_builder.h).
#pragma once

#include <array>
#include <string>

#include "engine/scene/parameters.h"
#include "engine/scene/parse_scene.h"

namespace qor::scene {

class parser_target {
 public:
  virtual ~parser_target() = default;

  // Transformations.
  virtual void identity(const file_location& loc) = 0;
  virtual void translate(const double3& d, const file_location& loc) = 0;
  virtual void scale(const double3& s, const file_location& loc) = 0;
  virtual void rotate(double degrees, const double3& axis, const file_location& loc) = 0;
  virtual void look_at(const double3& eye, const double3& look, const double3& up,
                       const file_location& loc) = 0;
  // The 16 numbers as written in the file (pbrt's order: the matrix transposed).
  virtual void concat_transform(const std::array<double, 16>& values, const file_location& loc) = 0;
  virtual void set_transform(const std::array<double, 16>& values, const file_location& loc) = 0;
  virtual void coordinate_system(const std::string& name, const file_location& loc) = 0;
  virtual void coord_sys_transform(const std::string& name, const file_location& loc) = 0;
  virtual void active_transform(const std::string& which, const file_location& loc) = 0;
  virtual void transform_times(double start, double end, const file_location& loc) = 0;

  // Options, before WorldBegin.
  virtual void camera(const std::string& type, const parameter_list& params,
                      const file_location& loc) = 0;
  virtual void film(const std::string& type, const parameter_list& params,
                    const file_location& loc) = 0;
  virtual void sampler(const std::string& type, const parameter_list& params,
                       const file_location& loc) = 0;
  virtual void integrator(const std::string& type, const parameter_list& params,
                          const file_location& loc) = 0;
  virtual void pixel_filter(const std::string& type, const parameter_list& params,
                            const file_location& loc) = 0;
  virtual void accelerator(const std::string& type, const parameter_list& params,
                           const file_location& loc) = 0;
  virtual void color_space(const std::string& name, const file_location& loc) = 0;
  virtual void option(const parameter_list& params, const file_location& loc) = 0;
  virtual void make_named_medium(const std::string& name, const parameter_list& params,
                                 const file_location& loc) = 0;
  virtual void medium_interface(const std::string& inside, const std::string& outside,
                                const file_location& loc) = 0;

  // The world.
  virtual void world_begin(const file_location& loc) = 0;
  virtual void world_end(const file_location& loc) = 0;
  virtual void attribute_begin(const file_location& loc) = 0;
  virtual void attribute_end(const file_location& loc) = 0;
  virtual void transform_begin(const file_location& loc) = 0;
  virtual void transform_end(const file_location& loc) = 0;
  virtual void attribute(const std::string& target, const parameter_list& params,
                         const file_location& loc) = 0;
  virtual void reverse_orientation(const file_location& loc) = 0;
  virtual void texture(const std::string& name, const std::string& value_type,
                       const std::string& texture_class, const parameter_list& params,
                       const file_location& loc) = 0;
  virtual void material(const std::string& type, const parameter_list& params,
                        const file_location& loc) = 0;
  virtual void make_named_material(const std::string& name, const parameter_list& params,
                                   const file_location& loc) = 0;
  virtual void named_material(const std::string& name, const file_location& loc) = 0;
  virtual void light_source(const std::string& type, const parameter_list& params,
                            const file_location& loc) = 0;
  virtual void area_light_source(const std::string& type, const parameter_list& params,
                                 const file_location& loc) = 0;
  virtual void shape(const std::string& type, const parameter_list& params,
                     const file_location& loc) = 0;
  virtual void object_begin(const std::string& name, const file_location& loc) = 0;
  virtual void object_end(const file_location& loc) = 0;
  virtual void object_instance(const std::string& name, const file_location& loc) = 0;

  // Import reads a file whose changes to the graphics state stay inside it.
  virtual void import_begin(const file_location& loc) = 0;
  virtual void import_end(const file_location& loc) = 0;

  // A directive of the format this renderer does not implement; its arguments were skipped.
  virtual void unsupported_directive(const std::string& name, const file_location& loc) = 0;

  virtual void end_of_input(const file_location& loc) = 0;
};

// How deep Include/Import may nest, and how many files one parse may read in all, so that a file
// that includes itself ends with an error instead of exhausting the machine.
inline constexpr int max_include_depth = 32;
inline constexpr int max_included_files = 10000;

struct loaded_file {
  std::string path;  // as resolved, the name messages about the file use
  std::string contents;
};

// Reads the file `name` names (a path as written in `including_file`): relative to the including
// file's directory first, then to the main scene file's directory (where pbrt-v4 looks, so that
// scenes written for it keep working). Throws scene_error at `loc` when neither exists.
loaded_file load_relative(const std::string& name, const std::string& including_file,
                          const std::string& main_file, const file_loader& load,
                          const file_location& loc, const char* what);

// Parses `text` (named `file_name`) and every file it includes, calling `target` for each
// directive. Throws scene_error at the first fault.
void parse(const std::string& text, const std::string& file_name, parser_target& target,
           const file_loader& load);

file_loader default_file_loader();

}  // namespace qor::scene
