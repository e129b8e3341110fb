#include <cstring>

#include "tests/module/module_test.h"

namespace {

using installer = module_test;

TEST_F(installer, a_compatible_host_gets_the_installer_which_creates_and_registers_the_renderer) {
  host().signature_ok = false;
  qor_initialize(&scene());
  EXPECT_EQ(host().texts(), strings{"Cannot load incompatible module\n"});
  host().signature_ok = true;
  qor_initialize(&scene());
  qor_initialize(&scene());
  using registration = std::pair<std::string, void*>;
  EXPECT_EQ(host().registered, std::vector<registration>(2, {"installer", &the_installer()}));

  // Every byte of the block is written; a static block has zero padding, as the installer's must.
  static const ppm_parameters expected = {2, 1,       1,      1,    1,       1, 0,    0,   0,
                                          0, nullptr, 0.999f, 1000, 1000000, 1, 0.5f, 6.0f};
  unsigned char block[sizeof(ppm_parameters)];
  std::memset(block, 0xAB, sizeof block);
  EXPECT_EQ(the_installer().default_parameters(scene(), block), block);
  EXPECT_EQ(std::memcmp(block, &expected, sizeof block), 0);
  EXPECT_EQ(the_installer().default_parameters(scene(), nullptr), nullptr);

  // Create installs the renderer and registers both names with the sampler the host finds.
  reset_host();
  create(defaults());
  EXPECT_TRUE(host().registered.size() == 6 &&
              host().registered[3] == registration("ppm sampler", &the_sampler()) &&
              host().registered[4].first == "asppm");
}

}  // namespace
