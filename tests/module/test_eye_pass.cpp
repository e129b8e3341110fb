#include <algorithm>
#include <cmath>
#include <cstring>
#include <latch>
#include <mutex>
#include <set>
#include <utility>

#include "module/render/eye_pass.h"
#include "tests/module/module_test.h"
#include "tests/module/render_arrays.h"

namespace {

// One camera ray as the host saw it.
struct traced_ray {
  int thread, x, y;
  float dx, dy;
  uint32_t random_state;  // the thread's source when the ray was traced: its last seed
};

class eye_pass_test : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    create(default_parameters());
    arrays = std::make_unique<render_arrays>(*renderer, 4, 3, 1);
    record_rays();
  }

  // Four workers on a w x h image; the hook runs at every camera ray after all four have met at
  // their first pixel, so that their passes overlap however the host happens to start them.
  void four_workers(int w, int h, std::function<void(fake_ray&, int x, int y)> hook) {
    host().threads = 4;
    host().options.width = w;
    host().options.height = h;
    gate = std::make_unique<std::latch>(4);
    host().trace_primary = [this, hook](fake_ray& ray, float color[3], int x, int y, float, float) {
      if (!std::exchange(started[ray.thread->thread_index], true)) gate->arrive_and_wait();
      hook(ray, x, y);
      set3(color, static_cast<float>(x), static_cast<float>(y), 1.0f);
      return true;
    };
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
  void pass(int iteration) {
    traced.clear();
    renderer->iteration = iteration;
    renderer->image_sampling_pass(scene());
  }
  fake_random& random() { return static_cast<fake_random&>(*host().thread(0).random); }
  void set_region(int x0, int y0, int x1, int y1) {
    qorOptions& o = host().options;
    o.region_x0 = x0, o.region_y0 = y0, o.region_x1 = x1, o.region_y1 = y1;
  }

  std::unique_ptr<render_arrays> arrays;
  std::unique_ptr<std::latch> gate;
  bool started[4] = {};
  std::mutex mutex;
  std::vector<traced_ray> traced;
};

TEST_F(eye_pass_test, every_pixel_of_a_pass_gets_its_jitter_from_the_table_then_from_the_source) {
  renderer->pass_seed = 7;
  pass(0);
  ASSERT_EQ(traced.size(), 12u);
  for (const traced_ray& r : traced) {
    EXPECT_NEAR(r.dx, 0.742725f, 2e-6f);
    EXPECT_NEAR(r.dy, 0.615817f, 2e-6f);
  }
  pass(254);  // the table's last entry, without a draw
  const pass_jitter from_table = jitter_from_disc(pixel_offsets[255].x, pixel_offsets[255].y, 1);
  EXPECT_TRUE(traced.at(0).dx == from_table.dx && traced.at(0).dy == from_table.dy);
  EXPECT_EQ(random().draws, 0);

  // Iteration 255: seeded with 65537 i^2 + pass_seed + 347 (i^3 - i), wrapped to 32 bits, then
  // pairs are drawn until one lies in the disc.
  pass(255);
  const uint32_t seed = 1425257473u + 7u;
  EXPECT_EQ(random().seeds.at(random().seeds.size() - 13), seed);
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
  EXPECT_EQ(random().draws, replay.draws);

  // Offsets scale with half the spread and clamp to it; the centre of the disc gives 0 x
  // infinity, not a number, which lands on -half.
  const pass_jitter near_centre = jitter_from_disc(0.1f, -0.05f, 3.0f);
  EXPECT_TRUE(near_centre.dx == 2.0f && near_centre.dy == -1.0f);
  const pass_jitter centre = jitter_from_disc(0.0f, 0.0f, 1.0f);
  EXPECT_TRUE(centre.dx == 0.0f && centre.dy == 0.0f);
  const pass_jitter half = jitter_from_disc(pixel_offsets[1].x, pixel_offsets[1].y, 0.5f);
  EXPECT_NEAR(half.dx, 0.5f + 0.242725f / 2, 2e-6f);
}

TEST_F(eye_pass_test, each_pixel_of_the_region_reseeds_the_threads_source) {
  set_region(1, 1, 3, 3);
  renderer->pass_seed = 1000;
  pass(3);
  // The pass seed first, then pass_seed + 65537 y^2 + 347 ((i + x)^3 - y) per pixel.
  EXPECT_EQ(random().seeds, (std::vector<uint32_t>{599161u, 88398u, 109565u, 284662u, 305829u}));
  ASSERT_EQ(traced.size(), 4u);
  EXPECT_TRUE(traced[0].random_state == 88398u && traced[3].random_state == 305829u);

  // Bounds below their limits mean the whole image; an empty region traces nothing but still
  // opens and closes the worker's context and ray.
  const int cases[3][5] = {{-5, -1, 0, -2, 12}, {1, 2, 3, 0, 2}, {3, 0, 2, 0, 0}};
  for (const auto& c : cases) {
    set_region(c[0], c[1], c[2], c[3]);
    pass(0);
    std::set<std::pair<int, int>> seen;
    for (const traced_ray& r : traced) seen.insert({r.x, r.y});
    EXPECT_TRUE(seen.size() == traced.size() && traced.size() == size_t(c[4])) << c[0];
  }
  EXPECT_EQ(host().thread_exits.size(), 4u);
  EXPECT_EQ(host().count_calls("delete_ray"), 4);
}

