#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include "module/render/processes.h"
#include "tests/module/module_test.h"

namespace {

// A diffuse floor of reflectance (0.5, 0.4, 0.3) at z = 0 under the camera: pixel (x, y) sees
// (x + dx, y + dy, 0). One emitter rains photons straight down on a region `margin` wider on
// every side, each coordinate the sum of four sample numbers (mod 1), so every dimension of a
// path's vector moves it; each photon then bounces straight up to a ceiling at z = 1, where the
// continuation rays of a second point set end. The photons carry the emitter's power pi x area:
// the floor's radiance is its reflectance x power / (pi x area), (0.5, 0.4, 0.3). The host shades
// a camera hit with (i + 1, the indirect slot's answer, 0) in iteration i.
struct floor_scene {
  static constexpr int w = 8, h = 6;
  static constexpr float margin = 6, area = (w + 2 * margin) * (h + 2 * margin),
                         power = M_PI * area;

  explicit floor_scene(qorPPM& r) {
    host().options.width = w, host().options.height = h;
    host().emissive_objects = {&object};
    set3(host().view.camera_position, w / 2.0, h / 2.0, 4.0);
    host().info_shader = [](qorRay*, qorShader*, int, void* data) {
      return *static_cast<float*>(data) = power, 1;
    };
    host().sub_shader = [](qorRay*, qorShader*, int, void* data) {
      return set3(static_cast<float*>(data), 0.5f, 0.4f, 0.3f), 1;
    };
    host().differentials = [](qorRay& ray) { ray.differential_x[0] = 0.3f; };
    host().trace_primary = [&r](qorRay& ray, float color[3], int x, int y, float dx, float dy) {
      float direct[3], indirect[3];
      hit(ray, x + dx, y + dy, 0.0, 1.0);
      ray.thread->pixel_x = x, ray.thread->pixel_y = y, ray.depth = 0;
      ray.weight = 0.5f;  // the eye pass's sample weight divisor makes it 1
      r.direct_illumination(direct, ray, nullptr);
      r.indirect_illumination(indirect, ray);
      set3(color, direct[0] + static_cast<float>(ray.thread->iteration + 1), indirect[1], 0.0f);
      return true;
    };
    host().trace_diffuse = [&r](qorRay& ray, float result[3]) {
      const double t = (1.0 - ray.origin[2]) / ray.direction[2];
      hit(ray, ray.origin[0] + t * ray.direction[0], ray.origin[1] + t * ray.direction[1], 1, -1);
      ray.weight = 0.5f;
      return r.indirect_illumination(result, ray) == 1;
    };
    host().photon_shader = [&r](qorRay& ray, qorShader*) {
      float s[2] = {0, 0};
      for (int k = 0; k < 8; ++k) s[k % 2] += ray.thread->random->next_float();
      hit(ray, (s[0] - std::floor(s[0])) * (w + 2 * margin) - margin,
          (s[1] - std::floor(s[1])) * (h + 2 * margin) - margin, 0.0, 1.0);
      ray.type = qor_ray_photon;
      set3(ray.direction, 0.0, 0.0, -1.0);
      r.store_photon(floats(3, power).data(), ray);
      qorRay up = ray;  // the bounce, to the ceiling straight above
      up.parent = &ray;
      up.type = qor_ray_photon_diffuse;
      std::copy(ray.hit_position, ray.hit_position + 3, up.origin);
      hit(up, ray.hit_position[0], ray.hit_position[1], 1.0, -1.0);
      set3(up.direction, 0.0, 0.0, 1.0);
      r.store_photon(floats(3, 0.5f * power).data(), up);
    };
  }
  static void hit(qorRay& ray, double x, double y, double z, double nz) {
    set3(ray.hit_position, x, y, z);
    set3(ray.shading_normal, 0.0, 0.0, nz);
    set3(ray.geometric_normal, 0.0, 0.0, nz);
  }
  qorMaterial material{reinterpret_cast<qorShader*>(&material)};
  qorObject object{&material};
};

struct render_case {
  const char* name;
  int sampling_mode, point_mode, threads;
  float view1_low, view1_high;  // the red radiance after four passes, in every pixel
  float view4;                  // the fifth pass's, the mean over the pixels; < 0: not known
  int processes = 1;            // more: as many processes that trace alike, so the same image
};

class render_loop : public module_test, public testing::WithParamInterface<render_case> {};

// Five iterations; views 1 (the points' radiance) after the fourth and 4 (the last pass's flux as
// radiance) after the fifth. A new eye pass per iteration keeps each pixel's mean over the passes,
// of which the first counts little (its photon weight starts at 0 and grows as the chain finds
// visible paths); a single eye pass rescales its points by i / (i + 1) after each refinement
// (0 in the first iteration), which leaves (1/2 + 2/3 + 3/4) / 4 of the radiance after four. A
// kept second set gathers every photon in its first three passes (its radii are wide), so the
// emitter's share of visible paths, summed over all passes, is too large from then on; and the
// pass after its last gathering one (iteration 2) is weighed 0.
TEST_P(render_loop, a_floor_under_uniform_photon_rain_shows_its_radiance) {
  const render_case& c = GetParam();
  floor_scene floor(*renderer);
  host().threads = c.threads, host().processes = c.processes;
  host().events = {{2, '5'}, {2, '5'}, {2, '5'}, {qor_event_key, '1'}, {qor_event_key, '4'}};
  ppm_parameters block = defaults();
  block.sampling_mode = c.sampling_mode, block.point_mode = c.point_mode;
  block.max_iterations = 5, block.photons_per_pass = 4000;
  create(block);
  renderer->setup(scene());
  ASSERT_EQ(the_sampler().render(scene()), 0);
  ASSERT_EQ(host().shown.size(), 5u);
  const floats &view1 = host().shown[3], &view4 = host().shown[4];
  float view4_red = 0;
  for (size_t i = 0; i < view1.size(); i += 3) {
    EXPECT_TRUE(view1[i] > c.view1_low * 0.5f && view1[i] < c.view1_high * 0.5f)
        << i / 3 << " " << view1[i];
    EXPECT_NEAR(view1[i + 1], 0.8f * view1[i], 1e-5f * view1[i]);  // the reflectance's colour
    EXPECT_NEAR(view1[i + 2], 0.6f * view1[i], 1e-5f * view1[i]);
    if (c.view4 >= 0) {
      EXPECT_NEAR(view4[i], 0.5f * c.view4, 0.25f * c.view4) << i / 3;
    }
    view4_red += view4[i] / 48;
    // The framebuffer is the mean of the host's shading over the passes: 1 .. 5 in red.
    EXPECT_NEAR(renderer->pixels[i], c.sampling_mode == 0 ? 1.0f : 3.0f, 1e-6f);
  }
  if (c.view4 >= 0) {
    EXPECT_NEAR(view4_red, 0.5f * c.view4, 0.04f);
  }
  // The render leaves its images and the jobs' samplers, and no ray.
  EXPECT_TRUE(host().live.size() == 2 + renderer->emission_jobs.size() && host().rays == 0);
  EXPECT_EQ(host().count("thread_join") + 10 * host().count("tls_free 0"), 5 * (c.threads - 1));
  EXPECT_EQ(host().count("tls_free 1"), c.threads > 1 ? 5 : 0);
  // Every pass has a point per pixel; a kept second set (mode 2) keeps its count.
  const strings said = host().texts();
  for (int i = 1; i <= 5; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "[%d] Build ppm structure 48 / %d points (0.0 seconds)\n", i,
                  c.point_mode ? 48 : 0);
    EXPECT_EQ(std::count(said.begin(), said.end(), line), 1) << line;
  }
  EXPECT_EQ(std::count(said.begin(), said.end(),
                       "[1] Photon sums of 2 processes (waited 0.000, summed 0.000 seconds)\n"),
            c.processes == 2);
}

