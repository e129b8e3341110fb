#include <algorithm>
#include <cmath>
#include <latch>
#include <map>
#include <mutex>
#include <numeric>
#include <set>

#include "render/eye_pass.h"
#include "tests/module/module_test.h"
#include "tests/module/render_arrays.h"

namespace {

// One camera ray as the host saw it.
struct traced_ray {
  int thread;
  int x, y;
  float dx, dy;
  uint32_t random_state;  // the thread's source when the ray was traced: its last seed
};

class eye_pass_test : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    create(default_parameters());
    arrays = std::make_unique<render_arrays>(*renderer, 4, 3, 1);
  }

  // Records every camera ray; `hit` decides whether it hits and what colour it returns.
  void record_rays(std::function<bool(fake_ray&, float[3], int, int)> hit = nullptr) {
    host().trace_primary = [this, hit](fake_ray& ray, float color[3], int x, int y, float dx,
                                       float dy) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        traced.push_back({ray.thread->thread_index, x, y, dx, dy,
                          static_cast<fake_random*>(ray.thread->random)->state});
      }
      return hit ? hit(ray, color, x, y) : false;
    };
  }

  // A pass over a fresh record of the rays.
  void pass(int iteration) {
    traced.clear();
    renderer->iteration = iteration;
    renderer->image_sampling_pass(scene());
  }

  std::unique_ptr<render_arrays> arrays;
  std::mutex mutex;
  std::vector<traced_ray> traced;
};

TEST_F(eye_pass_test, every_pixel_of_a_pass_gets_its_jitter_from_the_table_then_from_the_source) {
  record_rays();
  renderer->pass_seed = 7;
  pass(0);
  ASSERT_EQ(traced.size(), 12u);
  for (const traced_ray& r : traced) {
    EXPECT_NEAR(r.dx, 0.742725f, 2e-6f);
    EXPECT_NEAR(r.dy, 0.615817f, 2e-6f);
  }
  host().options.sample_spread = 0.5f;  // the offsets scale with half the spread
  pass(0);
  EXPECT_NEAR(traced.at(0).dx, 0.5f + 0.242725f / 2, 2e-6f);
  EXPECT_NEAR(traced.at(0).dy, 0.5f + 0.115817f / 2, 2e-6f);

  host().options.sample_spread = 1.0f;
  pass(254);  // the table's last entry, without a draw
  const pass_jitter from_table = jitter_from_disc(pixel_offsets[255].x, pixel_offsets[255].y, 1);
  EXPECT_TRUE(traced.at(0).dx == from_table.dx && traced.at(0).dy == from_table.dy);
  EXPECT_EQ(host().random(0).draws, 0);

  // Iteration 255: seeded with 65537 i^2 + pass_seed + 347 (i^3 - i), wrapped to 32 bits, then
  // pairs are drawn until one lies in the disc.
  pass(255);
  const uint32_t seed = 1425257473u + 7u;
  const std::vector<uint32_t>& seeds = host().random(0).seeds;
  EXPECT_EQ(seeds.at(seeds.size() - 13), seed);
  fake_random replay;
  replay.seed(seed);
  float sx, sy;
  do {
    sx = 2.0f * replay.next_float() - 1.0f;
    sy = 2.0f * replay.next_float() - 1.0f;
  } while (sx * sx + sy * sy > 1.0f);
  const pass_jitter drawn = jitter_from_disc(sx, sy, 1.0f);
  ASSERT_EQ(traced.size(), 12u);
  for (const traced_ray& r : traced) EXPECT_TRUE(r.dx == drawn.dx && r.dy == drawn.dy);
  EXPECT_EQ(host().random(0).draws, replay.draws);
}

TEST_F(eye_pass_test, jitter_clamps_to_half_the_spread_and_the_centre_to_its_low_end) {
  // Near the centre of the disc the Gaussian factor is large: the offset clamps.
  const pass_jitter near_centre = jitter_from_disc(0.1f, -0.05f, 1.0f);
  EXPECT_TRUE(near_centre.dx == 1.0f && near_centre.dy == 0.0f);
  const pass_jitter wide = jitter_from_disc(0.1f, -0.05f, 3.0f);
  EXPECT_TRUE(wide.dx == 2.0f && wide.dy == -1.0f);
  // The centre itself gives 0 x infinity: not a number, which lands on -half.
  const pass_jitter centre = jitter_from_disc(0.0f, 0.0f, 1.0f);
  EXPECT_TRUE(centre.dx == 0.0f && centre.dy == 0.0f);
}

