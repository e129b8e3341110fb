#include "engine/scene/parse_scene.h"

#include "engine/scene/parser.h"
#include "engine/scene/scene_builder.h"

namespace qor::scene {

parse_result parse_scene_string(const std::string& text, const std::string& name,
                                const parse_options& options) {
  file_loader load = options.load ? options.load : default_file_loader();
  scene_builder builder(name, load);
  parse(text, name, builder, load);
  return builder.finish();
}

parse_result parse_scene_file(const std::string& path, const parse_options& options) {
  file_loader load = options.load ? options.load : default_file_loader();
  std::optional<std::string> text = load(path);
  if (!text) {
    throw scene_error({path, 1, 1},
                      "expected a readable scene file, found none at \"" + path + "\"");
  }
  return parse_scene_string(*text, path, {load});
}

}  // namespace qor::scene
