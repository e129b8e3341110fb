// The host's table of the renderer's parameter block, against the module's own declaration and
// defaults.
#include <cstring>
#include <type_traits>

#include <gtest/gtest.h>

#include "cli/parameter_table.h"
#include "module/installer.h"
#include "module/ppm_parameters.h"
#include "tests/module/fake_host.h"

namespace {

using qor::cli::apply_assignment;
using qor::cli::find_parameter;
using qor::cli::parameter_block;
using qor::cli::parameter_error;
using qor::cli::parameter_field;
using qor::cli::parameter_type;

template <typename T>
constexpr parameter_type type_of() {
  if constexpr (std::is_same_v<T, int32_t>) return parameter_type::int32;
  if constexpr (std::is_same_v<T, float>) return parameter_type::float32;
  return parameter_type::string;
}

#define EXPECT_FIELD_MATCHES_MODULE(name)                                   \
  do {                                                                      \
    const parameter_field* f = find_parameter(#name);                       \
    ASSERT_NE(f, nullptr) << #name;                                         \
    EXPECT_EQ(f->offset, offsetof(ppm_parameters, name)) << #name;          \
    EXPECT_EQ(f->type, type_of<decltype(ppm_parameters::name)>()) << #name; \
  } while (false)

TEST(parameter_table, names_every_field_of_the_block_at_its_offset_and_type) {
  EXPECT_FIELD_MATCHES_MODULE(refine_mode);
  EXPECT_FIELD_MATCHES_MODULE(reserved_option);
  EXPECT_FIELD_MATCHES_MODULE(sampling_mode);
  EXPECT_FIELD_MATCHES_MODULE(indirect_photons);
  EXPECT_FIELD_MATCHES_MODULE(caustic_photons);
  EXPECT_FIELD_MATCHES_MODULE(direct_photons);
  EXPECT_FIELD_MATCHES_MODULE(show_first_pass);
  EXPECT_FIELD_MATCHES_MODULE(point_mode);
  EXPECT_FIELD_MATCHES_MODULE(smooth);
  EXPECT_FIELD_MATCHES_MODULE(light_irradiance);
  EXPECT_FIELD_MATCHES_MODULE(points_file);
  EXPECT_FIELD_MATCHES_MODULE(alpha);
  EXPECT_FIELD_MATCHES_MODULE(max_iterations);
  EXPECT_FIELD_MATCHES_MODULE(photons_per_pass);
  EXPECT_FIELD_MATCHES_MODULE(output_every);
  EXPECT_FIELD_MATCHES_MODULE(min_radius_scale);
  EXPECT_FIELD_MATCHES_MODULE(radius_scale);
  EXPECT_EQ(qor::cli::parameter_fields().size(), 17u);
  EXPECT_EQ(qor::cli::parameter_block_size, sizeof(ppm_parameters));
}

TEST(parameter_table, defaults_are_byte_for_byte_what_the_installer_writes) {
  reset_host();
  unsigned char module_block[72];
  std::memset(module_block, 0x5A, sizeof module_block);
  the_installer().default_parameters(host().scene(), module_block);
  parameter_block block(72);
  std::memset(block.data(), 0xA5, 72);
  qor::cli::fill_table_defaults(block);
  for (const parameter_field& f : qor::cli::parameter_fields()) {
    EXPECT_EQ(std::memcmp(static_cast<unsigned char*>(block.data()) + f.offset,
                          module_block + f.offset, f.type == parameter_type::string ? 8 : 4),
              0)
        << f.name << ": the table says " << block.value_text(f);
  }
}

TEST(parameter_block, values_land_at_their_offsets_in_their_types) {
  parameter_block block(72);
  for (const char* assignment : {"alpha=0.7", "photons_per_pass=123456", "max_iterations=-1",
                                 "smooth=true", "radius_scale=2.5", "points_file=points.txt"}) {
    apply_assignment(block, assignment);
  }
  block.set_integer(*find_parameter("min_radius_scale"), 3);  // an integer is a fine float
  parameter_block moved = std::move(block);  // the file name must not move with the block
  ppm_parameters p;
  std::memcpy(&p, moved.data(), sizeof p);
  EXPECT_EQ(p.alpha, 0.7f);
  EXPECT_EQ(p.photons_per_pass, 123456);
  EXPECT_EQ(p.max_iterations, -1);  // below 1: no limit, a valid choice
  EXPECT_EQ(p.smooth, 1);
  EXPECT_EQ(p.radius_scale, 2.5f);
  EXPECT_EQ(p.min_radius_scale, 3.0f);
  EXPECT_STREQ(p.points_file, "points.txt");
  EXPECT_EQ(p.output_every, 0);  // untouched
  apply_assignment(moved, "points_file=");
  std::memcpy(&p, moved.data(), sizeof p);
  EXPECT_EQ(p.points_file, nullptr);  // empty: no file
}

TEST(parameter_block, bad_values_are_refused_naming_the_field_and_change_nothing) {
  parameter_block block(72);
  qor::cli::fill_table_defaults(block);
  unsigned char before[72];
  std::memcpy(before, block.data(), 72);
  for (const char* assignment :
       {"photons_per_pass=-5", "photons_per_pass=0", "photons_per_pass=2.5",
        "photons_per_pass=9999999999", "alpha=nan", "alpha=inf", "alpha=0", "alpha=1.5",
        "alpha=abc", "alpha=", "max_iterations=1e3", "smooth=2", "point_mode=3", "refine_mode=-1",
        "radius_scale=0", "min_radius_scale=-1", "output_every=0", "radius_scale=1e40"}) {
    SCOPED_TRACE(assignment);
    const std::string name(assignment, std::strchr(assignment, '='));
    try {
      apply_assignment(block, assignment);
      ADD_FAILURE() << "accepted";
    } catch (const parameter_error& error) {
      EXPECT_EQ(std::string(error.what()).rfind(name + " ", 0), 0u) << error.what();
    }
  }
  for (const char* assignment : {"photons=5", "=5", "alpha", "Alpha=0.5"}) {
    EXPECT_THROW(apply_assignment(block, assignment), parameter_error) << assignment;
  }
  EXPECT_THROW(block.set_real(*find_parameter("max_iterations"), 4.0), parameter_error);
  EXPECT_THROW(block.set_string(*find_parameter("alpha"), "0.5"), parameter_error);
  EXPECT_EQ(std::memcmp(before, block.data(), 72), 0);
}

}  // namespace
