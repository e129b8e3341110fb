// The host's side of the renderer's parameter block: values checked against the module's table,
// written where the block keeps them, and the table as the user's guide shows it.
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "cli/parameter_choice.h"
#include "cli/parameter_table.h"

namespace {

using qor::cli::find_parameter;
using qor::cli::parameter_block;
using qor::cli::parameter_error;
using qor::cli::parse_assignment;

TEST(parameter_table, is_the_table_of_the_users_guide) {
  std::ifstream file(std::string(QOR_SOURCE_DIR) + "/docs/USAGE.md");
  const std::string guide{std::istreambuf_iterator<char>(file), {}};
  const std::string begin = "<!-- parameters: qor-render --list-parameters --markdown -->\n";
  const size_t start = guide.find(begin);
  ASSERT_NE(start, std::string::npos) << "docs/USAGE.md has no line " << begin;
  const size_t end = guide.find("\n\n", start);
  EXPECT_EQ(guide.substr(start + begin.size(), end + 1 - start - begin.size()),
            qor::cli::parameters_markdown())
      << "docs/USAGE.md's parameter table differs from module/ppm_parameters.h: paste the "
         "output of qor-render --list-parameters --markdown after that line";
}

TEST(parameter_block, values_land_at_their_offsets_in_their_types) {
  parameter_block block(72);
  for (const char* assignment : {"alpha=0.7", "photons_per_pass=123456", "max_iterations=-1",
                                 "smooth=true", "radius_scale=2.5", "points_file=points.txt"}) {
    block.assign(parse_assignment(assignment));
  }
  // An integer is a fine float.
  block.assign(qor::cli::integer_value(*find_parameter("min_radius_scale"), 3));
  parameter_block moved = std::move(block);  // the file name must not move with the block
  ppm_parameters p;
  std::memcpy(&p, moved.data(), sizeof p);
  // max_iterations below 1 is no limit, a valid choice; output_every is untouched.
  EXPECT_EQ(std::tuple(p.alpha, p.photons_per_pass, p.max_iterations, p.smooth, p.radius_scale,
                       p.min_radius_scale, p.output_every),
            std::tuple(0.7f, 123456, -1, 1, 2.5f, 3.0f, 0));
  EXPECT_STREQ(p.points_file, "points.txt");
  moved.assign(parse_assignment("points_file="));
  std::memcpy(&p, moved.data(), sizeof p);
  EXPECT_EQ(p.points_file, nullptr);  // empty: no file
}

TEST(parameter_block, bad_values_are_refused_naming_the_field) {
  for (const char* assignment :
       {"photons_per_pass=-5", "photons_per_pass=0", "photons_per_pass=2.5",
        "photons_per_pass=9999999999", "alpha=nan", "alpha=inf", "alpha=0", "alpha=1.5",
        "alpha=abc", "alpha=", "max_iterations=1e3", "smooth=2", "point_mode=3", "refine_mode=-1",
        "radius_scale=0", "min_radius_scale=-1", "output_every=0", "radius_scale=1e40"}) {
    SCOPED_TRACE(assignment);
    const std::string name(assignment, std::strchr(assignment, '='));
    try {
      parse_assignment(assignment);
      ADD_FAILURE() << "accepted";
    } catch (const parameter_error& error) {
      EXPECT_EQ(std::string(error.what()).rfind(name + " ", 0), 0u) << error.what();
    }
  }
  for (const char* assignment : {"photons=5", "=5", "alpha", "Alpha=0.5"})
    EXPECT_THROW(parse_assignment(assignment), parameter_error) << assignment;
  EXPECT_THROW(qor::cli::real_value(*find_parameter("max_iterations"), 4.0), parameter_error);
  EXPECT_THROW(qor::cli::string_value(*find_parameter("alpha"), "0.5"), parameter_error);
}

}  // namespace

// The host's choice for a scene, applied to a block as a render applies it: which fields it sets,
// from where, and pbrt's world-size radius turned into footprints at the median camera hit.
TEST(host_parameters, rule_and_scene_radius_land_with_their_sources) {
  using enum qor::cli::parameter_source;
  const float r = float(0.05 / (std::sqrt(2.0) * 0.025));  // pbrt radius 0.05, footprint 0.025
  const struct {
    double radius;
    int64_t scene_photons, pixels;
    bool module_defaults;
    float radius_scale, min_radius_scale, alpha;
    int32_t photons, direct_photons;
    qor::cli::parameter_source radius_source, photons_source;
    int strata = 1;
  } cases[] = {
      {0, 0, 16384, false, 1.5f, 0.5f, 0.7f, 16384, 0, host, host},  // a photon per pixel
      {0, 0, 100, false, 1.5f, 0.5f, 0.7f, 10000, 0, host, host},    // at least 10^4 photons
      // The file's count comes later, from scene_parameters.
      {0, 5000, 16384, false, 1.5f, 0.5f, 0.7f, 1000000, 0, host, module},
      {0.05, 0, 16384, false, r, r / 3, 0.7f, 16384, 0, scene, host},
      {0.05, 0, 16384, true, r, r / 3, 0.999f, 1000000, 1, scene, module},
      {0, 0, 16384, true, 6, 0.5f, 0.999f, 1000000, 1, module, module},
      // 2 x 2 samples per pixel: radii in the samples' footprints (the start keeps its world
      // size, the floor is the samples'), a photon per film pixel.
      {0.05, 0, 16384, false, 2 * r, 0.5f, 0.7f, 16384, 0, scene, host, 2},
      {0, 0, 16384, false, 3.0f, 0.5f, 0.7f, 16384, 0, host, host, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    qor::scene::render_settings settings;
    settings.radius = float(c.radius);
    settings.photons_per_iteration = c.scene_photons;
    parameter_block block(72);
    qor::cli::fill_table_defaults(block);
    block.assign(
        qor::cli::host_parameters({0.025, c.pixels, c.strata}, settings, c.module_defaults));
    ppm_parameters p;
    std::memcpy(&p, block.data(), sizeof p);
    EXPECT_FLOAT_EQ(p.radius_scale, c.radius_scale);
    EXPECT_FLOAT_EQ(p.min_radius_scale, c.min_radius_scale);
    EXPECT_EQ(std::tuple(p.alpha, p.photons_per_pass, p.direct_photons),
              std::tuple(c.alpha, c.photons, c.direct_photons));
    EXPECT_EQ(block.source(*find_parameter("radius_scale")), c.radius_source);
    EXPECT_EQ(block.source(*find_parameter("photons_per_pass")), c.photons_source);
  }
}

// Films under 10,000 pixels get 2 x 2 samples per pixel unless the user says otherwise;
// --module-defaults leaves the renderer one sample per pixel, as it was made for.
TEST(host_parameters, supersampling_by_film_size_unless_asked) {
  const struct {
    int64_t pixels;
    std::optional<int> requested;
    bool module_defaults;
    int strata;
  } cases[] = {{9999, {}, false, 2},  {10000, {}, false, 1}, {0, {}, false, 1}, {100, {}, true, 1},
               {100000, 3, false, 3}, {100, 1, false, 1},    {100, 4, true, 4}};
  for (const auto& c : cases) {
    EXPECT_EQ(qor::cli::host_supersampling({0.025, c.pixels}, c.requested, c.module_defaults),
              c.strata)
        << c.pixels << " pixels";
  }
}
