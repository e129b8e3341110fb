// The parser target that gives the directives pbrt-v4's meaning and collects the
// scene_description: the graphics state and its stack, named coordinate systems, the options,
// shapes (made by their kinds, shapes/), objects and instances, and the records of materials,
// lights, area lights and textures that the runtime's kinds read.
#pragma once

#include <map>

#include "engine/scene/parser.h"

namespace qor::scene {

class scene_builder : public parser_target {
 public:
  scene_builder(std::string main_file, file_loader load);

  // The scene and its warnings, once end_of_input has run.
  parse_result finish() { return {std::move(scene_), std::move(warn_.warnings)}; }

  void identity(const file_location& loc) override;
  void translate(const double3& d, const file_location& loc) override;
  void scale(const double3& s, const file_location& loc) override;
  void rotate(double degrees, const double3& axis, const file_location& loc) override;
  void look_at(const double3& eye, const double3& look, const double3& up,
               const file_location& loc) override;
  void concat_transform(const std::array<double, 16>& values, const file_location& loc) override;
  void set_transform(const std::array<double, 16>& values, const file_location& loc) override;
  void coordinate_system(const std::string& name, const file_location& loc) override;
  void coord_sys_transform(const std::string& name, const file_location& loc) override;
  void active_transform(const std::string& which, const file_location& loc) override;
  void transform_times(double start, double end, const file_location& loc) override;

  void camera(const std::string& type, const parameter_list& params,
              const file_location& loc) override;
  void film(const std::string& type, const parameter_list& params,
            const file_location& loc) override;
  void sampler(const std::string& type, const parameter_list& params,
               const file_location& loc) override;
  void integrator(const std::string& type, const parameter_list& params,
                  const file_location& loc) override;
  void pixel_filter(const std::string& type, const parameter_list& params,
                    const file_location& loc) override;
  void accelerator(const std::string& type, const parameter_list& params,
                   const file_location& loc) override;
  void color_space(const std::string& name, const file_location& loc) override;
  void option(const parameter_list& params, const file_location& loc) override;
  void make_named_medium(const std::string& name, const parameter_list& params,
                         const file_location& loc) override;
  void medium_interface(const std::string& inside, const std::string& outside,
                        const file_location& loc) override;

  void world_begin(const file_location& loc) override;
  void world_end(const file_location& loc) override;
  void attribute_begin(const file_location& loc) override;
  void attribute_end(const file_location& loc) override;
  void transform_begin(const file_location& loc) override;
  void transform_end(const file_location& loc) override;
  void attribute(const std::string& target, const parameter_list& params,
                 const file_location& loc) override;
  void reverse_orientation(const file_location& loc) override;
  void texture(const std::string& name, const std::string& value_type,
               const std::string& texture_class, const parameter_list& params,
               const file_location& loc) override;
  void material(const std::string& type, const parameter_list& params,
                const file_location& loc) override;
  void make_named_material(const std::string& name, const parameter_list& params,
                           const file_location& loc) override;
  void named_material(const std::string& name, const file_location& loc) override;
  void light_source(const std::string& type, const parameter_list& params,
                    const file_location& loc) override;
  void area_light_source(const std::string& type, const parameter_list& params,
                         const file_location& loc) override;
  void shape(const std::string& type, const parameter_list& params,
             const file_location& loc) override;
  void object_begin(const std::string& name, const file_location& loc) override;
  void object_end(const file_location& loc) override;
  void object_instance(const std::string& name, const file_location& loc) override;
  void import_begin(const file_location& loc) override;
  void import_end(const file_location& loc) override;
  void unsupported_directive(const std::string& name, const file_location& loc) override;
  void end_of_input(const file_location& loc) override;

 private:
  // What AttributeBegin saves and AttributeEnd restores.
  struct graphics_state {
    transform ctm;  // world_from_object for what follows (camera_from_world before Camera)
    bool reverse_orientation = false;
    int32_t material = 0;
    int32_t area_light = -1;
  };
  enum class block_kind { attribute, transform, object, import };
  struct open_block {
    block_kind kind;
    graphics_state saved;
    file_location location;
  };
  struct named_material_entry {
    int32_t index;
    bool defined;
    file_location first_use;
  };
  struct pending_instance {
    std::string name;
    size_t instance;
  };

  void apply(const transform& t);  // ctm = ctm * t, unless only the end time is active
  void require_options(const char* directive, const file_location& loc);
  void require_world(const char* directive, const file_location& loc);
  void close_block(block_kind kind, const char* directive, const file_location& loc);

  std::string main_file_;
  file_loader load_;
  scene_description scene_;
  warning_sink warn_;

  graphics_state state_;
  std::vector<open_block> stack_;
  bool in_world_ = false;
  file_location world_begin_location_;
  bool start_transform_active_ = true;
  bool warned_motion_blur_ = false;
  bool iterations_from_integrator_ = false;  // numiterations wins over pixelsamples
  std::map<std::string, transform> named_coordinate_systems_;
  std::map<std::string, named_material_entry> named_materials_;
  std::map<std::string, int32_t> object_names_;
  int32_t current_object_ = -1;
  std::vector<pending_instance> pending_instances_;
};

}  // namespace qor::scene
