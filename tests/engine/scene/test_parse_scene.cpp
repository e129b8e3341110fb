// Whole files: every example scene in scenes/ reads without a warning into the records it was
// written with, and every file in data/malformed/ stops the read with a scene_error.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/scene/ply_reader.h"

#include "tests/engine/scene_test_util.h"

namespace qor::scene {
namespace {

struct expected_counts {
  const char* file;
  size_t shapes, spheres, lights, area_lights, materials, objects, instances;
};

const expected_counts examples[] = {
    {"cornell-box.pbrt", 8, 0, 0, 1, 6, 0, 0},     {"cornell-caustics.pbrt", 8, 2, 0, 1, 7, 0, 0},
    {"door-gap.pbrt", 10, 1, 0, 1, 6, 0, 0},       {"glass-caustic.pbrt", 3, 1, 2, 0, 4, 0, 0},
    {"torus-instances.pbrt", 3, 0, 0, 1, 5, 2, 9},
};

// Read through the engine's conversion, which refuses a reference to a material, area light or
// object that does not exist, so every reference between the records is checked too.
TEST(example_scenes, parse_without_warnings_into_the_expected_records) {
  for (const expected_counts& want : examples) {
    SCOPED_TRACE(want.file);
    const parse_result r = parse_scene_file(std::string(QOR_SOURCE_DIR) + "/scenes/" + want.file);
    warning_sink warnings{r.warnings};
    engine::build_traceable_scene(r.scene, warnings);
    for (const scene_warning& w : warnings.warnings) ADD_FAILURE() << to_string(w);
    const scene_description& s = r.scene;
    size_t spheres = 0;
    for (const shape_description& shape : s.shapes) spheres += shape.kind == geometry_kind::sphere;
    EXPECT_EQ(std::tuple(s.shapes.size(), spheres, s.lights.size(), s.area_lights.size(),
                         s.materials.size(), s.objects.size(), s.instances.size()),
              std::tuple(want.shapes, want.spheres, want.lights, want.area_lights, want.materials,
                         want.objects, want.instances));
    EXPECT_EQ(std::tuple(s.camera.given, s.film.xresolution, s.film.yresolution),
              std::tuple(true, 256, 256));
  }
}

// Each malformed file is broken in one way and must give a scene_error, from the reader or from
// the kinds (image and spectrum files they name are in inputs/), never a crash or another
// exception. A file whose first line is "# expect-error: NAME:LINE:COL" must also put the error
// there (NAME is the file name without its directory). Inputs the fuzzer found crashing are kept
// there as regressions.
namespace fs = std::filesystem;

TEST(malformed_files, each_gives_a_scene_error) {
  std::vector<fs::path> paths;
  for (const auto& entry : fs::directory_iterator(std::string(QOR_TEST_DATA) + "/malformed"))
    if (entry.is_regular_file()) paths.push_back(entry.path());
  ASSERT_GE(paths.size(), 26u);  // the directory was found
  for (const fs::path& path : paths) {
    SCOPED_TRACE(path);
    std::ifstream in(path, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    try {
      std::string name = path.filename().string();
      if (name.ends_with(".ply") || name.ends_with(".ply.gz")) read_ply(text, path.string());
      if (name.ends_with(".pbrt")) {
        const parse_result r = parse_scene_file(path.string());
        warning_sink warnings{r.warnings};
        engine::build_traceable_scene(r.scene, warnings);
      }
      ADD_FAILURE() << "parsed without an error";
    } catch (const scene_error& e) {
      const std::string marker = "# expect-error: ";
      if (text.starts_with(marker)) {
        std::string expected = text.substr(marker.size(), text.find('\n') - marker.size());
        file_location at = e.location();
        at.file = fs::path(at.file).filename().string();
        EXPECT_EQ(to_string(at), expected) << e.what();
      }
      EXPECT_NE(std::string(e.what()).find(": error: expected "), std::string::npos) << e.what();
    } catch (const std::exception& e) {
      ADD_FAILURE() << "raised " << typeid(e).name() << ": " << e.what();
    }
  }
}

}  // namespace
}  // namespace qor::scene
