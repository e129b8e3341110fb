#include <cmath>

#include "tests/module/module_test.h"
#include "tree/ppm_tree.h"

namespace {

class frame_setup_test : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    host().options.width = 640;
    host().options.height = 480;
    host().options.fov = 90.0f;
    host().camera.screen_left = host().camera.screen_right = 1.0f;
    host().camera.screen_bottom = host().camera.screen_top = 1.0f;
  }
};

TEST_F(frame_setup_test, pixel_angle_is_the_larger_of_the_two_axis_angles) {
  renderer->setup(scene());
  const float ax = tanf(static_cast<float>(2.0 * (90.0 * 0.017453292519943295) / 640.0));
  const float ay = static_cast<float>(tan(2.0 * (90.0 * 0.017453292519943295) / 480.0));
  EXPECT_EQ(renderer->pixel_angle, ay);
  EXPECT_GT(ay, ax);
  EXPECT_NEAR(renderer->pixel_angle, std::tan(M_PI / 480.0), 1e-7);

  // A wider screen window in x makes x the larger angle.
  host().camera.screen_left = host().camera.screen_right = 2.0f;
  renderer->setup(scene());
  EXPECT_EQ(renderer->pixel_angle,
            tanf(static_cast<float>(4.0 * (90.0 * 0.017453292519943295) / 640.0)));
}

TEST_F(frame_setup_test, output_block_is_allocated_for_the_image_and_released_by_cleanup) {
  renderer->setup(scene());
  ASSERT_NE(renderer->output_block, nullptr);
  const fake_allocation& a = host().live_allocations.at(renderer->output_block);
  EXPECT_EQ(a.bytes, 16u + 12u * 640u * 480u);
  EXPECT_EQ(a.kind, 4);
  EXPECT_EQ(a.alignment, 64u);

  renderer->cleanup();
  EXPECT_TRUE(host().live_allocations.empty());
  EXPECT_EQ(host().texts("sprint").back(), "Cleanup progressive photon mapping\n");
  renderer->cleanup();  // a second cleanup must not release the block again
  EXPECT_EQ(host().frees, 1);
}

TEST_F(frame_setup_test, setup_twice_keeps_the_first_block_allocated) {
  renderer->setup(scene());
  qorImage_block* first = renderer->output_block;
  renderer->setup(scene());
  EXPECT_NE(renderer->output_block, first);
  EXPECT_EQ(host().live_allocations.count(first), 1u);
  EXPECT_EQ(host().live_allocations.size(), 2u);
}

TEST_F(frame_setup_test, setup_clears_the_change_flag_and_reads_the_camera_position) {
  host().options.scene_changed = 1;
  host().view.camera_position[0] = 1.5;
  host().view.camera_position[1] = -2.25;
  host().view.camera_position[2] = 1e10;
  renderer->setup(scene());
  EXPECT_EQ(host().options.scene_changed, 0);
  EXPECT_EQ(renderer->camera_pos[0], 1.5);
  EXPECT_EQ(renderer->camera_pos[1], -2.25);
  EXPECT_EQ(renderer->camera_pos[2], 1e10);
}

TEST_F(frame_setup_test, setup_forgets_the_previous_trees_and_framebuffer) {
  renderer->tree = new ppm_tree(nullptr, 0);
  renderer->tree2 = new ppm_tree(nullptr, 0);
  renderer->framebuffer = static_cast<qorImage_block*>(qor_malloc_aligned(64, 64));
  renderer->setup(scene());
  EXPECT_EQ(renderer->tree, nullptr);
  EXPECT_EQ(renderer->tree2, nullptr);
  EXPECT_EQ(renderer->framebuffer, nullptr);
}

TEST_F(frame_setup_test, failed_output_allocation_is_reported_and_setup_completes) {
  host().fail_allocations_of_bytes = 16u + 12u * 640u * 480u;
  host().view.camera_position[0] = 3.0;
  renderer->setup(scene());
  EXPECT_EQ(renderer->output_block, nullptr);
  ASSERT_EQ(host().texts("error").size(), 1u);
  EXPECT_EQ(host().texts("error")[0], "Out of memory allocating framebuffer element\n");
  EXPECT_EQ(renderer->camera_pos[0], 3.0);
  EXPECT_GT(renderer->pixel_angle, 0.0f);
}

}  // namespace
