#include "module/installer.h"

#include <cstring>

#include "module/ppm_parameters.h"
#include "module/render/qor_ppm.h"
#include "module/render/sampler.h"

const declaration_record ppm_declaration = {0, "", ""};

namespace {

constexpr ppm_parameters default_block = {
#define QOR_PPM_DEFAULT(name, offset, type, fallback, ...) .name = fallback,
    QOR_PPM_PARAMETERS(QOR_PPM_DEFAULT)
#undef QOR_PPM_DEFAULT
};

// Every field of the block goes to the renderer field of the same name; the three switches the
// renderer keeps as bools become value != 0, and the points file stays the host's string.
void configure(qorPPM& renderer, const ppm_parameters& block) {
#define QOR_PPM_COPY(name, ...) renderer.name = static_cast<decltype(renderer.name)>(block.name);
  QOR_PPM_PARAMETERS(QOR_PPM_COPY)
#undef QOR_PPM_COPY
  renderer.point2_last_iteration = 2;
}

}  // namespace

int ppm_installer::parameter_size() {
  return sizeof(ppm_parameters);
}

void* ppm_installer::default_parameters(qorScene&, void* block) {
  if (block == nullptr) return nullptr;
  std::memcpy(block, &default_block, sizeof default_block);
  return block;
}

void* ppm_installer::create(qorScene& scene, void* block) {
  qorPPM& renderer = the_renderer();
  qor_install_illum_api(scene, &renderer);
  configure(renderer, *static_cast<const ppm_parameters*>(block));

  qorPPM_sampler& sampler = the_sampler();
  sampler.renderer = &renderer;
  qor_add_image_sampler(scene, &sampler);

  qorImage_sampler* found = qor_find_image_sampler(scene, "ppm");
  if (found == nullptr) return nullptr;
  qor_add_renderer(scene, "ppm", &renderer, found);
  qor_add_renderer(scene, "asppm", &renderer, found);
  return nullptr;
}

const void* ppm_installer::declaration() {
  return &ppm_declaration;
}

void* ppm_installer::extension() {
  return nullptr;
}

ppm_installer& the_installer() {
  static ppm_installer installer;
  return installer;
}

extern "C" __attribute__((visibility("default"))) void qor_initialize(qorScene* scene) {
  if (!qor_check_signature(*scene, qor_interface_banner)) {
    qor_critical("Cannot load incompatible module\n");
    return;
  }
  qor_register_dso_installer(*scene, &the_installer());
}
