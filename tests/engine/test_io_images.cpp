#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include "engine/io/image_file.h"

namespace {

namespace fs = std::filesystem;
using engine::io::image_format;

// An image block with its pixels, as the renderer hands it over.
struct test_block {
  test_block(int width, int height) : storage(qorImage_block::bytes(width, height) / 4) {
    block().x0 = 0;
    block().y0 = 0;
    block().width = width;
    block().height = height;
  }
  qorImage_block& block() { return *reinterpret_cast<qorImage_block*>(storage.data()); }
  float* pixel(int x, int y) { return block().pixels() + 3 * (y * block().width + x); }
  std::vector<float> storage;  // float-aligned; the 16-byte header is four floats long
};

struct read_image {
  int width = 0, height = 0, channels = 0;
  OIIO::TypeDesc stored;
  std::vector<float> values;  // as OpenImageIO converts them to float (8-bit: code / 255)
  std::vector<unsigned char> codes;
};

read_image read(const std::string& path) {
  read_image image;
  auto in = OIIO::ImageInput::open(path);
  if (!in) {
    ADD_FAILURE() << "cannot read " << path << ": " << OIIO::geterror();
    return image;
  }
  const OIIO::ImageSpec& spec = in->spec();
  image.width = spec.width;
  image.height = spec.height;
  image.channels = spec.nchannels;
  image.stored = spec.format;
  const size_t count = size_t(spec.width) * spec.height * spec.nchannels;
  image.values.resize(count);
  EXPECT_TRUE(in->read_image(0, 0, 0, spec.nchannels, OIIO::TypeDesc::FLOAT, image.values.data()));
  if (spec.format == OIIO::TypeDesc::UINT8) {
    image.codes.resize(count);
    EXPECT_TRUE(in->read_image(0, 0, 0, spec.nchannels, OIIO::TypeDesc::UINT8, image.codes.data()));
  }
  in->close();
  return image;
}

class image_files : public ::testing::Test {
 protected:
  void SetUp() override {
    directory = fs::temp_directory_path() /
                ("qor-io-test-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(directory);
    fs::create_directories(directory);
  }
  void TearDown() override { fs::remove_all(directory); }
  std::string path(const std::string& name) const { return (directory / name).string(); }
  // Names in the directory other than the given one: leftovers of a write.
  std::vector<std::string> others(const std::string& name) const {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(directory)) {
      if (entry.path().filename() != name) found.push_back(entry.path().filename().string());
    }
    return found;
  }
  fs::path directory;
};

TEST(image_format_for, picks_the_format_by_extension_in_any_case) {
  EXPECT_EQ(engine::io::image_format_for("a/b.exr"), image_format::exr);
  EXPECT_EQ(engine::io::image_format_for("B.EXR"), image_format::exr);
  EXPECT_EQ(engine::io::image_format_for("x.png"), image_format::png);
  EXPECT_EQ(engine::io::image_format_for("x.jpg"), image_format::jpeg);
  EXPECT_EQ(engine::io::image_format_for("x.JPEG"), image_format::jpeg);
  EXPECT_EQ(engine::io::image_format_for("x.pfm"), image_format::pfm);
  EXPECT_FALSE(engine::io::image_format_for("x.tif"));
  EXPECT_FALSE(engine::io::image_format_for("exr"));
  EXPECT_FALSE(engine::io::image_format_for("x.exr.bak"));
}

TEST(srgb_transfer, follows_the_linear_toe_and_the_power_segment) {
  EXPECT_FLOAT_EQ(engine::io::srgb_from_linear(0.0f), 0.0f);
  EXPECT_FLOAT_EQ(engine::io::srgb_from_linear(0.002f), 12.92f * 0.002f);
  EXPECT_NEAR(engine::io::srgb_from_linear(0.5f), 0.7353569f, 1e-6);
  EXPECT_NEAR(engine::io::srgb_from_linear(0.18f), 0.4613561f, 1e-6);
  EXPECT_NEAR(engine::io::srgb_from_linear(1.0f), 1.0f, 1e-6);
}

TEST(srgb_transfer, eight_bit_codes_clamp_and_send_nan_to_black) {
  EXPECT_EQ(engine::io::srgb8_from_linear(-3.0f), 0);
  EXPECT_EQ(engine::io::srgb8_from_linear(std::numeric_limits<float>::quiet_NaN()), 0);
  EXPECT_EQ(engine::io::srgb8_from_linear(0.5f), 188);  // 0.73536 * 255 = 187.5 -> 188
  EXPECT_EQ(engine::io::srgb8_from_linear(1.0f), 255);
  EXPECT_EQ(engine::io::srgb8_from_linear(7.0f), 255);
  EXPECT_EQ(engine::io::srgb8_from_linear(std::numeric_limits<float>::infinity()), 255);
}

// A 3 x 2 image whose pixels differ in every channel, so that a swapped channel, a transposed
// image or a flipped row shows.
test_block gradient_block() {
  test_block image(3, 2);
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 3; ++x) {
      float* p = image.pixel(x, y);
      p[0] = 0.1f * (x + 1) + 0.01f * y;
      p[1] = 0.05f * (y + 1);
      p[2] = 0.3f + 0.02f * x;
    }
  }
  return image;
}