TEST_F(eye_pass_test, framebuffer_keeps_the_running_mean_and_a_miss_counts_as_black) {
  host().options.region_y1 = 2;  // the last row lies outside the region
  std::fill(arrays->pixels(), arrays->pixels() + 36, 42.0f);
  const float colours[3][3] = {{3.0f, 6.0f, 0.3f}, {0, 0, 0}, {6.0f, 3.0f, 0.6f}};
  const float red_after[3] = {3.0f, 1.5f, 3.0f};  // the first pass replaces 42
  for (int i = 0; i < 3; ++i) {
    record_rays([&colours, i](fake_ray&, float color[3], int, int) {
      std::copy(colours[i], colours[i] + 3, color);
      return i != 1;  // the second pass misses everywhere
    });
    pass(i);
    EXPECT_NEAR(arrays->pixel(2, 1)[0], red_after[i], 1e-6f);
  }
  EXPECT_NEAR(arrays->pixel(0, 0)[2], 0.3f, 1e-7f);
  EXPECT_TRUE(arrays->pixel(3, 2)[0] == 42.0f && arrays->pixel(0, 2)[2] == 42.0f);

  // The old mean is kept by i x (1 / (i + 1)) and the colour added times 1 / (i + 1).
  std::fill(arrays->pixels(), arrays->pixels() + 36, 1.0f);
  record_rays([](fake_ray&, float color[3], int x, int) {
    set3(color, 1.0f, 1.0f, 1.0f);
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
  host().now = [t = 100.0]() mutable { return t += 1.5; };
  std::vector<floats> during;  // in eye pass, supersampling, divisor, iteration
  record_rays([&during](fake_ray& ray, float color[3], int, int) {
    const qorOptions& o = host().options;
    during.push_back({float(o.in_eye_pass), float(o.supersampling), o.sample_weight_divisor,
                      float(ray.thread->iteration)});
    set3(color, 0.25f, 0.25f, 0.25f);
    return true;
  });
  pass(17);
  EXPECT_EQ(during, std::vector<floats>(12, {1, 0, 0.5f, 17}));
  EXPECT_TRUE(host().options.in_eye_pass == 0 && host().options.supersampling == 3);
  EXPECT_EQ(host().options.sample_weight_divisor, 0.5f);  // left for the hit callbacks
  EXPECT_EQ(host().texts("sprint"), strings{"[18] Image sampling (1.5 seconds)\n"});
  // One task per worker, kept by the pool (the pass owns it), then the barrier.
  EXPECT_EQ(host().calls, (strings{"qor_add_thread_task keep", "qor_thread_barrier",
                                   "qor_get_primary_ray 0 1", "delete_ray"}));

  pass(0);  // show_first_pass not set
  renderer->show_first_pass = true;
  pass(1);
  EXPECT_TRUE(host().shown_blocks.empty());
  pass(0);
  EXPECT_EQ(host().shown_blocks, std::vector<qorImage_block*>{renderer->framebuffer});
  EXPECT_EQ(host().shown_pixels[0], floats(36, 0.25f));  // shown after the pass

  host().threads = 0;  // no workers: no task, nothing traced
  pass(0);
  EXPECT_TRUE(traced.empty());
  EXPECT_EQ(host().count_calls("qor_add_thread_task keep"), 4);
}

TEST_F(eye_pass_test, each_hit_commits_one_candidate_and_a_miss_leaves_its_candidates) {
  host().options.height = 1;
  render_arrays row(*renderer, 4, 1, 1);
  record_rays([this](fake_ray& ray, float*, int x, int y) {
    shade_camera_hit(*renderer, ray, x, y, x == 2 ? 0.0f : 0.5f);
    return x != 1;  // pixel 1 misses after making its candidate
  });
  pass(0);
  ASSERT_EQ(renderer->point_count, 3u);
  // Pixel 2's commit chose the candidate pixel 1 left behind over its own weightless one.
  EXPECT_EQ((std::vector<int>{renderer->points[0].pixel_x, renderer->points[1].pixel_x,
                              renderer->points[2].pixel_x}),
            (std::vector<int>{0, 1, 3}));
  EXPECT_EQ(renderer->candidates_of(0).count, 0);
  EXPECT_EQ(renderer->points[0].sample_weight, 1.0f);  // ray weight / 0.5, as the pass sets
}

// Four workers create candidates at the same time and commit them through the shared counter and
// the shared selection source (ThreadSanitizer judges the accesses): every pixel gets exactly one
// point, none overwritten.
TEST_F(eye_pass_test, four_workers_commit_exactly_one_point_per_pixel) {
  constexpr int w = 32, h = 24;
  render_arrays large(*renderer, w, h, 4);
  four_workers(w, h, [this](fake_ray& ray, int x, int y) {
    // Up to three candidates per sample, as a shader splitting the ray at glass would make.
    for (int k = 0; k <= (x + y) % 3; ++k) shade_camera_hit(*renderer, ray, x, y, 0.25f * (k + 1));
  });
  for (int i = 0; i < 3; ++i) {
    renderer->point_count = 0;
    pass(i);
    ASSERT_EQ(renderer->point_count, static_cast<uint32_t>(w * h));
    std::set<std::pair<int, int>> pixels;
    for (uint32_t k = 0; k < renderer->point_count; ++k) {
      const measurement_point& p = renderer->points[k];
      pixels.insert({p.pixel_x, p.pixel_y});
      EXPECT_TRUE(p.position[0] == p.pixel_x && p.position[1] == p.pixel_y);
    }
    EXPECT_EQ(pixels.size(), static_cast<size_t>(w * h));
  }
  EXPECT_FLOAT_EQ(large.pixel(5, 7)[0], 5.0f);
  EXPECT_FLOAT_EQ(large.pixel(5, 7)[1], 7.0f);
}

TEST(pixel_offsets, the_fixed_first_entries_and_every_prefix_evenly_spread_in_the_disc) {
  const pixel_offset fixed[6] = {{0.0f, 0.0f},
                                 {0.839550018f, 0.400591999f},
                                 {-0.766137004f, 0.541895986f},
                                 {0.0618751012f, -0.980870008f},
                                 {-0.816020012f, -0.574087024f},
                                 {0.0541606992f, 0.830766976f}};
  EXPECT_EQ(std::memcmp(pixel_offsets, fixed, sizeof fixed), 0);
  // The smallest distance between any two of the first n entries (entry 0 is unused).
  float smallest = INFINITY;
  for (int n = 1; n <= 255; ++n) {
    for (int a = 1; a < n; ++a) {
      smallest = std::min(smallest, std::hypot(pixel_offsets[a].x - pixel_offsets[n].x,
                                               pixel_offsets[a].y - pixel_offsets[n].y));
    }
    EXPECT_GE(smallest, std::max(1.4f / std::sqrt(float(n)), n <= 16   ? 0.38f
                                                             : n <= 64 ? 0.177f
                                                                       : 0.089f));
    const float r = std::hypot(pixel_offsets[n].x, pixel_offsets[n].y);
    EXPECT_TRUE(r >= 0.102f && r <= 0.99983f) << "entry " << n;
  }
}

// With a second set rebuilt every pass, each camera hit's continuation makes a new second-set
// record while other workers still look up the previous pass's tree over the same records. Four
// workers overlap here; ThreadSanitizer judges the shared records, and every continuation must
// have made exactly one record.
TEST_F(eye_pass_test, continuations_rebuild_the_second_set_while_workers_look_it_up) {
  constexpr int w = 16, h = 12;
  render_arrays large(*renderer, w, h, 4, true);
  renderer->point_mode = 1;
  // The previous pass's second set: every record at the spot the continuations hit.
  for (measurement_point& p : large.points2) {
    p = make_point(0.0f, 0.0f, 10.0f, 1.0f);
    set3(p.radiance, 0.25f, 0.5f, 0.75f);
  }
  ppm_tree previous(large.points2.data(), w * h);
  previous.build();
  renderer->tree2 = &previous;
  renderer->point2_count = 0;
  host().record_calls = false;

  four_workers(w, h,
               [this](fake_ray& ray, int x, int y) { shade_camera_hit(*renderer, ray, x, y); });
  host().trace_diffuse = [this](fake_ray& ray, float result[3]) {
    set3(ray.hit_position, 0.0, 0.0, 10.0);
    set3(ray.shading_normal, 0.0, 0.0, -1.0);
    return renderer->indirect_illumination(result, ray) == 1;
  };
  pass(1);
  renderer->tree2 = nullptr;
  EXPECT_EQ(renderer->point_count, static_cast<uint32_t>(w * h));
  EXPECT_EQ(renderer->point2_count, static_cast<uint32_t>(w * h));
  for (const measurement_point& p : large.points2) EXPECT_EQ(p.position[2], 10.0f);
}

}  // namespace
