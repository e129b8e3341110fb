#include <algorithm>
#include <cmath>
#include <latch>
#include <map>
#include <mutex>
#include <set>
#include <tuple>

#include "photons/random.h"
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
    host().options.width = 4;
    host().options.height = 3;
    create(default_parameters());
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

  std::set<std::pair<int, int>> traced_pixels() const {
    std::set<std::pair<int, int>> out;
    for (const traced_ray& r : traced) out.insert({r.x, r.y});
    return out;
  }

  std::mutex mutex;
  std::vector<traced_ray> traced;
};

TEST_F(eye_pass_test, first_iteration_jitters_every_pixel_by_the_first_table_entry) {
  render_arrays arrays(*renderer, 4, 3, 1);
  record_rays();
  renderer->iteration = 0;
  renderer->image_sampling_pass(scene());
  ASSERT_EQ(traced.size(), 12u);
  for (const traced_ray& r : traced) {
    EXPECT_NEAR(r.dx, 0.742725f, 2e-6f);
    EXPECT_NEAR(r.dy, 0.615817f, 2e-6f);
  }

  // The offsets scale with half the sample spread.
  traced.clear();
  host().options.sample_spread = 0.5f;
  renderer->image_sampling_pass(scene());
  ASSERT_FALSE(traced.empty());
  EXPECT_NEAR(traced[0].dx, 0.5f + 0.242725f / 2, 2e-6f);
  EXPECT_NEAR(traced[0].dy, 0.5f + 0.115817f / 2, 2e-6f);
}

TEST_F(eye_pass_test, jitter_clamps_to_half_the_spread_and_a_centre_point_to_its_low_end) {
  // Near the centre of the disc the Gaussian factor is large: the offset clamps.
  const pass_jitter near_centre = jitter_from_disc(0.1f, -0.05f, 1.0f);
  EXPECT_EQ(near_centre.dx, 1.0f);
  EXPECT_EQ(near_centre.dy, 0.0f);
  const pass_jitter wide = jitter_from_disc(0.1f, -0.05f, 3.0f);
  EXPECT_EQ(wide.dx, 2.0f);
  EXPECT_EQ(wide.dy, -1.0f);
  // The centre itself gives 0 x infinity: not a number, which lands on -half.
  const pass_jitter centre = jitter_from_disc(0.0f, 0.0f, 1.0f);
  EXPECT_EQ(centre.dx, 0.0f);
  EXPECT_EQ(centre.dy, 0.0f);
}

TEST_F(eye_pass_test, the_table_serves_iterations_up_to_254_and_the_random_source_after) {
  render_arrays arrays(*renderer, 4, 3, 1);
  record_rays();
  renderer->pass_seed = 7;

  renderer->iteration = 254;
  renderer->image_sampling_pass(scene());
  ASSERT_FALSE(traced.empty());
  const pixel_offset last = pixel_offsets[255];
  const pass_jitter from_table = jitter_from_disc(last.x, last.y, 1.0f);
  EXPECT_EQ(traced[0].dx, from_table.dx);
  EXPECT_EQ(traced[0].dy, from_table.dy);
  EXPECT_EQ(host().random(0).draws, 0);

  // Iteration 255: seeded with 65537 i^2 + pass_seed + 347 (i^3 - i), wrapped to 32 bits, then
  // pairs are drawn until one lies in the disc.
  traced.clear();
  renderer->iteration = 255;
  renderer->image_sampling_pass(scene());
  const uint32_t seed = 1425257473u + 7u;
  ASSERT_FALSE(host().random(0).seeds.empty());
  EXPECT_EQ(host().random(0).seeds[host().random(0).seeds.size() - 13], seed);
  fake_random replay;
  replay.seed(seed);
  float sx, sy;
  do {
    sx = 2.0f * replay.next_float() - 1.0f;
    sy = 2.0f * replay.next_float() - 1.0f;
  } while (sx * sx + sy * sy > 1.0f);
  const pass_jitter drawn = jitter_from_disc(sx, sy, 1.0f);
  ASSERT_FALSE(traced.empty());
  for (const traced_ray& r : traced) {
    EXPECT_EQ(r.dx, drawn.dx);
    EXPECT_EQ(r.dy, drawn.dy);
  }
  EXPECT_EQ(host().random(0).draws, replay.draws);
}

