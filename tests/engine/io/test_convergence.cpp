// The convergence log: the error and brightness of an image against a reference, per output step.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/io/convergence.h"
#include "engine/io/image_file.h"
#include "tests/engine/io/io_test_util.h"
#include "tests/scratch_directory.h"

namespace {

using test_support::test_image;
using convergence = test_support::scratch_directory_test;

// A reference of 0.5 everywhere but one pixel of 2: images of it, doubled, or a region of it
// give the figures compare-peer would, and a block that fits nowhere in it is refused.
TEST_F(convergence, scores_images_and_regions_against_the_reference) {
  test_image reference(4, 3, 0.5f);
  for (int c = 0; c < 3; c++) reference.pixel(1, 1)[c] = 2;
  engine::io::write_image(path("ref.exr"), reference.block(), 1);
  engine::io::convergence_log log(path("ref.exr"), path("run.csv"));

  const engine::io::convergence_point same = log.score(reference.block(), 1);
  EXPECT_NEAR(same.rel_mse, 0, 1e-12);
  EXPECT_NEAR(same.mean_ratio, 1, 1e-6);
  // Twice as bright through the display scale: each 0.5 is off by 0.5, the 2 by 2.
  const engine::io::convergence_point doubled = log.score(reference.block(), 2);
  EXPECT_NEAR(doubled.rel_mse, (11 * 0.25 / 0.26 + 4 / 4.01) / 12, 1e-6);
  EXPECT_NEAR(doubled.mean_ratio, 2, 1e-6);
  // Regions of it, all 0.5, one narrower, one as wide but lower: only the pixel of 2 differs, and
  // only where the region is placed by its corner.
  for (test_image region : {test_image(1, 1, 0.5f, 1, 1), test_image(4, 1, 0.5f, 0, 1)})
    EXPECT_NEAR(log.score(region.block(), 1).rel_mse, 2.25 / 4.01 / region.block().width, 1e-6);
  EXPECT_THROW(log.score(test_image(2, 2, 0.5f, 3, 2).block(), 1), std::runtime_error);

  log.append(3, 1.5, 200000, doubled);
  std::ifstream csv(path("run.csv"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(csv), {}),
            "iteration,seconds,photons,rel_mse,mean_ratio\n3,1.500,200000,0.964536,2\n");
  EXPECT_THROW(engine::io::convergence_log(path("missing.exr"), path("x.csv")), std::runtime_error);
}

}  // namespace
