#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include <OpenImageIO/imagebuf.h>
#include <gtest/gtest.h>

#include "engine/io/image_file.h"
#include "tests/engine/io/io_test_util.h"
#include "tests/scratch_directory.h"

namespace {

namespace fs = std::filesystem;
using engine::io::write_image;

using test_image = test_support::test_image;

struct read_back {
  OIIO::ImageSpec stored;     // size, channels and type as in the file
  std::vector<float> values;  // 8-bit files: code / 255
};

read_back read(const std::string& path) {
  OIIO::ImageBuf image(path);
  EXPECT_TRUE(image.read(0, 0, true, OIIO::TypeDesc::FLOAT)) << image.geterror();
  EXPECT_EQ(image.nchannels(), 3);
  read_back back{image.nativespec(), std::vector<float>(image.roi().npixels() * 3)};
  image.get_pixels(image.roi(), OIIO::TypeDesc::FLOAT, back.values.data());
  return back;
}

using image_files = test_support::scratch_directory_test;

// OpenImageIO reads PFM back, so a wrong byte order or row order in our own PFM writer shows here.
TEST_F(image_files, exr_and_pfm_keep_linear_floats_times_the_display_scale) {
  for (const std::string name : {"linear.exr", "linear.PFM"}) {
    SCOPED_TRACE(name);
    // Values that differ in every channel, so that a swapped channel, a transposed image or a
    // flipped row shows, one of them above 1.
    test_image image(3, 2);
    for (int i = 0; i < 18; ++i) image.block().pixels()[i] = 0.05f * float(i + 1);
    image.pixel(2, 1)[0] = 12.5f;
    write_image(path(name), image.block(), 2.0f);
    const read_back back = read(path(name));
    ASSERT_EQ(std::tuple(back.stored.width, back.stored.height, back.stored.format),
              std::tuple(3, 2, OIIO::TypeDesc::FLOAT));
    for (int i = 0; i < 18; ++i) EXPECT_FLOAT_EQ(back.values[i], image.block().pixels()[i] * 2);
  }
}

TEST_F(image_files, png_and_jpeg_hold_srgb_codes_of_the_scaled_clamped_values) {
  // Times 2: the linear toe (12.92 x 0.002 x 255 = 6.6), the power segment (0.46136 x 255 =
  // 117.6 for 0.18), clamping, and NaN as black.
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = INFINITY;
  const float linear[] = {-1.0f, 0.001f, 0.09f, 0.25f, 0.75f, nan, inf};
  const int expected[] = {0, 7, 118, 188, 255, 0, 255};
  test_image image(7, 1);
  for (int x = 0; x < 7; ++x)
    for (int c = 0; c < 3; ++c) image.pixel(x, 0)[c] = linear[x];
  write_image(path("display.png"), image.block(), 2.0f);
  const read_back png = read(path("display.png"));
  ASSERT_EQ(png.stored.format, OIIO::TypeDesc::UINT8);
  for (int i = 0; i < 21; ++i) EXPECT_EQ(std::lround(png.values[i] * 255), expected[i / 3]) << i;
  // JPEG is lossy, but a flat grey survives to within a code or two.
  write_image(path("grey.jpeg"), test_image(16, 16, 0.18f).block(), 1.0f);
  for (float value : read(path("grey.jpeg")).values) EXPECT_NEAR(value * 255, 118, 2);
}

// A write goes to a temporary file renamed over the target when finished: a failed one is an
// error naming the file and leaves the old image whole.
TEST_F(image_files, writes_replace_the_file_by_renaming_and_a_failed_one_leaves_it) {
  const std::string target = path("image.exr");
  { std::ofstream(target) << "an older image"; }
  struct stat before {
  }, after{};
  ASSERT_EQ(::stat(target.c_str(), &before), 0);
  test_image image(3, 2, 0.5f), empty(0, 0);
  write_image(target, image.block(), 1.0f);
  ASSERT_EQ(::stat(target.c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino);  // writing in place would keep the inode
  EXPECT_EQ(read(target).stored.width, 3);

  const std::string kept = path("keep.png");
  { std::ofstream(kept) << "the previous image"; }
  EXPECT_THROW(write_image(kept, empty.block(), 1.0f), std::runtime_error);
  EXPECT_THROW(write_image(path("keep.tiff"), image.block(), 1.0f), std::runtime_error);
  EXPECT_THROW(write_image(path("no/such/dir/x.exr"), image.block(), 1.0f), std::runtime_error);
  test_support::expect_writer_failure_naming(kept, image.block());
  std::ifstream file(kept);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "the previous image");
  // The two images: no temporary left.
  EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 2);
}

}  // namespace