TEST_F(eye_pass_test, each_pixel_reseeds_the_threads_source_from_the_pass_and_the_pixel) {
  render_arrays arrays(*renderer, 4, 3, 1);
  record_rays();
  host().options.region_x0 = 1;
  host().options.region_y0 = 1;
  host().options.region_x1 = 3;
  host().options.region_y1 = 3;
  renderer->iteration = 3;
  renderer->pass_seed = 1000;
  renderer->image_sampling_pass(scene());

  // The pass seed first, then pass_seed + 65537 y^2 + 347 ((i + x)^3 - y) per pixel.
  EXPECT_EQ(host().random(0).seeds,
            (std::vector<uint32_t>{599161u, 88398u, 109565u, 284662u, 305829u}));
  ASSERT_EQ(traced.size(), 4u);
  EXPECT_EQ(traced[0].random_state, 88398u);  // reseeded before the pixel is traced
  EXPECT_EQ(traced[3].random_state, 305829u);
}

TEST_F(eye_pass_test, an_empty_region_traces_nothing_but_opens_and_closes_each_context) {
  render_arrays arrays(*renderer, 4, 3, 2);
  host().threads = 2;
  record_rays();
  host().options.region_x0 = 3;
  host().options.region_x1 = 2;
  renderer->image_sampling_pass(scene());
  EXPECT_TRUE(traced.empty());
  std::vector<int> inits = host().thread_inits;
  std::vector<int> exits = host().thread_exits;
  std::sort(inits.begin(), inits.end());
  std::sort(exits.begin(), exits.end());
  EXPECT_EQ(inits, (std::vector<int>{0, 1}));
  EXPECT_EQ(exits, (std::vector<int>{0, 1}));
  EXPECT_EQ(host().count_calls("qor_get_primary_ray 0 1"), 1);
  EXPECT_EQ(host().count_calls("qor_get_primary_ray 1 1"), 1);
  EXPECT_EQ(host().count_calls("delete_ray"), 2);
}

TEST_F(eye_pass_test, region_bounds_default_to_the_image) {
  render_arrays arrays(*renderer, 4, 3, 1);
  record_rays();
  host().options.region_x0 = -5;
  host().options.region_y0 = -1;
  host().options.region_x1 = 0;
  host().options.region_y1 = -2;
  renderer->image_sampling_pass(scene());
  EXPECT_EQ(traced_pixels().size(), 12u);

  traced.clear();
  host().options.region_x0 = 1;
  host().options.region_y0 = 2;
  host().options.region_x1 = 3;
  host().options.region_y1 = 0;
  renderer->image_sampling_pass(scene());
  EXPECT_EQ(traced_pixels(), (std::set<std::pair<int, int>>{{1, 2}, {2, 2}}));
}

TEST_F(eye_pass_test, rows_are_dealt_to_the_threads_in_turn_from_the_first_region_row) {
  host().threads = 3;
  host().options.width = 2;
  host().options.height = 9;
  host().options.region_y0 = 2;
  render_arrays arrays(*renderer, 2, 9, 3);
  record_rays();
  renderer->image_sampling_pass(scene());
  std::map<int, std::set<int>> rows;
  for (const traced_ray& r : traced) rows[r.thread].insert(r.y);
  EXPECT_EQ(rows[0], (std::set<int>{2, 5, 8}));
  EXPECT_EQ(rows[1], (std::set<int>{3, 6}));
  EXPECT_EQ(rows[2], (std::set<int>{4, 7}));
  EXPECT_EQ(traced.size(), 14u);
}

