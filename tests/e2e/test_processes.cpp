// qor-render as several processes under mpirun: one image, the photons of all of them, one
// decision to end, and one process's error ends them all.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"

namespace {

using e2e::run_result;

const std::string tiny = std::string(QOR_E2E_SCENES) + "/tiny.pbrt";

class processes_test : public e2e::qor_render_test {
 protected:
  void SetUp() override {
    e2e::qor_render_test::SetUp();
    if (!QOR_E2E_MPI) GTEST_SKIP() << "qor-render was built without MPI";
    if (std::system("command -v mpirun >/dev/null 2>&1") != 0) GTEST_SKIP() << "no mpirun";
  }

  // mpirun on any machine (more processes than cores; root in containers) with `programs`, "%"
  // standing for this qor-render with the run's arguments; `before` and `after` go around it.
  static e2e::run_options mpirun(const std::string& programs = "-n 2 %",
                                 const std::string& before = "", const std::string& after = "") {
    const std::string as_root = geteuid() == 0 ? " --allow-run-as-root" : "";
    return {
        .shell = before + "timeout 120 mpirun --oversubscribe" + as_root + " " + programs + after,
        .time_limit = 0};
  }
};

// The paths "(accepted / traced)" of the last photon pass's verbose statistics.
unsigned long paths_traced(const std::string& messages) {
  const size_t at = messages.rfind("Emitter 0: Uniform accept:");
  unsigned long accepted = 0, traced = 0;
  if (at != std::string::npos)
    std::sscanf(messages.c_str() + messages.find('(', at), "(%lu / %lu)", &accepted, &traced);
  return traced;
}

TEST_F(processes_test, two_processes_render_the_one_process_image_with_twice_the_photons) {
  const std::vector<std::string> common = {tiny, "--threads", "1", "--iterations", "6", "-v"};
  const run_result alone = run(e2e::with(common, {"--photons", "40000", "-o", "alone.exr"}));
  ASSERT_EQ(alone.status, 0) << alone.err;
  const run_result shared =
      run(e2e::with(common, {"--photons", "20000", "-o", "shared.exr"}), mpirun());
  ASSERT_EQ(shared.status, 0) << shared.command << "\n" << shared.err;

  // Each process traced its 20000 chain steps, and the statistics that normalise the next pass
  // count both.
  EXPECT_EQ(paths_traced(shared.err), 40000u) << shared.err;
  // One process writes the image.
  EXPECT_EQ(e2e::occurrences(shared.err, "Wrote "), 1u) << shared.err;

  // The same image within noise: each 8x8 block's mean within 3%, the whole within 1%. A pass
  // counted once (its flux halved) or twice fails it.
  const e2e::rgb_image images[2] = {e2e::read_rgb_image(path("alone.exr")),
                                    e2e::read_rgb_image(path("shared.exr"))};
  ASSERT_EQ(std::pair(images[1].width, images[1].height),
            std::pair(images[0].width, images[0].height));
  const int width = images[0].width;
  double block[2][64] = {}, total[2] = {};  // blocks of 8 x 8 pixels, at most 8 x 8 of them
  for (int i = 0; i < 2; ++i) {
    for (size_t k = 0; k < images[i].values.size(); ++k) {
      const size_t x = k / 3 % width, y = k / 3 / width;
      block[i][y / 8 * 8 + x / 8] += images[i].values[k];
      total[i] += images[i].values[k];
    }
  }
  ASSERT_TRUE(width <= 64 && images[0].height <= 64 && total[0] > 0);
  for (int k = 0; k < 64; ++k) EXPECT_NEAR(block[1][k], block[0][k], 0.03 * block[0][k]) << k;
  EXPECT_NEAR(total[1], total[0], 0.01 * total[0]);
}

TEST_F(processes_test, a_time_limit_and_an_error_end_every_process) {
  // Without one decision for all, the second process would go on after the first stopped.
  const run_result timed = run(
      {tiny, "--threads", "1", "--iterations", "0", "--time", "2", "-o", "timed.exr"}, mpirun());
  EXPECT_EQ(timed.status, 0) << timed.err;
  EXPECT_TRUE(std::filesystem::exists(path("timed.exr"))) << timed.err;

  // The second process cannot read its scene while the first would render forever.
  const run_result failed =
      run({tiny, "--threads", "1", "--iterations", "0", "-o", "never.exr"},
          mpirun("-n 1 % : -n 1 " + e2e::shell_quoted(QOR_RENDER_PATH) + " missing.pbrt"));
  EXPECT_EQ(failed.status, 2) << failed.err;
  EXPECT_NE(failed.err.find("missing.pbrt"), std::string::npos) << failed.err;
  EXPECT_FALSE(std::filesystem::exists(path("never.exr")));
}

}  // namespace
