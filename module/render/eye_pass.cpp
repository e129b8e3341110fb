// The eye pass of an iteration: tasks on the host's pool, one camera ray per pixel of the render
// region, the per-pass jitter and the framebuffer's running mean.
#include "module/render/eye_pass.h"

#include <alloca.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "module/render/qor_ppm.h"

const pixel_offset pixel_offsets[pixel_offset_count] = {
#include "module/render/pixel_offsets.inc"
};
static_assert(sizeof(pixel_offsets) == 256 * 8);

namespace {

// The render region in pixels, end exclusive.
struct render_region {
  int32_t x0, y0, x1, y1;
};

render_region region_of(const qorOptions& options) {
  render_region r;
  r.x0 = std::max(options.region_x0, 0);
  r.y0 = std::max(options.region_y0, 0);
  r.x1 = options.region_x1 < 1 ? options.width : options.region_x1;
  r.y1 = options.region_y1 < 1 ? options.height : options.region_y1;
  return r;
}

// Clamps to [-half, half]; a NaN lands on -half.
float clamp_to_half(float v, float half) {
  if (v > half) return half;
  if (v >= -half) return v;
  return -half;
}

// Seeds are formed in 32-bit unsigned arithmetic and wrap around.
uint32_t pass_jitter_seed(uint32_t i, uint32_t pass_seed) {
  return 65537u * i * i + pass_seed + 347u * (i * i * i - i);
}

uint32_t pixel_seed(uint32_t i, uint32_t x, uint32_t y, uint32_t pass_seed) {
  const uint32_t ix = i + x;
  return pass_seed + 65537u * y * y + 347u * (ix * ix * ix - y);
}

pass_jitter jitter_of_pass(qorRandom& random, int32_t iteration, uint32_t pass_seed, float spread) {
  random.seed(pass_jitter_seed(static_cast<uint32_t>(iteration), pass_seed));
  float sx, sy;
  if (iteration + 1 <= 255) {
    sx = pixel_offsets[iteration + 1].x;
    sy = pixel_offsets[iteration + 1].y;
  } else {
    // Past the table, a fresh point of the disc from the thread's source, seeded per pass.
    do {
      sx = 2.0f * random.next_float() - 1.0f;
      sy = 2.0f * random.next_float() - 1.0f;
    } while (!(sx * sx + sy * sy <= 1.0f));
  }
  return jitter_from_disc(sx, sy, spread);
}

}  // namespace

pass_jitter jitter_from_disc(float sx, float sy, float spread) {
  const float s = sx * sx + sy * sy;
  const float g = std::sqrt(-2.0f * logf(s) / s);
  const float half = 0.5f * spread;
  return {clamp_to_half(sx * g * half, half) + 0.5f, clamp_to_half(sy * g * half, half) + 0.5f};
}

int thread_task::run() {
  eye_pass(*renderer, *scene, thread_index);
  return 0;
}

int qorPPM::image_sampling_pass(qorScene& scene) {
  qorOptions& options = qor_options(scene);
  options.in_eye_pass = 1;
  const double t0 = qor_get_time();
  const int32_t saved_supersampling = options.supersampling;
  options.supersampling = 0;
  // The eye pass samples each pixel once per iteration: sample_weight = 2 x ray weight.
  options.sample_weight_divisor = 0.5f;
  options.in_eye_pass = 1;

  // One task per worker, in a block on this stack: the host runs them before the barrier returns
  // and never frees them.
  const int threads = qor_thread_count(scene);
  if (threads > 0) {
    const size_t bytes = static_cast<size_t>(threads) * sizeof(thread_task);
    auto* tasks = static_cast<thread_task*>(alloca(bytes));
    std::memset(static_cast<void*>(tasks), 0, bytes);
    for (int t = 0; t < threads; ++t) {
      thread_task* task = new (&tasks[t]) thread_task(this, &scene, t);
      qor_add_thread_task(scene, task, false);
    }
  }
  qor_thread_barrier(scene);

  options.supersampling = saved_supersampling;
  options.in_eye_pass = 0;
  if (iteration == 0 && show_first_pass) qor_show_block(scene, framebuffer);
  qor_sprint("[%d] Image sampling (%.1f seconds)\n", iteration + 1, qor_get_time() - t0);
  return 0;
}

void eye_pass(qorPPM& renderer, qorScene& scene, int thread) {
  qor_scene_thread_init(scene, thread);
  qorRay* ray = qor_get_primary_ray(scene, thread, qor_ray_camera);
  const int threads = qor_thread_count(scene);
  const qorOptions& options = qor_options(scene);
  const render_region region = region_of(options);
  const int32_t stride = options.width;
  const int32_t i = renderer.iteration;
  const uint32_t pass_seed = renderer.pass_seed;
  qorRandom& random = *ray->thread->random;

  const pass_jitter jitter = jitter_of_pass(random, i, pass_seed, options.sample_spread);
  ray->thread->iteration = i;

  // Running mean over the iterations: after iteration i a pixel holds the mean of the colours
  // of iterations 0 .. i, a miss counting as black.
  const float keep = static_cast<float>(i) * (1.0f / static_cast<float>(i + 1));
  const float add = 1.0f / static_cast<float>(i + 1);
  const candidate_buffer& candidates = renderer.candidates_of(thread);

  // Rows are dealt to the threads in turn, so each pixel belongs to one thread.
  for (int32_t y = region.y0 + thread; y < region.y1; y += threads) {
    for (int32_t x = region.x0; x < region.x1; ++x) {
      // A pixel's random numbers depend only on the pass and the pixel, not on the thread.
      random.seed(pixel_seed(static_cast<uint32_t>(i), static_cast<uint32_t>(x),
                             static_cast<uint32_t>(y), pass_seed));
      float* pixel = renderer.pixels + 3 * (static_cast<ptrdiff_t>(y) * stride + x);
      pixel[0] *= keep;
      pixel[1] *= keep;
      pixel[2] *= keep;
      float color[3] = {0.0f, 0.0f, 0.0f};
      if (!ray->trace_primary(color, x, y, jitter.dx, jitter.dy)) continue;
      pixel[0] += color[0] * add;
      pixel[1] += color[1] * add;
      pixel[2] += color[2] * add;
      if (candidates.count != 0) renderer.commit_candidate(thread);
    }
  }

  ray->delete_ray();
  qor_scene_thread_exit(scene, thread);
}
