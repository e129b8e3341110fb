// The child process that writes image files (engine/io/image_writer_child.h). A program of its
// own: the child is forked only from a process of one thread, and the other I/O tests link
// OpenImageIO, whose libraries start threads when they load.
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "engine/io/image_file.h"
#include "engine/io/image_writer_child.h"
#include "tests/engine/io/io_test_util.h"
#include "tests/scratch_directory.h"

namespace {

namespace child = engine::io::image_writer_child;
using engine::io::write_image;

// Whether this process has opened the image codec library itself.
bool codec_opened_here() {
  std::ifstream maps("/proc/self/maps");
  const std::string text((std::istreambuf_iterator<char>(maps)), {});
  return text.find("qor_image_codec.so") != std::string::npos;
}

using image_writer_child = test_support::scratch_directory_test;

// Images go through the child once it is ready, its errors come back as the writer's own, and
// without it they are written here as before; what it wrote reads back exactly.
TEST_F(image_writer_child, writes_images_once_it_has_opened_the_codec) {
  child::start();
  for (int i = 0; i < 6000 && !child::ready(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(child::ready());
  test_support::test_image image(3, 2);
  for (int i = 0; i < 18; ++i) image.block().pixels()[i] = 0.05f * float(i + 1);
  write_image(path("child.exr"), image.block(), 2.0f);
  write_image(path("child.png"), image.block(), 1.0f);

  test_support::expect_writer_failure_naming(path("keep.png"), image.block());
  EXPECT_TRUE(child::ready());  // a failed write leaves the child serving
  EXPECT_FALSE(codec_opened_here());

  child::stop();
  EXPECT_FALSE(child::ready());
  write_image(path("here.exr"), image.block(), 2.0f);
  EXPECT_TRUE(codec_opened_here());

  const engine::io::image_pixels exr = engine::io::read_image(path("child.exr"));
  ASSERT_EQ(std::tuple(exr.width, exr.height, exr.channels), std::tuple(3, 2, 3));
  for (int i = 0; i < 18; ++i) EXPECT_EQ(exr.values[size_t(i)], image.block().pixels()[i] * 2);
  EXPECT_EQ(engine::io::read_image(path("here.exr")).values, exr.values);
  const engine::io::image_pixels png = engine::io::read_image(path("child.png"));
  EXPECT_TRUE(png.eight_bit);
  EXPECT_EQ(png.values.size(), 18u);
}

}  // namespace