TEST_F(eye_pass_test, each_pixel_reseeds_the_threads_source_from_the_pass_and_the_pixel) {
  record_rays();
  host().options.region_x0 = host().options.region_y0 = 1;
  host().options.region_x1 = host().options.region_y1 = 3;
  renderer->pass_seed = 1000;
  pass(3);
  // The pass seed first, then pass_seed + 65537 y^2 + 347 ((i + x)^3 - y) per pixel.
  EXPECT_EQ(host().random(0).seeds,
            (std::vector<uint32_t>{599161u, 88398u, 109565u, 284662u, 305829u}));
  ASSERT_EQ(traced.size(), 4u);
  EXPECT_EQ(traced[0].random_state, 88398u);  // reseeded before the pixel is traced
  EXPECT_EQ(traced[3].random_state, 305829u);
}

TEST_F(eye_pass_test, region_bounds_below_their_limits_mean_the_whole_image) {
  record_rays();
  using pixels = std::set<std::pair<int, int>>;
  pixels all;
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 4; ++x) all.insert({x, y});
  }
  const struct {
    int x0, y0, x1, y1;
    pixels expected;
  } cases[] = {{-5, -1, 0, -2, all}, {1, 2, 3, 0, {{1, 2}, {2, 2}}}, {3, 0, 2, 0, {}}};
  for (const auto& c : cases) {
    host().options.region_x0 = c.x0;
    host().options.region_y0 = c.y0;
    host().options.region_x1 = c.x1;
    host().options.region_y1 = c.y1;
    pass(0);
    pixels seen;
    for (const traced_ray& r : traced) seen.insert({r.x, r.y});
    EXPECT_EQ(seen, c.expected);
    EXPECT_EQ(seen.size(), traced.size());
  }
  // An empty region still opens and closes the worker's context and ray.
  EXPECT_EQ(host().thread_exits.size(), 3u);
  EXPECT_EQ(host().count_calls("qor_get_primary_ray 0 1"), 3);
  EXPECT_EQ(host().count_calls("delete_ray"), 3);
}

TEST_F(eye_pass_test, rows_are_dealt_to_the_threads_in_turn_from_the_first_region_row) {
  host().threads = 3;
  host().options.width = 2;
  host().options.height = 9;
  host().options.region_y0 = 2;
  render_arrays tall(*renderer, 2, 9, 3);
  record_rays();
  pass(0);
  std::map<int, std::set<int>> rows;
  for (const traced_ray& r : traced) rows[r.thread].insert(r.y);
  EXPECT_EQ(rows, (std::map<int, std::set<int>>{{0, {2, 5, 8}}, {1, {3, 6}}, {2, {4, 7}}}));
  EXPECT_EQ(traced.size(), 14u);
}

TEST_F(eye_pass_test, framebuffer_keeps_the_running_mean_and_a_miss_counts_as_black) {
  host().options.region_y1 = 2;  // the last row lies outside the region
  std::fill(arrays->pixels(), arrays->pixels() + 36, 42.0f);
  const float colours[3][3] = {{3.0f, 6.0f, 0.3f}, {0, 0, 0}, {6.0f, 3.0f, 0.6f}};
  const float red_after[3] = {3.0f, 1.5f, 3.0f};
  for (int i = 0; i < 3; ++i) {
    record_rays([&colours, i](fake_ray&, float color[3], int, int) {
      std::copy(colours[i], colours[i] + 3, color);
      return i != 1;  // the second pass misses everywhere
    });
    pass(i);
    EXPECT_NEAR(arrays->pixel(2, 1)[0], red_after[i], 1e-6f);  // the first pass replaces 42
  }
  EXPECT_NEAR(arrays->pixel(2, 1)[1], 3.0f, 1e-6f);
  EXPECT_NEAR(arrays->pixel(0, 0)[2], 0.3f, 1e-7f);
  EXPECT_TRUE(arrays->pixel(3, 2)[0] == 42.0f && arrays->pixel(0, 2)[2] == 42.0f);

  // The old mean is kept by i x (1 / (i + 1)) and the colour added times 1 / (i + 1).
  std::fill(arrays->pixels(), arrays->pixels() + 36, 1.0f);
  host().options.region_y1 = 0;
  record_rays([](fake_ray&, float color[3], int x, int) {
    color[0] = color[1] = color[2] = 1.0f;
    return x != 0;  // column 0 misses
  });
  pass(5);
  const float keep = 5.0f * (1.0f / 6.0f);
  ASSERT_NE(keep, 5.0f / 6.0f);  // the case tells the two apart
  EXPECT_EQ(arrays->pixel(0, 1)[0], keep);
  EXPECT_EQ(arrays->pixel(1, 1)[0], keep + 1.0f * (1.0f / 6.0f));
}

