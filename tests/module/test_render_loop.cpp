#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "module/photons/random.h"
#include "tests/module/module_test.h"
#include "tests/module/render_arrays.h"

namespace {

// --- The installer ----------------------------------------------------------------------------

using installer_test = module_test;

TEST_F(installer_test, only_a_compatible_host_gets_the_installer_and_always_the_same_one) {
  host().signature_ok = false;
  qor_initialize(&scene());
  EXPECT_EQ(host().texts("critical"), strings{"Cannot load incompatible module\n"});
  host().signature_ok = true;
  qor_initialize(&scene());
  qor_initialize(&scene());
  const std::string check = std::string("qor_check_signature ") + qor_interface_banner;
  const std::string registration = "qor_register_dso_installer";
  EXPECT_EQ(host().calls, (strings{check, check, registration, check, registration}));
  ASSERT_EQ(host().installers, (std::vector<qorInstaller*>(2, &the_installer())));
  EXPECT_TRUE(the_installer().version_word == 0x20008u && the_installer().parameter_size() == 72);
}

TEST_F(installer_test, defaults_fill_every_byte_of_the_block) {
  // In static storage the expected block's tail padding is zero, as the installer's must be.
  static const ppm_parameters expected = {2, 1,       1,      1,    1,       1, 0,    0,   0,
                                          0, nullptr, 0.999f, 1000, 1000000, 1, 0.5f, 6.0f};
  unsigned char block[sizeof(ppm_parameters)];
  std::memset(block, 0xAB, sizeof block);
  EXPECT_EQ(the_installer().default_parameters(scene(), block), block);
  EXPECT_EQ(std::memcmp(block, &expected, sizeof block), 0);
  EXPECT_EQ(the_installer().default_parameters(scene(), nullptr), nullptr);
}

TEST_F(installer_test, create_copies_every_field_and_registers_both_renderer_names) {
  static const char file_name[] = "points.txt";
  // A distinct value in every field, so that a copy from the wrong one shows.
  const qorPPM& r =
      create({3, 4, 5, 6, 7, 8, 9, 10, 0, -1, file_name, 0.25f, 12, 13, 14, 0.125f, 0.0625f});
  EXPECT_EQ(
      (std::vector<int32_t>{r.refine_mode, r.reserved_option, r.sampling_mode, r.indirect_photons,
                            r.caustic_photons, r.direct_photons, r.point_mode, r.max_iterations,
                            r.photons_per_pass, r.output_every, r.point2_last_iteration}),
      (std::vector<int32_t>{3, 4, 5, 6, 7, 8, 10, 12, 13, 14, 2}));
  EXPECT_EQ((floats{r.alpha, r.min_radius_scale, r.radius_scale}),
            (floats{0.25f, 0.125f, 0.0625f}));
  EXPECT_TRUE(r.show_first_pass && !r.smooth && r.light_irradiance);
  EXPECT_EQ(r.points_file, file_name);  // the host's string, not a copy

  create(default_parameters());  // a second create reconfigures and registers again
  EXPECT_EQ(r.alpha, 0.999f);
  EXPECT_EQ(host().illum_apis, (std::vector<qorIllum_api*>{renderer, renderer}));
  strings names;
  for (const auto& [name, api, sampler] : host().renderers) {
    names.push_back(name);
    EXPECT_TRUE(api == renderer && sampler == &the_sampler());
  }
  EXPECT_EQ(names, (strings{"ppm", "asppm", "ppm", "asppm"}));
  EXPECT_EQ(the_sampler().renderer, renderer);

  start_over();  // a host that cannot find the sampler gets no renderer
  host().sampler_findable = false;
  ppm_parameters block = default_parameters();
  EXPECT_EQ(the_installer().create(scene(), &block), nullptr);
  EXPECT_TRUE(host().renderers.empty() && host().messages.empty());
  EXPECT_EQ(host().samplers.size(), 1u);
}

// --- Frame set-up and the iteration loop ------------------------------------------------------

// A 4 x 3 image whose camera rays miss, unless a test scripts them.
class render_loop_test : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    block = default_parameters();
    block.max_iterations = 3;
  }

  int render() {
    create(block);
    renderer->setup(scene());
    return the_sampler().render(scene());
  }

  strings lines_with(const std::string& part, const std::string& kind) const {
    strings lines;
    for (const std::string& t : host().texts(kind)) {
      if (t.find(part) != std::string::npos) lines.push_back(t);
    }
    return lines;
  }

  ppm_parameters block;
};