INSTANTIATE_TEST_SUITE_P(
    modes, render_loop,
    testing::Values(render_case{"new_eye_pass_per_iteration", 1, 0, 3, 0.6f, 0.95f, 1.0f},
                    render_case{"single_eye_pass", 0, 0, 1, 0.38f, 0.58f, 0.0f},
                    render_case{"single_eye_pass_second_set", 0, 1, 2, 0.38f, 0.58f, 0.0f},
                    render_case{"second_set_rebuilt", 1, 1, 2, 0.6f, 0.95f, 1.0f},
                    render_case{"two_processes", 1, 1, 2, 0.6f, 0.95f, 1.0f, 2},
                    render_case{"second_set_kept", 1, 2, 2, 0.35f, 0.65f, -1.0f}),
    [](const testing::TestParamInfo<render_case>& info) { return info.param.name; });

// Two processes that traced alike: closing a pass sums the points' pass sums over both, and
// opening one clears them on every process but the first, so that what was there counts once.
using render_processes = module_test;

TEST_F(render_processes, a_shared_pass_sums_the_processes_photons_and_counts_earlier_sums_once) {
  measurement_point p = make_point(0, 0, 0, 1);
  set3(p.pass_flux, 1.0f, 2.0f, 3.0f);
  set3(p.offset_sum, 4.0f, 5.0f, 6.0f);
  p.pass_photons = 7;
  host().processes = 2;
  for (int process : {0, 1}) {
    measurement_point q = p;
    host().process = process;
    open_shared_pass(&q, 1);
    close_shared_pass(&q, 1);
    const float k = process == 0 ? 2 : 0;
    EXPECT_TRUE(rgb(q.pass_flux) == (floats{k, 2 * k, 3 * k}) && q.pass_photons == 7 * k &&
                rgb(q.offset_sum) == (floats{4 * k, 5 * k, 6 * k}))
        << process;
  }
}