TEST_F(eye_pass_test, the_pass_sets_host_options_for_its_duration_and_shows_the_first_pass) {
  host().options.supersampling = 3;
  host().clock = 100.0;
  host().clock_step = 1.5;
  struct seen {
    int in_eye_pass, supersampling, thread_iteration;
    float divisor;
  };
  std::vector<seen> during;
  record_rays([&during](fake_ray& ray, float color[3], int, int) {
    const qorOptions& o = host().options;
    during.push_back(
        {o.in_eye_pass, o.supersampling, ray.thread->iteration, o.sample_weight_divisor});
    color[0] = color[1] = color[2] = 0.25f;
    return true;
  });
  pass(17);
  ASSERT_EQ(during.size(), 12u);
  EXPECT_TRUE(during[0].in_eye_pass == 1 && during[0].supersampling == 0);
  EXPECT_TRUE(during[0].divisor == 0.5f && during[0].thread_iteration == 17);
  EXPECT_TRUE(host().options.in_eye_pass == 0 && host().options.supersampling == 3);
  EXPECT_EQ(host().options.sample_weight_divisor, 0.5f);  // left for the hit callbacks
  EXPECT_EQ(host().texts("sprint"),
            std::vector<std::string>{"[18] Image sampling (1.5 seconds)\n"});

  pass(0);  // show_first_pass not set
  renderer->show_first_pass = true;
  pass(1);
  EXPECT_TRUE(host().shown_blocks.empty());
  pass(0);
  EXPECT_EQ(host().shown_blocks, std::vector<qorImage_block*>{renderer->framebuffer});
  EXPECT_EQ(host().shown_pixels[0], std::vector<float>(36, 0.25f));  // shown after the pass
}

TEST_F(eye_pass_test, one_kept_task_per_worker_then_the_barrier) {
  for (int threads : {4, 0}) {
    start_over();
    create(default_parameters());
    host().threads = threads;
    render_arrays per_thread(*renderer, 4, 3, 4);
    record_rays();
    pass(0);
    std::vector<std::string> pool_calls;
    for (const std::string& c : host().calls) {
      if (c.rfind("qor_add_thread_task", 0) == 0 || c == "qor_thread_barrier") {
        pool_calls.push_back(c);
      }
    }
    std::vector<std::string> expected(threads, "qor_add_thread_task keep");
    expected.push_back("qor_thread_barrier");
    EXPECT_EQ(pool_calls, expected);
    std::vector<int> inits = host().thread_inits, expected_inits(threads);
    std::sort(inits.begin(), inits.end());
    std::iota(expected_inits.begin(), expected_inits.end(), 0);
    EXPECT_EQ(inits, expected_inits);
    EXPECT_EQ(traced.size(), threads == 0 ? 0u : 12u);
  }
}

TEST_F(eye_pass_test, each_hit_commits_one_candidate_and_a_miss_leaves_its_candidates) {
  host().options.height = 1;
  render_arrays row(*renderer, 4, 1, 1);
  record_rays([this](fake_ray& ray, float*, int x, int y) {
    shade_camera_hit(*renderer, ray, x, y);
    return x != 1;  // pixel 1 misses after making its candidate
  });
  pass(0);
  ASSERT_EQ(renderer->point_count, 3u);
  EXPECT_EQ(renderer->points[0].pixel_x, 0);
  // Pixel 2's commit chose between its own candidate and the one pixel 1 left behind.
  EXPECT_TRUE(renderer->points[1].pixel_x == 1 || renderer->points[1].pixel_x == 2);
  EXPECT_EQ(renderer->points[2].pixel_x, 3);
  EXPECT_EQ(renderer->candidates_of(0).count, 0);
  // sample_weight = ray weight / 0.5, the divisor the pass sets.
  EXPECT_EQ(renderer->points[0].sample_weight, 1.0f);
}

