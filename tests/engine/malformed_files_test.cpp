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

std::vector<fs::path> malformed_files() {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(std::string(QOR_TEST_DATA) + "/malformed"))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

class malformed_file : public ::testing::TestWithParam<fs::path> {};

TEST_P(malformed_file, gives_a_scene_error) {
  const fs::path& path = GetParam();
  std::ifstream in(path, std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  std::string text = contents.str();
  try {
    std::string name = path.filename().string();
    if (name.ends_with(".ply") || name.ends_with(".ply.gz")) read_ply(text, path.string());
    if (name.ends_with(".pbrt")) parse_scene_file(path.string());
    FAIL() << path << " parsed without an error";
  } catch (const scene_error& e) {
    const std::string marker = "# expect-error: ";
    if (text.starts_with(marker)) {
      std::string expected = text.substr(marker.size(), text.find('\n') - marker.size());
      file_location at = e.location();
      EXPECT_EQ(to_string(file_location{fs::path(at.file).filename().string(), at.line, at.column}),
                expected)
          << e.what();
    }
    EXPECT_NE(std::string(e.what()).find(": error: expected "), std::string::npos) << e.what();
  } catch (const std::exception& e) {
    FAIL() << path << " raised " << typeid(e).name() << ": " << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(data, malformed_file, ::testing::ValuesIn(malformed_files()),
                         [](const auto& info) {
                           std::string name = info.param.filename().string();
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

}  // namespace
}  // namespace qor::scene