TEST_F(image_files, exr_and_pfm_keep_linear_floats_times_the_display_scale) {
  for (const std::string name : {"linear.exr", "linear.pfm"}) {
    SCOPED_TRACE(name);
    test_block image = gradient_block();
    image.pixel(2, 1)[0] = 12.5f;  // radiance above 1 stays as it is
    engine::io::write_image(path(name), image.block(), 2.0f);
    const read_image back = read(path(name));
    ASSERT_EQ(back.width, 3);
    ASSERT_EQ(back.height, 2);
    ASSERT_EQ(back.channels, 3);
    EXPECT_EQ(back.stored, OIIO::TypeDesc::FLOAT);
    for (int i = 0; i < 18; ++i) {
      EXPECT_FLOAT_EQ(back.values[i], image.block().pixels()[i] * 2.0f) << "value " << i;
    }
  }
}

TEST_F(image_files, pfm_stores_the_bottom_row_first) {
  test_block image(1, 2);
  image.pixel(0, 0)[0] = 1.0f;  // top
  image.pixel(0, 1)[0] = 2.0f;  // bottom
  engine::io::write_image(path("rows.pfm"), image.block(), 1.0f);
  std::ifstream file(path("rows.pfm"), std::ios::binary);
  std::string kind, scale;
  int width = 0, height = 0;
  file >> kind >> width >> height >> scale;
  file.get();  // the single whitespace before the data
  EXPECT_EQ(kind, "PF");
  EXPECT_EQ(width, 1);
  EXPECT_EQ(height, 2);
  float first[3];
  file.read(reinterpret_cast<char*>(first), sizeof first);
  ASSERT_TRUE(file);
  EXPECT_LT(std::stof(scale), 0.0f);  // little-endian floats
  EXPECT_EQ(first[0], 2.0f);
}

TEST_F(image_files, png_and_jpeg_hold_clamped_srgb_codes) {
  test_block image(4, 1);
  const float linear[4] = {-1.0f, 0.18f, 0.5f, 3.0f};
  for (int x = 0; x < 4; ++x) {
    for (int c = 0; c < 3; ++c) image.pixel(x, 0)[c] = linear[x];
  }
  engine::io::write_image(path("display.png"), image.block(), 1.0f);
  const read_image png = read(path("display.png"));
  ASSERT_EQ(png.stored, OIIO::TypeDesc::UINT8);
  ASSERT_EQ(png.codes.size(), 12u);
  const unsigned char expected[4] = {0, 118, 188, 255};
  for (int x = 0; x < 4; ++x) {
    for (int c = 0; c < 3; ++c) EXPECT_EQ(png.codes[3 * x + c], expected[x]) << "pixel " << x;
  }

  // JPEG is lossy, but a flat grey survives to within a code or two.
  test_block grey(16, 16);
  for (int i = 0; i < 16 * 16 * 3; ++i) grey.block().pixels()[i] = 0.18f;
  engine::io::write_image(path("grey.jpg"), grey.block(), 1.0f);
  const read_image jpeg = read(path("grey.jpg"));
  ASSERT_EQ(jpeg.width, 16);
  ASSERT_EQ(jpeg.codes.size(), 16u * 16 * 3);
  for (unsigned char code : jpeg.codes) EXPECT_NEAR(code, 118, 2);
}

