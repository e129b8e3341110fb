// An image block with its pixels, laid out as the renderer hands one over: the 16-byte header
// (four floats long), then width x height RGB floats.
#pragma once

#include <vector>

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

}  // namespace test_support