TEST_F(eye_pass_test, framebuffer_keeps_the_running_mean_and_a_miss_counts_as_black) {
  render_arrays arrays(*renderer, 4, 3, 1);
  host().options.region_y1 = 2;  // the last row lies outside the region
  std::fill(arrays.pixels(), arrays.pixels() + 36, 42.0f);
  const float colours[3][3] = {{3.0f, 6.0f, 0.3f}, {0, 0, 0}, {6.0f, 3.0f, 0.6f}};
  for (int i = 0; i < 3; ++i) {
    record_rays([&colours, i](fake_ray&, float color[3], int, int) {
      std::copy(colours[i], colours[i] + 3, color);
      return i != 1;  // the second pass misses everywhere
    });
    renderer->iteration = i;
    renderer->image_sampling_pass(scene());
    if (i == 0) {
      EXPECT_EQ(arrays.pixel(2, 1)[0], 3.0f);  // the first pass replaces the old value
    } else if (i == 1) {
      EXPECT_EQ(arrays.pixel(2, 1)[0], 1.5f);
    }
  }
  // The mean of (3, 0, 6), (6, 0, 3) and (0.3, 0, 0.6).
  EXPECT_NEAR(arrays.pixel(2, 1)[0], 3.0f, 1e-6f);
  EXPECT_NEAR(arrays.pixel(2, 1)[1], 3.0f, 1e-6f);
  EXPECT_NEAR(arrays.pixel(0, 0)[2], 0.3f, 1e-7f);
  EXPECT_EQ(arrays.pixel(3, 2)[0], 42.0f);
  EXPECT_EQ(arrays.pixel(0, 2)[2], 42.0f);
}

TEST_F(eye_pass_test, the_running_mean_keeps_i_times_the_reciprocal_and_adds_the_reciprocal) {
  render_arrays arrays(*renderer, 4, 3, 1);
  std::fill(arrays.pixels(), arrays.pixels() + 36, 1.0f);
  record_rays([](fake_ray&, float color[3], int x, int) {
    color[0] = color[1] = color[2] = 1.0f;
    return x != 0;  // column 0 misses
  });
  renderer->iteration = 5;
  renderer->image_sampling_pass(scene());
  const float keep = 5.0f * (1.0f / 6.0f);
  ASSERT_NE(keep, 5.0f / 6.0f);  // the case tells the two apart
  EXPECT_EQ(arrays.pixel(0, 1)[0], keep);
  EXPECT_EQ(arrays.pixel(1, 1)[0], keep + 1.0f * (1.0f / 6.0f));
}

TEST_F(eye_pass_test, the_pass_sets_host_options_for_its_duration_and_restores_them) {
  render_arrays arrays(*renderer, 4, 3, 1);
  host().options.supersampling = 3;
  host().options.sample_weight_divisor = 1.0f;
  renderer->iteration = 17;
  struct seen {
    int in_eye_pass, supersampling, thread_iteration;
    float divisor;
  };
  std::vector<seen> during;
  record_rays([&during](fake_ray& ray, float*, int, int) {
    const qorOptions& o = host().options;
    during.push_back(
        {o.in_eye_pass, o.supersampling, ray.thread->iteration, o.sample_weight_divisor});
    return false;
  });
  renderer->image_sampling_pass(scene());
  ASSERT_EQ(during.size(), 12u);
  EXPECT_EQ(during[0].in_eye_pass, 1);
  EXPECT_EQ(during[0].supersampling, 0);
  EXPECT_EQ(during[0].divisor, 0.5f);
  EXPECT_EQ(during[0].thread_iteration, 17);
  EXPECT_EQ(host().options.in_eye_pass, 0);
  EXPECT_EQ(host().options.supersampling, 3);
  EXPECT_EQ(host().options.sample_weight_divisor, 0.5f);  // left for the hit callbacks
}

TEST_F(eye_pass_test, show_first_pass_shows_the_framebuffer_after_the_first_pass_only) {
  render_arrays arrays(*renderer, 4, 3, 1);
  record_rays([](fake_ray&, float color[3], int, int) {
    color[0] = color[1] = color[2] = 0.25f;
    return true;
  });
  renderer->image_sampling_pass(scene());  // flag not set
  EXPECT_TRUE(host().shown_blocks.empty());

  renderer->show_first_pass = true;
  renderer->iteration = 0;
  renderer->image_sampling_pass(scene());
  renderer->iteration = 1;
  renderer->image_sampling_pass(scene());
  ASSERT_EQ(host().shown_blocks.size(), 1u);
  EXPECT_EQ(host().shown_blocks[0], renderer->framebuffer);
  EXPECT_EQ(host().shown_pixels[0], std::vector<float>(36, 0.25f));  // shown after the pass
}

TEST_F(eye_pass_test, the_pass_reports_its_time_under_its_iteration_number) {
  render_arrays arrays(*renderer, 4, 3, 1);
  host().clock = 100.0;
  host().clock_step = 1.5;
  renderer->iteration = 2;
  renderer->image_sampling_pass(scene());
  EXPECT_EQ(host().texts("sprint"), std::vector<std::string>{"[3] Image sampling (1.5 seconds)\n"});
}