TEST_F(render_loop_test, pixel_angle_is_the_larger_axis_angle_x_in_float_and_y_in_double) {
  host().options.fov = 60.0f;
  const double radians = 60.0 * 0.017453292519943295;
  for (const float half_width : {4.0f / 3.0f, 1.0f}) {  // first x is the larger angle, then y
    host().camera.screen_left = host().camera.screen_right = half_width;
    renderer->setup(scene());
    const double x = static_cast<double>(2.0f * half_width) * radians / 4.0;
    const double y = 2.0 * radians / 3.0;
    const float ax = tanf(static_cast<float>(x)), ay = static_cast<float>(std::tan(y));
    ASSERT_TRUE(ax != static_cast<float>(std::tan(x)) && ay != tanf(static_cast<float>(y)));
    ASSERT_NE(ax > ay, half_width == 1.0f);
    EXPECT_EQ(renderer->pixel_angle, std::max(ax, ay)) << half_width;
  }
}

TEST_F(render_loop_test, setup_allocates_the_output_block_and_forgets_the_last_render) {
  host().options.scene_changed = 1;
  set3(host().view.camera_position, 1.5, -2.25, 1e10);
  renderer->tree = new ppm_tree(nullptr, 0);
  renderer->tree2 = new ppm_tree(nullptr, 0);
  renderer->framebuffer = static_cast<qorImage_block*>(qor_malloc_aligned(64, 64));
  renderer->setup(scene());
  EXPECT_EQ(host().options.scene_changed, 0);
  EXPECT_EQ(std::vector<double>(renderer->camera_pos, renderer->camera_pos + 3),
            (std::vector<double>{1.5, -2.25, 1e10}));
  EXPECT_TRUE(!renderer->tree && !renderer->tree2 && !renderer->framebuffer);
  qorImage_block* first = renderer->output_block;
  ASSERT_EQ(host().live_allocations.size(), 1u);
  const fake_allocation& a = host().live_allocations.at(first);
  EXPECT_TRUE(a.bytes == 16u + 12u * 12u && a.kind == 4 && a.alignment == 64u);

  // A second set-up makes a new block; only clean-up releases one, and only once.
  renderer->setup(scene());
  renderer->cleanup();
  renderer->cleanup();
  EXPECT_EQ(host().live_allocations.size(), 1u);
  EXPECT_EQ(host().live_allocations.count(first), 1u);
  EXPECT_EQ(host().texts("sprint"), strings(2, "Cleanup progressive photon mapping\n"));
}

TEST_F(render_loop_test, without_an_output_block_or_framebuffer_the_render_delivers_at_once) {
  host().fail_allocations_of_bytes = 16u + 12u * 12u;  // both have this size
  host().view.camera_position[0] = 3.0;
  renderer->setup(scene());
  EXPECT_EQ(renderer->output_block, nullptr);
  EXPECT_TRUE(renderer->camera_pos[0] == 3.0 && renderer->pixel_angle > 0.0f);
  create(block);
  the_sampler().render(scene());
  EXPECT_EQ(host().texts("error"), strings(2, "Out of memory allocating framebuffer element\n"));
  EXPECT_EQ(host().output_blocks, std::vector<qorImage_block*>{nullptr});
  EXPECT_TRUE(lines_with("Elapsed", "info").empty());
}

TEST_F(render_loop_test, the_image_is_output_every_output_every_iterations_zero_meaning_one) {
  const std::pair<int, int> cases[] = {{2, 1}, {0, 3}, {1, 3}};  // output_every, polls
  for (const auto& [every, polls] : cases) {
    start_over();
    block.output_every = every;
    host().events.push_back({qor_event_key, '7'});
    render();
    EXPECT_EQ(host().count_calls("qor_output_check_input"), polls) << every;
    EXPECT_TRUE(renderer->visualize_mode == view{7} && renderer->iteration == 3);
    EXPECT_EQ(host().output_blocks, std::vector<qorImage_block*>{renderer->output_block});
    EXPECT_EQ(host().calls.back(), "qor_output_block");
  }
  EXPECT_EQ(lines_with("Elapsed", "info"), (strings{"[1] Elapsed time 0 minutes 0.0 seconds\n",
                                                    "[2] Elapsed time 0 minutes 0.0 seconds\n",
                                                    "[3] Elapsed time 0 minutes 0.0 seconds\n"}));
}

TEST_F(render_loop_test, a_limit_below_one_runs_until_the_end_event) {
  for (int limit : {0, -5}) {
    start_over();
    block.max_iterations = limit;
    for (int i = 0; i < 4; ++i) host().events.push_back({qor_event_key, 'x'});
    host().events.push_back({qor_event_end, 0});
    host().events.push_back({qor_event_key, '3'});  // never read
    render();
    EXPECT_EQ(renderer->iteration, 5);
    EXPECT_EQ(lines_with("Elapsed", "info").size(), 5u);
    EXPECT_TRUE(host().events.size() == 1 && host().output_blocks.size() == 1);
  }
}