TEST_F(image_files, display_scale_applies_before_the_transfer_and_the_clamp) {
  test_block image(2, 1);
  for (int c = 0; c < 3; ++c) {
    image.pixel(0, 0)[c] = 0.25f;  // 0.5 after scaling
    image.pixel(1, 0)[c] = 0.75f;  // 1.5 after scaling: clamped
  }
  engine::io::write_image(path("scaled.png"), image.block(), 2.0f);
  const read_image png = read(path("scaled.png"));
  ASSERT_EQ(png.codes.size(), 6u);
  EXPECT_EQ(png.codes[0], 188);
  EXPECT_EQ(png.codes[3], 255);
}

TEST_F(image_files, a_finished_write_replaces_the_file_by_renaming_and_leaves_nothing_behind) {
  const std::string target = path("image.exr");
  { std::ofstream(target) << "an older image"; }
  struct stat before {};
  ASSERT_EQ(::stat(target.c_str(), &before), 0);

  test_block image = gradient_block();
  engine::io::write_image(target, image.block(), 1.0f);
  struct stat after {};
  ASSERT_EQ(::stat(target.c_str(), &after), 0);
  // Writing in place would keep the inode; a rename brings the new file's own.
  EXPECT_NE(before.st_ino, after.st_ino);
  EXPECT_EQ(read(target).width, 3);
  EXPECT_TRUE(others("image.exr").empty());
}

TEST_F(image_files, the_temporary_name_is_hidden_beside_the_target_with_its_extension) {
  const fs::path temporary = engine::io::temporary_name_for(path("out.png"));
  EXPECT_EQ(temporary.parent_path(), directory);
  EXPECT_EQ(temporary.filename().string().front(), '.');
  EXPECT_EQ(temporary.extension(), ".png");
  EXPECT_NE(temporary.filename(), "out.png");
  EXPECT_NE(temporary.string().find(std::to_string(::getpid())), std::string::npos);
}

TEST_F(image_files, a_failed_write_leaves_the_old_file_and_no_temporary) {
  const std::string target = path("keep.png");
  { std::ofstream(target) << "the previous image"; }

  test_block empty(0, 0);
  EXPECT_THROW(engine::io::write_image(target, empty.block(), 1.0f), std::runtime_error);

  // A directory where the temporary file should go makes the writer itself fail.
  fs::create_directory(engine::io::temporary_name_for(target));
  test_block image = gradient_block();
  try {
    engine::io::write_image(target, image.block(), 1.0f);
    ADD_FAILURE() << "writing over a directory succeeded";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find(target), std::string::npos) << error.what();
  }
  fs::remove(engine::io::temporary_name_for(target));

  std::ifstream file(target);
  std::string content;
  std::getline(file, content);
  EXPECT_EQ(content, "the previous image");
  EXPECT_TRUE(others("keep.png").empty());
}

TEST_F(image_files, unknown_extensions_and_missing_directories_are_errors_naming_the_file) {
  test_block image = gradient_block();
  try {
    engine::io::write_image(path("image.tiff"), image.block(), 1.0f);
    ADD_FAILURE() << "wrote a .tiff";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("image.tiff"), std::string::npos);
  }
  EXPECT_THROW(engine::io::write_image(path("no/such/dir/image.exr"), image.block(), 1.0f),
               std::runtime_error);
  EXPECT_TRUE(others("").empty());
}

}  // namespace
