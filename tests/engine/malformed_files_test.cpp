// Every file in data/malformed/ is broken in one way: each must give a scene_error, never a crash
// or another exception. A file whose first line is "# expect-error: NAME:LINE:COL" must also put
// the error there (NAME is the file name without its directory). Inputs the fuzzer found crashing
// are kept here as regressions.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/scene/parse_scene.h"
#include "engine/scene/ply_reader.h"
#include "gtest/gtest.h"

namespace qor::scene {
namespace {

namespace fs = std::filesystem;

TEST(malformed_files, each_gives_a_scene_error) {
  std::vector<fs::path> paths;
  for (const auto& entry : fs::directory_iterator(std::string(QOR_TEST_DATA) + "/malformed"))
    paths.push_back(entry.path());
  ASSERT_GE(paths.size(), 26u);  // the directory was found
  for (const fs::path& path : paths) {
    SCOPED_TRACE(path);
    std::ifstream in(path, std::ios::binary);
    std::stringstream contents;
    contents << in.rdbuf();
    std::string text = contents.str();
    try {
      std::string name = path.filename().string();
      if (name.ends_with(".ply") || name.ends_with(".ply.gz")) read_ply(text, path.string());
      if (name.ends_with(".pbrt")) parse_scene_file(path.string());
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