TEST_F(eye_pass_test, one_kept_task_per_worker_then_the_barrier) {
  render_arrays arrays(*renderer, 4, 3, 4);
  host().threads = 4;
  renderer->image_sampling_pass(scene());
  std::vector<std::string> pool_calls;
  for (const std::string& c : host().calls) {
    if (c.rfind("qor_add_thread_task", 0) == 0 || c == "qor_thread_barrier")
      pool_calls.push_back(c);
  }
  EXPECT_EQ(pool_calls,
            (std::vector<std::string>{"qor_add_thread_task keep", "qor_add_thread_task keep",
                                      "qor_add_thread_task keep", "qor_add_thread_task keep",
                                      "qor_thread_barrier"}));
  std::vector<int> inits = host().thread_inits;
  std::sort(inits.begin(), inits.end());
  EXPECT_EQ(inits, (std::vector<int>{0, 1, 2, 3}));

  // No workers: no task, nothing traced, and the barrier returns at once.
  start_over();
  create(default_parameters());
  render_arrays none(*renderer, 4, 3, 1);
  host().threads = 0;
  record_rays();
  renderer->image_sampling_pass(scene());
  EXPECT_EQ(host().count_calls("qor_add_thread_task keep"), 0);
  EXPECT_EQ(host().count_calls("qor_thread_barrier"), 1);
  EXPECT_TRUE(traced.empty());
}

TEST_F(eye_pass_test, each_hit_commits_one_candidate_and_a_miss_leaves_its_candidates) {
  host().options.height = 1;
  render_arrays arrays(*renderer, 4, 1, 1);
  record_rays([this](fake_ray& ray, float*, int x, int y) {
    shade_camera_hit(*renderer, ray, x, y);
    return x != 1;  // pixel 1 misses after making its candidate
  });
  renderer->image_sampling_pass(scene());
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
  render_arrays arrays(*renderer, w, h, 4);
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
    renderer->iteration = i;
    renderer->point_count = 0;
    renderer->image_sampling_pass(scene());
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
  EXPECT_FLOAT_EQ(arrays.pixel(5, 7)[0], 5.0f);
  EXPECT_FLOAT_EQ(arrays.pixel(5, 7)[1], 7.0f);
}

// --- The pixel offset table ---------------------------------------------------------------

float smallest_distance(int n) {
  float smallest = INFINITY;
  for (int a = 1; a <= n; ++a) {
    for (int b = a + 1; b <= n; ++b) {
      smallest = std::min(smallest, std::hypot(pixel_offsets[a].x - pixel_offsets[b].x,
                                               pixel_offsets[a].y - pixel_offsets[b].y));
    }
  }
  return smallest;
}

TEST(pixel_offsets, every_prefix_is_evenly_spread) {
  EXPECT_GE(smallest_distance(16), 0.38f);
  EXPECT_GE(smallest_distance(64), 0.177f);
  EXPECT_GE(smallest_distance(255), 0.089f);
  for (int n = 2; n <= 255; ++n) {
    EXPECT_GE(smallest_distance(n), 1.4f / std::sqrt(static_cast<float>(n))) << "first " << n;
  }
}

TEST(pixel_offsets, entries_start_with_the_fixed_five_and_stay_off_the_centre_and_the_rim) {
  EXPECT_EQ(pixel_offsets[0].x, 0.0f);
  EXPECT_EQ(pixel_offsets[0].y, 0.0f);
  const pixel_offset fixed[5] = {{0.839550018f, 0.400591999f},
                                 {-0.766137004f, 0.541895986f},
                                 {0.0618751012f, -0.980870008f},
                                 {-0.816020012f, -0.574087024f},
                                 {0.0541606992f, 0.830766976f}};
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(pixel_offsets[k + 1].x, fixed[k].x);
    EXPECT_EQ(pixel_offsets[k + 1].y, fixed[k].y);
  }
  for (int k = 1; k < pixel_offset_count; ++k) {
    const float r = std::hypot(pixel_offsets[k].x, pixel_offsets[k].y);
    EXPECT_GE(r, 0.102f) << "entry " << k;
    EXPECT_LE(r, 0.99983f) << "entry " << k;
  }
}

}  // namespace
