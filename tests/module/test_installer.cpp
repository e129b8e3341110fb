#include <cstring>

#include "tests/module/module_test.h"

namespace {

using installer_test = module_test;

TEST_F(installer_test, incompatible_host_gets_a_critical_message_and_no_installer) {
  host().signature_ok = false;
  qor_initialize(&scene());
  EXPECT_TRUE(host().installers.empty());
  ASSERT_EQ(host().texts("critical").size(), 1u);
  EXPECT_EQ(host().texts("critical")[0], "Cannot load incompatible module\n");
}

TEST_F(installer_test, compatible_host_gets_the_same_installer_every_time) {
  qor_initialize(&scene());
  qor_initialize(&scene());
  ASSERT_EQ(host().installers.size(), 2u);
  EXPECT_EQ(host().installers[0], host().installers[1]);
  EXPECT_EQ(host().calls[0], std::string("qor_check_signature ") + qor_interface_banner);
  EXPECT_EQ(host().calls[1], "qor_register_dso_installer");

  qorInstaller* installer = host().installers[0];
  EXPECT_EQ(installer->version_word, 0x20008u);
  EXPECT_EQ(installer->host_link, nullptr);
  EXPECT_EQ(installer->parameter_size(), 72);
  EXPECT_EQ(installer->extension(), nullptr);
  const auto* declaration = static_cast<const declaration_record*>(installer->declaration());
  EXPECT_EQ(declaration->flags, 0);
  EXPECT_STREQ(declaration->parameter_text, "");
  EXPECT_STREQ(declaration->help_text, "");
}

TEST_F(installer_test, defaults_overwrite_every_byte_of_the_block) {
  unsigned char block[72];
  std::memset(block, 0xAB, sizeof block);
  void* answer = the_installer().default_parameters(scene(), block);
  EXPECT_EQ(answer, block);

  ppm_parameters p;
  std::memcpy(&p, block, sizeof p);
  EXPECT_EQ(p.refine_mode, 2);
  EXPECT_EQ(p.reserved_option, 1);
  EXPECT_EQ(p.sampling_mode, 1);
  EXPECT_EQ(p.indirect_photons, 1);
  EXPECT_EQ(p.caustic_photons, 1);
  EXPECT_EQ(p.direct_photons, 1);
  EXPECT_EQ(p.show_first_pass, 0);
  EXPECT_EQ(p.point_mode, 0);
  EXPECT_EQ(p.smooth, 0);
  EXPECT_EQ(p.light_irradiance, 0);
  EXPECT_EQ(p.points_file, nullptr);
  uint32_t alpha_bits;
  std::memcpy(&alpha_bits, &p.alpha, 4);
  EXPECT_EQ(alpha_bits, 0x3F7FBE77u);
  EXPECT_EQ(p.max_iterations, 1000);
  EXPECT_EQ(p.photons_per_pass, 1000000);
  EXPECT_EQ(p.output_every, 1);
  EXPECT_EQ(p.min_radius_scale, 0.5f);
  EXPECT_EQ(p.radius_scale, 6.0f);
  for (int i = 0; i < 72; ++i) EXPECT_NE(block[i], 0xAB) << "byte " << i << " left as given";
  EXPECT_EQ(the_installer().default_parameters(scene(), nullptr), nullptr);
}

TEST_F(installer_test, create_copies_the_defaults_into_the_renderer) {
  const qorPPM& r = create(default_parameters());
  EXPECT_EQ(r.refine_mode, 2);
  EXPECT_EQ(r.reserved_option, 1);
  EXPECT_EQ(r.sampling_mode, 1);
  EXPECT_EQ(r.indirect_photons, 1);
  EXPECT_EQ(r.caustic_photons, 1);
  EXPECT_EQ(r.direct_photons, 1);
  EXPECT_EQ(r.point_mode, 0);
  EXPECT_FALSE(r.show_first_pass);
  EXPECT_FALSE(r.smooth);
  EXPECT_FALSE(r.light_irradiance);
  EXPECT_EQ(r.points_file, nullptr);
  EXPECT_EQ(r.alpha, 0.999f);
  EXPECT_EQ(r.max_iterations, 1000);
  EXPECT_EQ(r.photons_per_pass, 1000000);
  EXPECT_EQ(r.output_every, 1);
  EXPECT_EQ(r.min_radius_scale, 0.5f);
  EXPECT_EQ(r.radius_scale, 6.0f);
  EXPECT_EQ(r.point2_last_iteration, 2);
  // Set by the constructor, not by the block.
  EXPECT_EQ(r.photon_ray_mode, 1);
  EXPECT_EQ(r.ctor_flag, 1);
  EXPECT_EQ(r.photon_light_lock, 0u);
}

TEST_F(installer_test, flags_are_stored_as_bools_and_the_points_file_as_the_hosts_pointer) {
  ppm_parameters block = default_parameters();
  block.show_first_pass = 7;
  block.smooth = -1;
  block.light_irradiance = 0;
  static const char file_name[] = "points.txt";
  block.points_file = file_name;
  const qorPPM& r = create(block);
  EXPECT_TRUE(r.show_first_pass);
  EXPECT_TRUE(r.smooth);
  EXPECT_FALSE(r.light_irradiance);
  EXPECT_EQ(r.points_file, file_name);
}

TEST_F(installer_test, a_second_create_reconfigures_and_registers_the_same_objects_again) {
  ppm_parameters first = default_parameters();
  first.alpha = 0.5f;
  first.point_mode = 1;
  ppm_parameters second = default_parameters();
  second.alpha = 0.7f;
  second.photons_per_pass = 1234;
  create(first);
  create(second);

  EXPECT_EQ(renderer->alpha, 0.7f);
  EXPECT_EQ(renderer->point_mode, 0);
  EXPECT_EQ(renderer->photons_per_pass, 1234);
  ASSERT_EQ(host().illum_apis.size(), 2u);
  EXPECT_EQ(host().illum_apis[0], renderer);
  EXPECT_EQ(host().illum_apis[1], renderer);
  ASSERT_EQ(host().renderers.size(), 4u);
  EXPECT_EQ(host().renderers[0].name, "ppm");
  EXPECT_EQ(host().renderers[1].name, "asppm");
  EXPECT_EQ(host().renderers[2].name, "ppm");
  EXPECT_EQ(host().renderers[3].name, "asppm");
  for (const fake_registration& reg : host().renderers) {
    EXPECT_EQ(reg.api, renderer);
    EXPECT_EQ(reg.sampler, &the_sampler());
  }
  EXPECT_EQ(the_sampler().renderer, renderer);
  EXPECT_STREQ(the_sampler().name(), "ppm");
  EXPECT_EQ(the_sampler().host_link, nullptr);
}

TEST_F(installer_test, no_renderer_is_registered_when_the_host_cannot_find_the_sampler) {
  host().sampler_findable = false;
  ppm_parameters block = default_parameters();
  EXPECT_EQ(the_installer().create(scene(), &block), nullptr);
  EXPECT_TRUE(host().renderers.empty());
  EXPECT_EQ(host().samplers.size(), 1u);
  EXPECT_TRUE(host().messages.empty());
}

}  // namespace