TEST_F(render_loop_test, elapsed_time_splits_into_whole_minutes_and_seconds) {
  block.max_iterations = 1;
  bool first = true;
  host().now = [&first] { return std::exchange(first, false) ? 1000.0 : 1125.3; };
  render();
  EXPECT_EQ(lines_with("Elapsed", "info"), strings{"[1] Elapsed time 2 minutes 5.3 seconds\n"});
}

TEST_F(render_loop_test, a_render_allocates_its_arrays_and_keeps_only_the_images) {
  host().threads = 2;
  block.max_iterations = 1;
  block.point_mode = 1;
  render();
  std::vector<std::pair<size_t, int>> made;
  for (const fake_allocation& a : host().allocation_log) {
    EXPECT_EQ(a.alignment, 64u);
    made.push_back({a.bytes, a.kind});
  }
  // Output block, framebuffer, points, candidates, second points, per-pixel records.
  const size_t points = 12 * 156;
  EXPECT_EQ(made,
            (std::vector<std::pair<size_t, int>>{
                {160, 4}, {160, 4}, {points, -1}, {2 * 9988, -1}, {points, -1}, {points, 4}}));
  EXPECT_EQ(renderer->max_points, 12);
  EXPECT_EQ(host().live_allocations.size(), 2u);
  const qorImage_block& fb = *renderer->framebuffer;
  EXPECT_TRUE(fb.x0 == 0 && fb.y0 == 0 && fb.width == 4 && fb.height == 3);
  EXPECT_EQ(renderer->pixels, renderer->framebuffer->pixels());
  EXPECT_TRUE(!renderer->points && !renderer->points2 && !renderer->pixel_points &&
              !renderer->candidates);
  EXPECT_EQ(host().count_calls("qor_tls_alloc 3096"), 1);
  EXPECT_TRUE(host().said("Size of ppm point = 156 bytes\n") && host().said("Using 2 threads\n"));
  EXPECT_TRUE(host().thread_inits.at(0) == 0 && host().thread_exits.at(0) == 0);  // photon set-up

  const std::pair<int, int> jobs[] = {{2, 100}, {12, 100}, {13, 104}};  // threads, jobs
  for (const auto& [threads, count] : jobs) {
    start_over();
    host().threads = threads;
    render();
    EXPECT_EQ(renderer->job_count, count);
  }
}

TEST_F(render_loop_test, pixel_samples_are_forced_to_one_and_the_stop_flag_is_returned) {
  host().stop = 1;
  EXPECT_EQ(render(), 1);
  EXPECT_TRUE(host().options.min_pixel_samples == 1 && host().options.max_pixel_samples == 1);
  EXPECT_EQ(host().count_calls("qor_options_update"), 1);
  EXPECT_EQ(host().count_calls("qor_render_update"), 1);
  start_over();
  host().options.min_pixel_samples = 1;  // already 1: the host is not told
  EXPECT_EQ(render(), 0);
  EXPECT_EQ(host().count_calls("qor_options_update"), 0);
}

TEST_F(render_loop_test, iteration_seeds_come_from_the_global_generator_across_renders) {
  block.max_iterations = 2;
  xorshift128 expected = global_random;
  for (int r = 0; r < 2; ++r) {  // a second render continues the sequence
    render();
    expected.next_u32();
    EXPECT_EQ(renderer->pass_seed, expected.next_u32());
  }
}

TEST_F(render_loop_test, single_eye_pass_points_are_traced_once_and_first_rescaled_by_zero) {
  block.sampling_mode = 0;
  block.refine_mode = 0;
  host().events.push_back({qor_event_key, '1'});  // view 1: the points' radiance alone
  host().trace_primary = [this](fake_ray& ray, float color[3], int x, int y, float, float) {
    shade_camera_hit(*renderer, ray, x, y);
    // A point that starts with an estimate, so that the rescaling shows in the view.
    candidate_buffer& candidates = renderer->candidates_of(ray.thread->thread_index);
    candidates.slots[candidates.count - 1].radiance[0] = 4.0f;
    set3(color, 0.5f, 0.5f, 0.5f);
    return true;
  };
  render();
  EXPECT_EQ(lines_with("Image sampling", "sprint").size(), 1u);
  const strings builds = lines_with("Build ppm structure 12 / 0 points", "sprint");
  ASSERT_EQ(builds.size(), 3u);
  EXPECT_EQ(builds[2].substr(0, 4), "[3] ");
  // iteration / (iteration + 1) is 0 in the first iteration: the estimate starts over.
  EXPECT_EQ(host().shown_pixels.at(0), floats(36, 0.0f));
  // The trees indexed the released point arrays; they are gone with them.
  EXPECT_EQ(renderer->tree, nullptr);
  EXPECT_EQ(renderer->tree2, nullptr);
  for (const auto& [block, allocation] : host().live_allocations) EXPECT_NE(allocation.kind, 16);
}

}  // namespace