// --- Frame set-up, the loop's schedule and the eye pass ------------------------------------------

using render_renderer = module_test;

// After each pass the loop reports the minutes and seconds since the render started.
TEST_F(render_renderer, the_loop_reports_the_time_since_the_render_started) {
  host().clock = 1000.0, host().clock_step = 121.5 / 3;  // start, eye pass start and end, now
  ppm_parameters block = defaults();
  block.max_iterations = 1;
  create(block);
  the_sampler().render(scene());
  EXPECT_EQ(host().texts("info"), strings{"[1] Elapsed time 2 minutes 1.5 seconds\n"});
}

// Camera rays through a 4 x 3 image that miss: the jitter of each pass, and the pixels traced.
TEST_F(render_renderer, the_eye_pass_jitters_every_pixel_alike_and_traces_its_region) {
  use_arrays(4, 3);
  std::vector<std::array<float, 4>> seen;  // x, y, dx, dy of every ray
  host().trace_primary = [&](qorRay&, float*, int x, int y, float dx, float dy) {
    return seen.push_back({float(x), float(y), dx, dy}), false;
  };
  fake_random& random = static_cast<fake_random&>(*host().thread(0).random);
  // Iteration, spread, dx, dy (< 0: not checked). Entry 7 of the table lies so close to the centre
  // that both offsets clamp to -half; past the table the thread's source draws the disc's point.
  const float cases[][4] = {{0, 1, 0.742725f, 0.615817f},
                            {0, 0.5f, 0.6213625f, 0.5579085f},
                            {6, 1, 0, 0},
                            {254, 1, -1, -1},
                            {255, 1, -1, -1}};
  renderer->pass_seed = 7;
  for (const auto& c : cases) {
    host().options.sample_spread = c[1];
    seen.clear();
    random.draws = 0;
    renderer->iteration = static_cast<int>(c[0]);
    renderer->image_sampling_pass(scene());
    ASSERT_EQ(seen.size(), 12u);
    for (const auto& r : seen) EXPECT_TRUE(r[2] == seen[0][2] && r[3] == seen[0][3]);
    if (c[2] >= 0) {
      EXPECT_TRUE(std::fabs(seen[0][2] - c[2]) < 2e-6f && std::fabs(seen[0][3] - c[3]) < 2e-6f)
          << c[0];
    }
    EXPECT_EQ(random.draws != 0, c[0] >= 255);
  }
  // The region: negative starts count from 0, ends below 1 mean the image's size; each pixel
  // reseeds the source with pass_seed + 65537 y^2 + 347 ((i + x)^3 - y).
  const int regions[][5] = {
      {-5, -1, 0, -2, 12}, {1, 2, 3, 0, 2}, {3, 0, 2, 0, 0}, {0, 0, 4, 1, 4}, {1, 1, 3, 3, 4}};
  renderer->iteration = 3, renderer->pass_seed = 1000;
  for (const auto& r : regions) {
    host().options.region_x0 = r[0], host().options.region_y0 = r[1];
    host().options.region_x1 = r[2], host().options.region_y1 = r[3];
    seen.clear();
    random.seeds.clear();
    renderer->image_sampling_pass(scene());
    std::set<std::pair<float, float>> pixels;
    for (const auto& p : seen) pixels.insert({p[0] - std::max(r[0], 0), p[1] - std::max(r[1], 0)});
    EXPECT_TRUE(pixels.size() == seen.size() && seen.size() == size_t(r[4]) &&
                pixels.begin()->first >= 0)
        << r[3];
  }
  EXPECT_EQ(random.seeds, (std::vector<uint32_t>{599161u, 88398u, 109565u, 284662u, 305829u}));
  EXPECT_TRUE(host().options.sample_weight_divisor == 0.5f && host().rays == 0);
}

}  // namespace
