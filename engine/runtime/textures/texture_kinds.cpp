#include <vector>

#include "engine/runtime/textures/texture.h"
#include "engine/scene/kind_list.h"

// Every texture kind: the class a Texture directive names, and the file that defines
// make_<kind>. None yet.
#define QOR_TEXTURE_KINDS(X)

namespace engine {

#define QOR_DECLARE(name, kind) std::shared_ptr<const texture> make_##kind(const texture_context&);
QOR_TEXTURE_KINDS(QOR_DECLARE)
#undef QOR_DECLARE

namespace {

const std::vector<qor::scene::named_kind<texture_factory>> kinds{
#define QOR_ENTRY(name, kind) {name, make_##kind},
    QOR_TEXTURE_KINDS(QOR_ENTRY)
#undef QOR_ENTRY
};

}  // namespace

named_textures create_textures(const std::vector<qor::scene::texture_description>& textures,
                               qor::scene::warning_sink& warnings) {
  named_textures out;
  for (const qor::scene::texture_description& t : textures) {
    const texture_factory make = qor::scene::find_kind(kinds, t.type);
    if (make == nullptr) {
      warnings.warn(t.location, "texture class \"" + t.type + "\" is not supported; texture \"" +
                                    t.name +
                                    "\" is ignored and materials that use it get their constant "
                                    "default");
      t.parameters.mark_all_used();
      continue;
    }
    out[t.name] = make({t, out, warnings});
    t.parameters.report_unused(warnings, "Texture \"" + t.name + "\"");
  }
  return out;
}

}  // namespace engine
