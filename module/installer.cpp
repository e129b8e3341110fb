#include "module/installer.h"

#include <cstring>

#include "module/ppm_parameters.h"
#include "module/render/qor_ppm.h"
#include "module/render/sampler.h"

const declaration_record ppm_declaration = {0, "", ""};

namespace {

constexpr ppm_parameters default_block = {
    .refine_mode = 2,
    .reserved_option = 1,
    .sampling_mode = 1,
    .indirect_photons = 1,
    .caustic_photons = 1,
    .direct_photons = 1,
    .show_first_pass = 0,
    .point_mode = 0,
    .smooth = 0,
    .light_irradiance = 0,
    .points_file = nullptr,
    .alpha = 0.999f,
    .max_iterations = 1000,
    .photons_per_pass = 1000000,
    .output_every = 1,
    .min_radius_scale = 0.5f,
    .radius_scale = 6.0f,
};

void configure(qorPPM& renderer, const ppm_parameters& block) {
  renderer.refine_mode = block.refine_mode;
  renderer.reserved_option = block.reserved_option;
  renderer.sampling_mode = block.sampling_mode;
  renderer.indirect_photons = block.indirect_photons;
  renderer.caustic_photons = block.caustic_photons;
  renderer.direct_photons = block.direct_photons;
  renderer.show_first_pass = block.show_first_pass != 0;
  renderer.point_mode = block.point_mode;
  renderer.smooth = block.smooth != 0;
  renderer.light_irradiance = block.light_irradiance != 0;
  renderer.points_file = block.points_file;  // the host's string, not a copy
  renderer.alpha = block.alpha;
  renderer.max_iterations = block.max_iterations;
  renderer.photons_per_pass = block.photons_per_pass;
  renderer.output_every = block.output_every;
  renderer.min_radius_scale = block.min_radius_scale;
  renderer.radius_scale = block.radius_scale;
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
