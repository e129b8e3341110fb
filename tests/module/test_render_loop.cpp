#include <algorithm>

#include "photons/random.h"
#include "tests/module/module_test.h"
#include "tests/module/render_arrays.h"

namespace {

class render_loop_test : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    host().options.width = 4;
    host().options.height = 3;
    block = default_parameters();
    block.max_iterations = 3;
  }

  int render() {
    create(block);
    renderer->setup(scene());
    return the_sampler().render(scene());
  }

  std::vector<std::string> elapsed_lines() const {
    std::vector<std::string> lines;
    for (const std::string& t : host().texts("info")) {
      if (t.find("Elapsed time") != std::string::npos) lines.push_back(t);
    }
    return lines;
  }

  ppm_parameters block;
};

TEST_F(render_loop_test, output_every_two_of_three_iterations_outputs_once) {
  block.output_every = 2;
  host().events.push_back({qor_event_key, '7'});
  render();
  EXPECT_EQ(host().count_calls("qor_output_check_input"), 1);
  EXPECT_EQ(renderer->visualize_mode, 7);  // the one poll happened
  EXPECT_EQ(renderer->iteration, 3);
  ASSERT_EQ(host().output_blocks.size(), 1u);
  EXPECT_EQ(host().output_blocks[0], renderer->output_block);
  EXPECT_EQ(elapsed_lines(),
            (std::vector<std::string>{"[1] Elapsed time 0 minutes 0.0 seconds\n",
                                      "[2] Elapsed time 0 minutes 0.0 seconds\n",
                                      "[3] Elapsed time 0 minutes 0.0 seconds\n"}));
  EXPECT_EQ(host().calls.back(), "qor_output_block");
}

TEST_F(render_loop_test, output_every_zero_behaves_like_one) {
  block.output_every = 0;
  render();
  EXPECT_EQ(host().count_calls("qor_output_check_input"), 3);
}

TEST_F(render_loop_test, no_iteration_limit_runs_until_the_end_event) {
  block.max_iterations = 0;
  for (int i = 0; i < 4; ++i) host().events.push_back({qor_event_key, 'x'});
  host().events.push_back({qor_event_end, 0});
  host().events.push_back({qor_event_key, '3'});  // never read
  render();
  EXPECT_EQ(renderer->iteration, 5);
  EXPECT_EQ(elapsed_lines().size(), 5u);
  EXPECT_EQ(host().events.size(), 1u);
  EXPECT_EQ(host().output_blocks.size(), 1u);
}

TEST_F(render_loop_test, negative_limit_also_means_no_limit) {
  block.max_iterations = -5;
  host().events.push_back({qor_event_end, 0});
  render();
  EXPECT_EQ(renderer->iteration, 1);
}

TEST_F(render_loop_test, elapsed_time_splits_into_whole_minutes_and_seconds) {
  block.max_iterations = 1;
  bool first = true;
  host().now = [&first] {
    const double t = first ? 1000.0 : 1125.3;
    first = false;
    return t;
  };
  render();
  EXPECT_EQ(elapsed_lines(),
            (std::vector<std::string>{"[1] Elapsed time 2 minutes 5.3 seconds\n"}));
}

TEST_F(render_loop_test, job_count_is_eight_per_thread_but_at_least_one_hundred) {
  host().threads = 4;
  block.max_iterations = 1;
  render();
  EXPECT_EQ(renderer->job_count, 100);
  start_over();
  host().threads = 13;
  render();
  EXPECT_EQ(renderer->job_count, 104);
}

TEST_F(render_loop_test, render_start_allocates_zeroed_arrays_and_releases_them_at_the_end) {
  host().threads = 2;
  block.max_iterations = 1;
  block.point_mode = 1;
  create(block);
  renderer->setup(scene());

  the_sampler().render(scene());

  const size_t points = 4 * 3 * 156;
  const std::vector<fake_allocation>& made = host().allocation_log;
  auto has = [&](size_t bytes, int kind) {
    return std::any_of(made.begin(), made.end(), [&](const fake_allocation& a) {
      return a.bytes == bytes && a.kind == kind && a.alignment == 64;
    });
  };
  EXPECT_EQ(renderer->max_points, 12);
  // Live at render end: the output block and the framebuffer, which the module keeps.
  EXPECT_EQ(host().live_allocations.size(), 2u);
  EXPECT_EQ(host().live_allocations.at(renderer->framebuffer).bytes, 16u + 12u * 12u);
  EXPECT_EQ(renderer->framebuffer->width, 4);
  EXPECT_EQ(renderer->framebuffer->height, 3);
  EXPECT_EQ(renderer->framebuffer->x0, 0);
  EXPECT_EQ(renderer->pixels, renderer->framebuffer->pixels());
  EXPECT_EQ(renderer->points, nullptr);
  EXPECT_EQ(renderer->points2, nullptr);
  EXPECT_EQ(renderer->pixel_points, nullptr);
  EXPECT_EQ(renderer->candidates, nullptr);
  // points and points2 from the plain allocator, the per-pixel records from kind 4.
  EXPECT_EQ(std::count_if(made.begin(), made.end(),
                          [&](const fake_allocation& a) { return a.bytes == points; }),
            3);
  EXPECT_TRUE(has(16 + 12 * 12, 4));
  EXPECT_TRUE(has(points, -1));
  EXPECT_TRUE(has(points, 4));
  EXPECT_TRUE(has(2 * 9988, -1));
  EXPECT_EQ(host().count_calls("qor_tls_alloc 3096"), 1);
  EXPECT_TRUE(host().said("Size of ppm point = 156 bytes\n"));
  EXPECT_TRUE(host().said("Using 2 threads\n"));
}