// Four workers create candidates at the same time and commit them through the shared counter and
// the shared selection source: every pixel gets exactly one point, none overwritten. The workers
// meet at their first pixel, so that their passes overlap (ThreadSanitizer sees the accesses that
// follow as concurrent) however the host happens to start them.
TEST_F(eye_pass_test, four_workers_commit_exactly_one_point_per_pixel) {
  constexpr int w = 32, h = 24;
  host().threads = 4;
  host().options.width = w;
  host().options.height = h;
  render_arrays large(*renderer, w, h, 4);
  std::latch all_started(4);
  bool started[4] = {};
  host().trace_primary = [&, this](fake_ray& ray, float color[3], int x, int y, float, float) {
    const int t = ray.thread->thread_index;
    if (!started[t]) {
      started[t] = true;
      all_started.arrive_and_wait();
    }
    // Up to three candidates per sample, as a shader splitting the ray at glass would make.
    for (int k = 0; k <= (x + y) % 3; ++k) shade_camera_hit(*renderer, ray, x, y, 0.25f * (k + 1));
    color[0] = static_cast<float>(x);
    color[1] = static_cast<float>(y);
    color[2] = 1.0f;
    return true;
  };
  for (int i = 0; i < 3; ++i) {
    renderer->point_count = 0;
    pass(i);
    ASSERT_EQ(renderer->point_count, static_cast<uint32_t>(w * h));
    std::set<std::pair<int, int>> pixels;
    for (uint32_t k = 0; k < renderer->point_count; ++k) {
      const measurement_point& p = renderer->points[k];
      pixels.insert({p.pixel_x, p.pixel_y});
      EXPECT_EQ(p.position[0], static_cast<float>(p.pixel_x));
      EXPECT_EQ(p.position[1], static_cast<float>(p.pixel_y));
    }
    EXPECT_EQ(pixels.size(), static_cast<size_t>(w * h));
  }
  EXPECT_FLOAT_EQ(large.pixel(5, 7)[0], 5.0f);
  EXPECT_FLOAT_EQ(large.pixel(5, 7)[1], 7.0f);
}

// --- The pixel offset table ---------------------------------------------------------------

TEST(pixel_offsets, the_fixed_first_entries_and_every_prefix_evenly_spread_in_the_disc) {
  EXPECT_TRUE(pixel_offsets[0].x == 0.0f && pixel_offsets[0].y == 0.0f);
  const pixel_offset fixed[5] = {{0.839550018f, 0.400591999f},
                                 {-0.766137004f, 0.541895986f},
                                 {0.0618751012f, -0.980870008f},
                                 {-0.816020012f, -0.574087024f},
                                 {0.0541606992f, 0.830766976f}};
  for (int k = 0; k < 5; ++k) {
    EXPECT_TRUE(pixel_offsets[k + 1].x == fixed[k].x && pixel_offsets[k + 1].y == fixed[k].y);
  }
  // The smallest distance between any two of the first n entries (entry 0 is unused).
  float smallest = INFINITY;
  for (int n = 1; n <= 255; ++n) {
    for (int a = 1; a < n; ++a) {
      smallest = std::min(smallest, std::hypot(pixel_offsets[a].x - pixel_offsets[n].x,
                                               pixel_offsets[a].y - pixel_offsets[n].y));
    }
    EXPECT_GE(smallest, 1.4f / std::sqrt(static_cast<float>(n))) << "first " << n;
    EXPECT_GE(smallest, n <= 16 ? 0.38f : n <= 64 ? 0.177f : 0.089f) << "first " << n;
    const float r = std::hypot(pixel_offsets[n].x, pixel_offsets[n].y);
    EXPECT_TRUE(r >= 0.102f && r <= 0.99983f) << "entry " << n;
  }
}

}  // namespace
