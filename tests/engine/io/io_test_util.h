// An image block with its pixels, laid out as the renderer hands one over: the 16-byte header
// (four floats long), then width x height RGB floats.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/io/image_file.h"
#include "host/records.h"

namespace test_support {

struct test_image {
  test_image(int width, int height, float value = 0, int x0 = 0, int y0 = 0)
      : storage(qorImage_block::bytes(width, height) / 4, value) {
    block() = {x0, y0, width, height};
  }
  qorImage_block& block() { return *reinterpret_cast<qorImage_block*>(storage.data()); }
  float* pixel(int x, int y) { return block().pixels() + 3 * (y * block().width + x); }
  std::vector<float> storage;
};

// Makes the image writer itself fail on `path` (a directory stands where its temporary file
// goes) and expects the error to name the file.
inline void expect_writer_failure_naming(const std::string& path, const qorImage_block& block) {
  std::filesystem::create_directory(engine::io::temporary_name_for(path));
  try {
    engine::io::write_image(path, block, 1.0f);
    ADD_FAILURE() << "wrote through a directory";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("'" + path + "'"), std::string::npos);
  }
}

}  // namespace test_support