TEST_F(render_loop_test, pixel_samples_are_forced_to_one_and_the_host_told) {
  render();
  EXPECT_EQ(host().options.min_pixel_samples, 1);
  EXPECT_EQ(host().options.max_pixel_samples, 1);
  EXPECT_EQ(host().options_updates, 1);
  EXPECT_EQ(host().render_updates, 1);
  // Already 1: left alone.
  start_over();
  host().options.min_pixel_samples = 1;
  render();
  EXPECT_EQ(host().options_updates, 0);
}

TEST_F(render_loop_test, photon_setup_runs_inside_thread_zero_context_once) {
  render();
  ASSERT_FALSE(host().thread_inits.empty());
  EXPECT_EQ(host().thread_inits[0], 0);
  EXPECT_EQ(host().thread_exits[0], 0);
}

TEST_F(render_loop_test, iteration_seeds_come_from_the_global_generator_across_renders) {
  block.max_iterations = 2;
  xorshift128 expected = global_random;
  render();
  expected.next_u32();
  EXPECT_EQ(renderer->pass_seed, expected.next_u32());
  render();  // a second render continues the sequence
  expected.next_u32();
  EXPECT_EQ(renderer->pass_seed, expected.next_u32());
}

TEST_F(render_loop_test, render_returns_the_hosts_stop_flag) {
  host().stop = 1;
  EXPECT_EQ(render(), 1);
  start_over();
  EXPECT_EQ(render(), 0);
}

TEST_F(render_loop_test, failed_framebuffer_allocation_is_reported_and_the_block_delivered) {
  host().fail_allocations_of_bytes = 16u + 12u * 12u;
  create(block);
  renderer->output_block = nullptr;  // setup's block has the same size, so skip setup
  the_sampler().render(scene());
  EXPECT_EQ(host().texts("error"),
            std::vector<std::string>{"Out of memory allocating framebuffer element\n"});
  EXPECT_EQ(host().output_blocks.size(), 1u);
  EXPECT_TRUE(elapsed_lines().empty());
}

TEST_F(render_loop_test, single_eye_pass_points_are_traced_once_and_first_rescaled_by_zero) {
  block.sampling_mode = 0;
  block.refine_mode = 0;
  block.max_iterations = 3;
  host().events.push_back({qor_event_key, '1'});  // view 1: the points' radiance alone
  host().trace_primary = [this](fake_ray& ray, float color[3], int x, int y, float, float) {
    shade_camera_hit(*renderer, ray, x, y);
    // A point that starts with an estimate, so that the rescaling shows in the view.
    candidate_buffer& candidates = renderer->candidates_of(ray.thread->thread_index);
    candidates.slots[candidates.count - 1].radiance[0] = 4.0f;
    color[0] = color[1] = color[2] = 0.5f;
    return true;
  };
  render();

  int eye_passes = 0;
  std::vector<std::string> builds;
  for (const std::string& t : host().texts("sprint")) {
    eye_passes += t.find("Image sampling") != std::string::npos;
    if (t.find("Build ppm structure") != std::string::npos) builds.push_back(t.substr(0, 33));
  }
  EXPECT_EQ(eye_passes, 1);
  EXPECT_EQ(builds, (std::vector<std::string>{"[1] Build ppm structure 12 / 0 po",
                                              "[2] Build ppm structure 12 / 0 po",
                                              "[3] Build ppm structure 12 / 0 po"}));
  // iteration / (iteration + 1) is 0 in the first iteration: the estimate starts over.
  ASSERT_FALSE(host().shown_pixels.empty());
  EXPECT_EQ(host().shown_pixels[0], std::vector<float>(36, 0.0f));
  // The trees indexed the released point arrays; they are gone with them.
  EXPECT_EQ(renderer->tree, nullptr);
  EXPECT_EQ(renderer->tree2, nullptr);
  for (const auto& [block, allocation] : host().live_allocations) EXPECT_NE(allocation.kind, 16);
}

}  // namespace
